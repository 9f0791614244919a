// User folders from the XDG user directories; opening targets and powering
// off through the overridable commands (the real shut-down is never run).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

#include "platform/ShellOpen.h"
#include "platform/Shutdown.h"
#include "platform/UserFolders.h"
#include "tests/support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::TTempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {
// A script that appends its arguments, one per line, to AOut and exits with ACode.
std::string RecorderScript(const TTempDir& ADir, const std::string& AOut, int ACode = 0) {
  std::string path = ADir / ("record-" + std::to_string(ACode) + ".sh");
  WriteFile(path, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + AOut +
                      "'; done\necho ran >> '" + AOut + "'\nexit " + std::to_string(ACode) + "\n");
  chmod(path.c_str(), 0755);
  return path;
}

bool WaitForFile(const std::string& AFile) {
  for (int i = 0; i < 200; ++i) {
    if (ReadFile(AFile).find("ran\n") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}
} // namespace

TEST(UserFolders, FromUserDirsOrDefaults) {
  TTempDir home;
  setenv("HOME", home.Path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
  TXdgUserFolders f;
  // Nothing configured: documents under home, no music folder until it exists.
  EXPECT_EQ(f.Documents(), home / "Documents");
  EXPECT_EQ(f.Music(), "");
  fs::create_directories(home / "Music");
  EXPECT_EQ(f.Music(), home / "Music");

  fs::create_directories(home / ".config");
  fs::create_directories(home / "Musik");
  WriteFile(home / ".config/user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
            "XDG_MUSIC_DIR=\"$HOME/Musik/\"\nXDG_VIDEOS_DIR=\"relative\"\n");
  EXPECT_EQ(f.Documents(), home / "Dokumente");
  EXPECT_EQ(f.Music(), home / "Musik");
  EXPECT_EQ(XdgUserDir("VIDEOS"), "");

  setenv("TMPDIR", (home / "Musik").c_str(), 1);
  EXPECT_EQ(f.Temp(), home / "Musik/");
  setenv("TMPDIR", (home / "missing").c_str(), 1);
  EXPECT_EQ(f.Temp(), "/tmp/");
  unsetenv("TMPDIR");
}

TEST(UserFolders, CreateFolderChainMakesEveryParent) {
  TTempDir dir;
  std::string deep = dir / "a/b c/d";
  EXPECT_TRUE(CreateFolderChain(deep));
  EXPECT_TRUE(FolderExists(deep));
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(CreateFolderChain(dir / "file/sub"));
}

TEST(ShellOpen, RunsTheConfiguredCommandWithTheTargetAsOneArgument) {
  TTempDir dir;
  std::string out = dir / "opened.txt";
  setenv("SONDEL_OPEN_CMD", RecorderScript(dir, out).c_str(), 1);
  TShellOpener opener;
  std::string err;
  const std::string target = "mailto:a@b.example?subject=x%20y&body=$(touch /tmp/never) ;`id`";
  ASSERT_TRUE(opener.Open(target, err)) << err;
  ASSERT_TRUE(WaitForFile(out));
  EXPECT_EQ(ReadFile(out), target + "\nran\n");
  EXPECT_FALSE(fs::exists("/tmp/never"));
}

TEST(ShellOpen, MissingCommandIsReported) {
  setenv("SONDEL_OPEN_CMD", "/nonexistent/opener", 1);
  TShellOpener opener;
  std::string err;
  EXPECT_FALSE(opener.Open("/tmp", err));
  EXPECT_NE(err.find("/nonexistent/opener"), std::string::npos) << err;
}

TEST(Shutdown, RunsTheOverrideAndReportsItsFailure) {
  TTempDir dir;
  std::string out = dir / "shutdown.txt";
  TSystemShutdown shutdown;
  std::string err;

  setenv("SONDEL_SHUTDOWN_CMD", RecorderScript(dir, out, 0).c_str(), 1);
  EXPECT_TRUE(shutdown.PowerOff(err)) << err;
  EXPECT_EQ(ReadFile(out), "ran\n");

  std::string failing = RecorderScript(dir, out, 3);
  setenv("SONDEL_SHUTDOWN_CMD", failing.c_str(), 1);
  EXPECT_FALSE(shutdown.PowerOff(err));
  EXPECT_NE(err.find(failing), std::string::npos) << err;

  setenv("SONDEL_SHUTDOWN_CMD", "/nonexistent/poweroff", 1);
  EXPECT_FALSE(shutdown.PowerOff(err));
  EXPECT_NE(err.find("/nonexistent/poweroff"), std::string::npos) << err;
}

TEST(Shutdown, VersionTextNamesTheSystem) {
  std::string v = GetWinVersionText();
  EXPECT_NE(v.find("Linux"), std::string::npos) << v;
}
