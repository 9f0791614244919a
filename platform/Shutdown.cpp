#include "platform/Shutdown.h"

#include <cstdlib>
#include <fstream>
#include <sys/utsname.h>
#include <vector>

#include "platform/ShellOpen.h"

bool TSystemShutdown::PowerOff(std::string& AError) {
  const char* cmd = std::getenv("SONDEL_SHUTDOWN_CMD");
  std::vector<std::string> args;
  if (cmd && *cmd)
    args = {cmd};
  else
    args = {"systemctl", "poweroff"};
  std::string err;
  int code = RunAndWait(args, err);
  if (code == 0) return true;
  std::string line = args[0];
  for (size_t i = 1; i < args.size(); ++i) line += " " + args[i];
  AError = code < 0 ? err : line + " failed (exit code " + std::to_string(code) + ")";
  if (AError.find(line) == std::string::npos) AError = line + ": " + AError;
  return false;
}

std::string GetWinVersionText() {
  std::string name;
  std::ifstream f("/etc/os-release");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      name = line.substr(12);
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    }
  }
  utsname u{};
  if (uname(&u) == 0) {
    std::string kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
    name = name.empty() ? kernel : name + " (" + kernel + ")";
  }
  return name.empty() ? "Linux" : name;
}
