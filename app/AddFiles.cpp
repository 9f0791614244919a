#include "app/AddFiles.h"

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "decode/FFDecode.h"

namespace fs = std::filesystem;

const std::vector<TMediaFormat>& AudioFormats() {
  static const std::vector<TMediaFormat> formats = {
      {"Advanced Audio Coding", "*.aac"},
      {"Dolby-digital AC-3", "*.ac3"},
      {"Monkey's Audio", "*.ape"},
      {"Digital Theater System", "*.dts"},
      {"Free Lossless Audio", "*.flac"},
      {"Matroska Audio", "*.mka"},
      {"MPEG Audio", "*.mpa"},
      {"MP2 MPEG-1 layer 2 audio", "*.mp2"},
      {"MP3 MPEG-1 layer 3 audio", "*.mp3"},
      {"MPEG-4 Audio", "*.m4a"},
      {"Musepack", "*.mpc"},
      {"OptimFROG Audio", "*.ofr"},
      {"OGG Vorbis Audio", "*.ogg"},
      {"RealAudio files", "*.ra"},
      {"The True Audio", "*.tta"},
      {"Waveform files", "*.wav"},
      {"Windows Media Audio", "*.wma"},
  };
  return formats;
}

const std::vector<TMediaFormat>& VideoFormats() {
  static const std::vector<TMediaFormat> formats = {
      {"MOD files", "*.mod"},
      {"High-definition files", "*.mts; *.ts; *m2ts; *.tp"},
      {"AVI files", "*.avi"},
      {"MPEG-4 files", "*.mp4; *.m4v"},
      {"MPEG files", "*.mpg; *.mpeg"},
      {"3GP files", "*.3gp; *.3g2"},
      {"Windows Media Video", "*.wmv; *.asf"},
      {"Real Media files", "*.rm; *.rmvb"},
      {"Video CD files", "*.dat"},
      {"Quick Time files", "*.mov"},
      {"Flash Video files", "*.flv; *.f4v"},
      {"Matroska files", "*.mkv"},
      {"Digital Video files", "*.dv"},
      {"NUT files", "*.nut"},
      {"Raw h.264 video files", "*.h.264"},
      {"Nullsoft Stream Video", "*.nsv"},
      {"Video Object files", "*.vob"},
  };
  return formats;
}

std::string OpenDialogFilterText() {
  std::string f = "All Supported Formats|";
  for (auto& a : AudioFormats()) f += std::string(a.Pattern) + ";";
  for (auto& v : VideoFormats()) f += std::string(v.Pattern) + ";";
  f += "|Audio Formats|";
  for (auto& a : AudioFormats()) f += std::string(a.Pattern) + ";";
  f += "|Video Formats|";
  for (auto& v : VideoFormats()) f += std::string(v.Pattern) + ";";
  for (const auto* table : {&AudioFormats(), &VideoFormats()})
    for (auto& m : *table) f += "|" + std::string(m.Name) + " (" + m.Pattern + ")|" + m.Pattern + ";";
  return f;
}

namespace {

std::vector<std::string> Split(const std::string& AText, char ASep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = AText.find(ASep, start);
    parts.push_back(AText.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

std::string Trim(const std::string& AText) {
  size_t b = AText.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = AText.find_last_not_of(" \t");
  return AText.substr(b, e - b + 1);
}

std::string Upper(std::string AText) {
  for (auto& c : AText) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return AText;
}

std::vector<std::string> AllPatterns() {
  std::vector<std::string> patterns;
  for (const auto* table : {&AudioFormats(), &VideoFormats()})
    for (auto& m : *table)
      for (auto& p : Split(m.Pattern, ';'))
        if (!Trim(p).empty()) patterns.push_back(Trim(p));
  return patterns;
}

} // namespace

std::string QtOpenDialogFilter(const std::string& AFilterText) {
  std::vector<std::string> parts = Split(AFilterText, '|');
  std::string out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::vector<std::string> patterns;
    for (auto& p : Split(parts[i + 1], ';')) {
      std::string t = Trim(p);
      if (t.empty()) continue;
      patterns.push_back(t);
      if (Upper(t) != t) patterns.push_back(Upper(t));
    }
    // Qt reads the patterns from the last parentheses of an entry.
    std::string desc = parts[i];
    size_t open = desc.rfind(" (");
    if (open != std::string::npos && !desc.empty() && desc.back() == ')') desc.erase(open);
    std::string list;
    for (auto& p : patterns) list += (list.empty() ? "" : " ") + p;
    if (!out.empty()) out += ";;";
    out += desc + " (" + list + ")";
  }
  return out;
}

bool IsSupportedMediaName(const std::string& AFileName) {
  std::string name = fs::path(AFileName).filename().string();
  static const std::vector<std::string> patterns = AllPatterns();
  for (auto& p : patterns)
    if (fnmatch(p.c_str(), name.c_str(), FNM_CASEFOLD) == 0) return true;
  return false;
}

std::vector<std::string> ExpandMediaPaths(const std::vector<std::string>& APaths) {
  std::vector<std::string> out;
  for (const std::string& path : APaths) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      out.push_back(path);
      continue;
    }
    std::vector<std::string> found;
    auto options = fs::directory_options::skip_permission_denied;
    for (auto it = fs::recursive_directory_iterator(path, options, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code fe;
      if (it->is_regular_file(fe) && IsSupportedMediaName(it->path().string()))
        found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
  }
  return out;
}

std::string RefusalMessage(const std::string& AFileName) {
  return "File " + fs::path(AFileName).filename().string() +
         " is not a valid media file or its format is not supported.";
}

bool ProbeMediaFile(TFFDecoder& ADecoder, const std::string& AFileName, int64_t& ADuration,
                    std::string& AError) {
  ADuration = -1;
  if (!ADecoder.LoadFile(AFileName)) {
    AError = ADecoder.LastErrMsg();
    ADecoder.CloseFile();
    return false;
  }
  ADuration = ADecoder.FileStreamInfo().Duration;
  ADecoder.CloseFile();
  return true;
}
