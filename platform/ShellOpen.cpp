#include "platform/ShellOpen.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<char*> Argv(const std::vector<std::string>& AArgs) {
  std::vector<char*> argv;
  for (auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Reads the errno an exec failure wrote into the pipe; 0 when the pipe closed
// without data (the exec succeeded).
int ReadExecError(int AFd) {
  int err = 0;
  ssize_t n;
  do n = ::read(AFd, &err, sizeof err);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

} // namespace

bool SpawnDetached(const std::vector<std::string>& AArgs, std::string& AError) {
  if (AArgs.empty() || AArgs[0].empty()) {
    AError = "No program to run";
    return false;
  }
  auto argv = Argv(AArgs);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    AError = std::strerror(errno);
    return false;
  }
  pid_t child = ::fork();
  if (child < 0) {
    AError = std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (child == 0) {
    ::close(fds[0]);
    ::setsid();
    pid_t grand = ::fork();
    if (grand != 0) _exit(grand < 0 ? 1 : 0);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::close(devnull);
    }
    ::execvp(argv[0], argv.data());
    int err = errno;
    ssize_t w = ::write(fds[1], &err, sizeof err);
    (void)w;
    _exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = ReadExecError(fds[0]);
  ::close(fds[0]);
  if (err != 0) {
    AError = "Cannot run " + AArgs[0] + ": " + std::strerror(err);
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    AError = "Cannot start " + AArgs[0];
    return false;
  }
  return true;
}

int RunAndWait(const std::vector<std::string>& AArgs, std::string& AError) {
  if (AArgs.empty() || AArgs[0].empty()) {
    AError = "No program to run";
    return -1;
  }
  auto argv = Argv(AArgs);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    AError = std::strerror(errno);
    return -1;
  }
  pid_t child = ::fork();
  if (child < 0) {
    AError = std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return -1;
  }
  if (child == 0) {
    ::close(fds[0]);
    ::execvp(argv[0], argv.data());
    int err = errno;
    ssize_t w = ::write(fds[1], &err, sizeof err);
    (void)w;
    _exit(127);
  }
  ::close(fds[1]);
  int err = ReadExecError(fds[0]);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (err != 0) {
    AError = "Cannot run " + AArgs[0] + ": " + std::strerror(err);
    return -1;
  }
  if (!WIFEXITED(status)) {
    AError = AArgs[0] + " was killed";
    return -1;
  }
  return WEXITSTATUS(status);
}

bool TShellOpener::Open(const std::string& ATarget, std::string& AError) {
  const char* cmd = std::getenv("SONDEL_OPEN_CMD");
  std::string program = cmd && *cmd ? cmd : "xdg-open";
  return SpawnDetached({program, ATarget}, AError);
}
