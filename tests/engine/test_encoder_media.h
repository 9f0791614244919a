// Oracles on converted files, read with Debian's ffprobe and ffmpeg.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace encodertest {

// ffprobe's value of one entry (e.g. "stream=codec_name") of the first audio
// stream, or of the format ("format=format_name"); empty when absent.
inline std::string ProbeValue(const std::string& AFile, const std::string& AEntry,
                              const std::string& AStreams = "a:0") {
  auto r = testsupport::RunProgram({"ffprobe", "-v", "error", "-select_streams", AStreams, "-show_entries",
                                    AEntry, "-of", "default=nw=1:nk=1", AFile});
  std::string v = r.Out;
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  return r.ExitCode == 0 ? v : std::string();
}

// Number of audio streams of a file.
inline int AudioStreams(const std::string& AFile) {
  auto r = testsupport::RunProgram({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                    "stream=index", "-of", "csv=p=0", AFile});
  int n = 0;
  std::istringstream in(r.Out);
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) ++n;
  return n;
}

// Seconds of audio in the first audio stream: end of its last packet (works
// when the container has no duration in its header).
inline double DecodedDuration(const std::string& AFile) {
  auto r = testsupport::RunProgram({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                    "packet=pts_time,duration_time", "-of", "csv=p=0", AFile});
  double end = -1;
  std::istringstream in(r.Out);
  for (std::string l; std::getline(in, l);) {
    auto comma = l.find(',');
    if (comma == std::string::npos) continue;
    double pts = std::atof(l.substr(0, comma).c_str());
    double dur = std::atof(l.substr(comma + 1).c_str());
    if (pts + dur > end) end = pts + dur;
  }
  return end;
}

// Peak level in dB (volumedetect); 1 when it cannot be read.
inline double MaxVolume(const std::string& AFile) {
  auto r = testsupport::RunProgram(
      {"ffmpeg", "-hide_banner", "-nostats", "-i", AFile, "-af", "volumedetect", "-f", "null", "-"});
  auto p = r.Err.find("max_volume:");
  if (p == std::string::npos) return 1;
  return std::atof(r.Err.c_str() + p + 11);
}

} // namespace encodertest
