#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

namespace testsupport {

TTempDir::TTempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto p = base / ("sondel-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
                     std::to_string(rd() % 100000));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) {
      FPath = p;
      return;
    }
  }
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::permissions(FPath, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               ec);
  std::filesystem::remove_all(FPath, ec);
}

TRunResult RunProgram(const std::vector<std::string>& AArgs, int ATimeoutSec) {
  TRunResult r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    std::vector<char*> argv;
    for (auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  auto start = std::chrono::steady_clock::now();
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  bool killed = false;
  char buf[65536];
  while (open_fds > 0) {
    int n = poll(fds, 2, 200);
    if (n > 0) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t k = read(fds[i].fd, buf, sizeof buf);
        if (k <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_fds;
        } else {
          (i == 0 ? r.Out : r.Err).append(buf, k);
        }
      }
    }
    if (!killed && ATimeoutSec > 0 &&
        std::chrono::steady_clock::now() - start > std::chrono::seconds(ATimeoutSec)) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool MakeMedia(const std::vector<std::string>& AArgs) {
  std::vector<std::string> args{"ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error"};
  args.insert(args.end(), AArgs.begin(), AArgs.end());
  auto r = RunProgram(args);
  EXPECT_EQ(r.ExitCode, 0) << "ffmpeg failed: " << r.Err;
  return r.ExitCode == 0;
}

std::string ProbeJSON(const std::string& AFile, const std::vector<std::string>& AExtra) {
  std::vector<std::string> args{"ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams"};
  args.insert(args.end(), AExtra.begin(), AExtra.end());
  args.push_back(AFile);
  auto r = RunProgram(args);
  EXPECT_EQ(r.ExitCode, 0) << "ffprobe failed: " << r.Err;
  return r.Out;
}

std::string ReadFile(const std::string& AFile) {
  std::ifstream f(AFile, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& AFile, const std::string& AData) {
  std::ofstream f(AFile, std::ios::binary);
  f << AData;
}

} // namespace testsupport
