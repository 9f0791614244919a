// Built-in presets and preset files.
//
// The built-in x264 presets are written with the private options of the
// libx264 encoder of the bound libraries (its old global flags such as
// "flags2=-dct8x8" no longer exist there and would refuse every preset).
#include "engine/Presets.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::string Speed(const char* ASpeed) {
  return std::string("preset=") + ASpeed + "\n";
}
std::string FirstPass(const char* ASpeed) {
  return Speed(ASpeed) + "fastfirstpass=1\n";
}
std::string Lossless(const char* ASpeed) {
  return "qp=0\n" + Speed(ASpeed);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

} // namespace

const std::vector<std::pair<std::string, std::string>>& BuiltinPresets() {
  static const std::vector<std::pair<std::string, std::string>> table = {
      {"libx264-baseline", "coder=0\nbf=0\nweightb=0\n8x8dct=0\nweightp=0\n"},
      {"libx264-default", Speed("medium")},
      {"libx264-fast", Speed("fast")},
      {"libx264-fast_firstpass", FirstPass("fast")},
      {"libx264-faster", Speed("faster")},
      {"libx264-faster_firstpass", FirstPass("faster")},
      {"libx264-fastfirstpass", FirstPass("fast")},
      {"libx264-hq", Speed("slow")},
      {"libx264-ipod320", "profile=66\nlevel=13\nmaxrate=768000\nbufsize=3000000\n"},
      {"libx264-ipod640", "profile=66\nlevel=30\nmaxrate=10000000\nbufsize=10000000\n"},
      {"libx264-lossless_fast", Lossless("fast")},
      {"libx264-lossless_max", Lossless("placebo")},
      {"libx264-lossless_medium", Lossless("medium")},
      {"libx264-lossless_slow", Lossless("slow")},
      {"libx264-lossless_slower", Lossless("slower")},
      {"libx264-lossless_ultrafast", Lossless("ultrafast")},
      {"libx264-main", "8x8dct=0\n"},
      {"libx264-max", Speed("placebo")},
      {"libx264-medium", Speed("medium")},
      {"libx264-medium_firstpass", FirstPass("medium")},
      {"libx264-normal", Speed("medium")},
      {"libx264-placebo", Speed("placebo")},
      {"libx264-placebo_firstpass", FirstPass("placebo")},
      {"libx264-slow", Speed("slow")},
      {"libx264-slow_firstpass", FirstPass("slow")},
      {"libx264-slower", Speed("slower")},
      {"libx264-slower_firstpass", FirstPass("slower")},
      {"libx264-slowfirstpass", FirstPass("slow")},
      {"libx264-superfast", Speed("superfast")},
      {"libx264-superfast_firstpass", FirstPass("superfast")},
      {"libx264-ultrafast", Speed("ultrafast")},
      {"libx264-ultrafast_firstpass", FirstPass("ultrafast")},
      {"libx264-veryfast", Speed("veryfast")},
      {"libx264-veryfast_firstpass", FirstPass("veryfast")},
      {"libx264-veryslow", Speed("veryslow")},
      {"libx264-veryslow_firstpass", FirstPass("veryslow")},
  };
  return table;
}

const std::string* FindBuiltinPreset(const std::string& AName) {
  const std::string name = Lower(AName);
  for (const auto& [n, text] : BuiltinPresets())
    if (n == name) return &text;
  return nullptr;
}

std::string ResolvePresetPath(const std::string& APath) {
  namespace fs = std::filesystem;
  if (APath.rfind("~/", 0) == 0) {
    const char* home = std::getenv("HOME");
    if (home && *home) return (fs::path(home) / APath.substr(2)).string();
  }
  fs::path p(APath);
  if (p.is_absolute()) return p.string();
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? p.string() : (cwd / p).string();
}

bool ReadPresetFile(const std::string& AFileName, std::string& AText) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(AFileName, ec)) return false;
  std::ifstream in(AFileName, std::ios::binary);
  if (!in) return false;
  AText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}
