#include "platform/Settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "platform/UserFolders.h"

namespace fs = std::filesystem;

std::optional<std::string> TSettingsGroup::String(const std::string& AName) const {
  auto it = FValues.find(AName);
  if (it == FValues.end()) return std::nullopt;
  return it->second;
}

std::optional<int32_t> TSettingsGroup::Integer(const std::string& AName) const {
  auto s = String(AName);
  if (!s || s->empty()) return std::nullopt;
  size_t i = 0;
  if ((*s)[0] == '-' || (*s)[0] == '+') i = 1;
  if (i == s->size() || s->size() - i > 10) return std::nullopt;
  for (size_t k = i; k < s->size(); ++k)
    if ((*s)[k] < '0' || (*s)[k] > '9') return std::nullopt;
  long long v = std::strtoll(s->c_str(), nullptr, 10);
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

namespace {

std::string Trim(const std::string& S) {
  size_t b = S.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = S.find_last_not_of(" \t\r\n");
  return S.substr(b, e - b + 1);
}

std::string Unescape(const std::string& S) {
  std::string r;
  for (size_t i = 0; i < S.size(); ++i) {
    if (S[i] == '\\' && i + 1 < S.size()) {
      char c = S[++i];
      switch (c) {
      case 'n':
        r += '\n';
        break;
      case 'r':
        r += '\r';
        break;
      case 't':
        r += '\t';
        break;
      case '0':
        r += '\0';
        break;
      default:
        r += c;
        break;
      }
    } else {
      r += S[i];
    }
  }
  return r;
}

std::string Escape(const std::string& S) {
  std::string r;
  for (char c : S) {
    switch (c) {
    case '\\':
      r += "\\\\";
      break;
    case '\n':
      r += "\\n";
      break;
    case '\r':
      r += "\\r";
      break;
    case '\t':
      r += "\\t";
      break;
    case '"':
      r += "\\\"";
      break;
    case '\0':
      r += "\\0";
      break;
    default:
      r += c;
      break;
    }
  }
  // Quotes keep leading and trailing spaces and a leading ';' or '#'.
  if (!r.empty() && (r.front() == ' ' || r.back() == ' ' || r.front() == ';' || r.front() == '#'))
    r = "\"" + r + "\"";
  return r;
}

bool ReadText(const std::string& AFileName, std::string& AText) {
  std::ifstream f(AFileName, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  AText = ss.str();
  return true;
}

} // namespace

std::vector<TIniGroup> ParseIni(const std::string& AText) {
  std::vector<TIniGroup> groups;
  std::istringstream in(AText);
  std::string line;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[' && t.back() == ']') {
      groups.push_back({t.substr(1, t.size() - 2), {}});
      continue;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos || groups.empty()) continue;
    std::string key = Trim(t.substr(0, eq));
    std::string raw = Trim(t.substr(eq + 1));
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"' && raw[raw.size() - 2] != '\\')
      raw = raw.substr(1, raw.size() - 2);
    if (key.empty()) continue;
    auto& vals = groups.back().Values;
    std::string value = Unescape(raw);
    bool found = false;
    for (auto& kv : vals)
      if (kv.first == key) {
        kv.second = value;
        found = true;
      }
    if (!found) vals.emplace_back(key, value);
  }
  return groups;
}

std::string FormatIni(const std::vector<TIniGroup>& AGroups) {
  std::string out;
  for (size_t g = 0; g < AGroups.size(); ++g) {
    if (g) out += "\n";
    out += "[" + AGroups[g].Name + "]\n";
    for (auto& kv : AGroups[g].Values) out += kv.first + "=" + Escape(kv.second) + "\n";
  }
  return out;
}

TIniSettingsStore::TIniSettingsStore(std::string AFileName) : FFileName(std::move(AFileName)) {}

bool TIniSettingsStore::ReadGroup(const std::string& AGroup, TSettingsGroup& AValues) {
  std::string text;
  if (!ReadText(FFileName, text)) return false;
  bool found = false;
  for (auto& g : ParseIni(text)) {
    if (g.Name != AGroup) continue;
    found = true;
    for (auto& kv : g.Values) AValues.Set(kv.first, kv.second);
  }
  return found;
}

bool TIniSettingsStore::WriteGroup(const std::string& AGroup, const TSettingsGroup& AValues,
                                   std::string& AError) {
  std::error_code ec;
  fs::path file(FFileName);
  if (file.has_parent_path()) {
    fs::create_directories(file.parent_path(), ec);
    if (ec) {
      AError = "Cannot create the folder " + file.parent_path().string() + ": " + ec.message();
      return false;
    }
  }
  std::string text;
  std::vector<TIniGroup> groups;
  if (ReadText(FFileName, text)) groups = ParseIni(text);
  TIniGroup* target = nullptr;
  for (auto& g : groups)
    if (g.Name == AGroup) {
      target = &g;
      break;
    }
  if (!target) {
    groups.push_back({AGroup, {}});
    target = &groups.back();
  }
  for (auto& [k, v] : AValues.Values()) {
    bool found = false;
    for (auto& kv : target->Values)
      if (kv.first == k) {
        kv.second = v;
        found = true;
      }
    if (!found) target->Values.emplace_back(k, v);
  }
  std::string data = FormatIni(groups);
  std::string tmp = FFileName + ".tmp" + std::to_string(getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    AError = "Cannot write " + tmp + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  bool ok = true;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  int err = errno;
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    err = errno;
  }
  ::close(fd);
  if (ok && ::rename(tmp.c_str(), FFileName.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    AError = "Cannot write " + FFileName + ": " + std::strerror(err);
  }
  return ok;
}

std::string DefaultSettingsFileName() {
  return ConfigHome() + "/Tavrik/Tavrik Sondel.conf";
}
