#include "platform/UserFolders.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
std::string Env(const char* AName) {
  const char* v = std::getenv(AName);
  return v ? std::string(v) : std::string();
}
std::string WithoutTrailingSlash(std::string S) {
  while (S.size() > 1 && S.back() == '/') S.pop_back();
  return S;
}
} // namespace

std::string HomeFolder() {
  std::string h = Env("HOME");
  if (h.empty()) {
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) h = pw->pw_dir;
  }
  return WithoutTrailingSlash(h);
}

std::string ConfigHome() {
  std::string c = Env("XDG_CONFIG_HOME");
  if (c.empty() || c[0] != '/') c = HomeFolder() + "/.config";
  return WithoutTrailingSlash(c);
}

std::string CacheHome() {
  std::string c = Env("XDG_CACHE_HOME");
  if (c.empty() || c[0] != '/') c = HomeFolder() + "/.cache";
  return WithoutTrailingSlash(c);
}

std::string XdgUserDir(const std::string& AName) {
  std::ifstream f(ConfigHome() + "/user-dirs.dirs");
  std::string line, key = "XDG_" + AName + "_DIR=", result;
  while (std::getline(f, line)) {
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#') continue;
    if (line.compare(b, key.size(), key) != 0) continue;
    std::string v = line.substr(b + key.size());
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (v.rfind("$HOME", 0) == 0) v = HomeFolder() + v.substr(5);
    if (v.empty() || v[0] != '/') continue; // only absolute or $HOME-relative paths are valid
    result = WithoutTrailingSlash(v);
  }
  return result;
}

std::string TXdgUserFolders::Documents() const {
  std::string d = XdgUserDir("DOCUMENTS");
  return d.empty() ? HomeFolder() + "/Documents" : d;
}

std::string TXdgUserFolders::Music() const {
  std::string m = XdgUserDir("MUSIC");
  if (m.empty()) m = HomeFolder() + "/Music";
  return FolderExists(m) ? m : std::string();
}

std::string TXdgUserFolders::Temp() const {
  std::string t = Env("TMPDIR");
  if (t.empty() || !FolderExists(t)) t = "/tmp";
  t = WithoutTrailingSlash(t);
  return t + "/";
}

bool CreateFolderChain(const std::string& APath) {
  if (APath.empty()) return false;
  std::error_code ec;
  fs::create_directories(APath, ec);
  return FolderExists(APath);
}

bool FolderExists(const std::string& APath) {
  std::error_code ec;
  return !APath.empty() && fs::is_directory(APath, ec);
}

bool FileExists(const std::string& APath) {
  std::error_code ec;
  return !APath.empty() && fs::is_regular_file(APath, ec);
}
