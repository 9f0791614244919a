// Helpers shared by the tests: temporary folders, running Debian's ffmpeg and
// ffprobe as black-box fixture makers and oracles.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed on destruction.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  const std::filesystem::path& Path() const { return FPath; }
  std::string operator/(const std::string& AName) const { return (FPath / AName).string(); }

private:
  std::filesystem::path FPath;
};

struct TRunResult {
  int ExitCode = -1;
  std::string Out;
  std::string Err;
};

// Runs a program with arguments (no shell); captures stdout and stderr.
// ATimeoutSec > 0 kills the program after that many seconds.
TRunResult RunProgram(const std::vector<std::string>& AArgs, int ATimeoutSec = 120);

// Runs Debian's ffmpeg quietly with the given arguments (-y -loglevel error
// are added); fails the current test when it fails.
bool MakeMedia(const std::vector<std::string>& AArgs);

// ffprobe -of json -show_format -show_streams [extra] FILE: the JSON text.
std::string ProbeJSON(const std::string& AFile, const std::vector<std::string>& AExtra = {});

std::string ReadFile(const std::string& AFile);
void WriteFile(const std::string& AFile, const std::string& AData);

} // namespace testsupport
