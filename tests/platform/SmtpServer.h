// Starts tests/platform/smtp_server.py (Debian's aiosmtpd) on a free loopback
// port and reads the messages it received. Header-only: the platform and the
// application tests both use it.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class TTestSmtpServer {
public:
  // False (and Error) when the server did not come up.
  bool Start(const std::string& AOutDir, const std::string& AUser, const std::string& APassword) {
    FOutDir = AOutDir;
    const char* src = std::getenv("SONDEL_SOURCE_DIR");
    std::string script = src ? std::string(src) + "/tests/platform/smtp_server.py"
                             : (std::filesystem::path(__FILE__).parent_path() / "smtp_server.py").string();
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return Fail("pipe");
    FPid = fork();
    if (FPid < 0) return Fail("fork");
    if (FPid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      execl("/usr/bin/python3", "python3", script.c_str(), AOutDir.c_str(), AUser.c_str(), APassword.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FStdin = in[1];
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    if (line.rfind("READY ", 0) != 0) return Fail("no READY line: " + line);
    Port = std::stoi(line.substr(6));
    return true;
  }

  ~TTestSmtpServer() { Stop(); }

  void Stop() {
    if (FStdin >= 0) {
      close(FStdin);
      FStdin = -1;
    }
    if (FPid > 0) {
      for (int i = 0; i < 100; ++i) {
        if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
          FPid = -1;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
  }

  struct TReceived {
    std::map<std::string, std::string> Head; // mail_from, rcpt_to, login, from, to, subject
    std::string Body;                        // decoded, line ends as sent
  };
  // The messages received so far.
  std::vector<TReceived> Messages() const {
    std::vector<TReceived> r;
    for (int n = 1;; ++n) {
      std::ifstream f(FOutDir + "/mail-" + std::to_string(n) + ".txt", std::ios::binary);
      if (!f) break;
      std::stringstream ss;
      ss << f.rdbuf();
      std::string text = ss.str();
      TReceived m;
      size_t pos = 0;
      for (;;) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (line.empty()) break;
        size_t colon = line.find(": ");
        if (colon != std::string::npos) m.Head[line.substr(0, colon)] = line.substr(colon + 2);
      }
      m.Body = text.substr(pos);
      r.push_back(m);
    }
    return r;
  }

  int Port = 0;
  std::string Error;

private:
  bool Fail(const std::string& AWhat) {
    Error = AWhat;
    return false;
  }
  std::string FOutDir;
  pid_t FPid = -1;
  int FStdin = -1;
};

// A free loopback port with nothing listening on it (bound, then released).
inline int ClosedLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}
