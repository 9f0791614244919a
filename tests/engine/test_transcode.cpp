#include <cmath>
#include <map>

#include <gtest/gtest.h>

#include "engine/FFmpegJob.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class Transcode : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg(); }
  TTempDir Dir;
};

struct TResult {
  bool Opened = false;
  bool Finished = false;
  bool Fatal = false;
  std::string Message;
};

// Converts AInputs into AOutput with the option texts given before the
// inputs and before the output.
TResult Convert(const std::vector<std::string>& AInputs, const std::string& AOutput,
                const std::string& AOutputOptions = "", bool AJoin = false, const std::string& AInputOptions = "") {
  TResult r;
  TFFmpegJob job;
  for (auto& in : AInputs) {
    if (!AInputOptions.empty()) job.SetExtOptions(AInputOptions);
    if (!job.OpenInputFile(in)) {
      r.Message = job.LastErrMsg();
      return r;
    }
  }
  if (!AOutputOptions.empty()) job.SetExtOptions(AOutputOptions);
  if (job.OpenOutputFile(AOutput, AJoin) < 0) {
    r.Message = job.LastErrMsg();
    return r;
  }
  job.JoinSetup();
  r.Opened = true;
  job.StartConvert(false);
  r.Finished = job.Finished();
  r.Fatal = job.FatalException();
  r.Message = job.FatalMessage();
  return r;
}

// A few fields of ffprobe's JSON.
std::string JsonField(const std::string& AJson, const std::string& AKey) {
  auto p = AJson.find("\"" + AKey + "\"");
  if (p == std::string::npos) return {};
  p = AJson.find(':', p) + 1;
  while (AJson[p] == ' ' || AJson[p] == '"') ++p;
  auto e = AJson.find_first_of("\",\n}", p);
  return AJson.substr(p, e - p);
}

}  // namespace

TEST_F(Transcode, WavToMp3) {
  std::string in = Dir / "in.wav", out = Dir / "out.mp3";
  ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=2:sample_rate=44100", "-ac", "2", in}));
  auto r = Convert({in}, out, "acodec=libmp3lame<CRLF>ab=128k<CRLF>ar=48000");
  ASSERT_TRUE(r.Opened) << r.Message;
  EXPECT_TRUE(r.Finished) << r.Message;
  auto j = ProbeJSON(out);
  EXPECT_EQ(JsonField(j, "codec_name"), "mp3");
  EXPECT_EQ(JsonField(j, "sample_rate"), "48000");
  EXPECT_EQ(JsonField(j, "channels"), "2");
  EXPECT_NEAR(std::stod(JsonField(j, "duration")), 2.0, 0.06);
}
