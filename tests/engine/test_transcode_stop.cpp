// The stop of a running conversion, also run under ThreadSanitizer.
#include <atomic>
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "engine/FFmpegJob.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "tests/support/TestSupport.h"
#include "util/MainThread.h"

using namespace testsupport;

namespace {

int64_t DecodedFrames(const std::string& AFile) {
  auto r = RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", AFile, "-ac", "1", "-f", "s16le", "-"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  return int64_t(r.Out.size() / 2);
}

} // namespace

TEST(TranscodeStop, StopInTheMiddleKeepsAPlayableFile) {
  ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
  THeadlessDispatcher main;
  TTempDir Dir;
  std::string in = Dir / "long.wav", out = Dir / "long.mp3";
  ASSERT_TRUE(
      MakeMedia({"-f", "lavfi", "-i", "sine=frequency=300:duration=60:sample_rate=44100", "-ac", "2", in}));
  TFFmpegJob job;
  job.Options().Fverbose = -1;
  ASSERT_TRUE(job.OpenInputFile(in));
  job.SetExtOptions("acodec=libmp3lame");
  ASSERT_GT(job.OpenOutputFile(out, false), 0);
  job.ReportInterval = 20000;
  std::atomic<int> reports{0};
  std::atomic<int64_t> lastDuration{0};
  std::atomic<bool> badNumber{false};
  job.OnProgress = [&](TCustomFFmpeg*, const TJobProgress& p) {
    ++reports;
    lastDuration = p.CurrentDuration;
    if (p.CurrentDuration < 0 || !std::isfinite(p.BitRate)) badNumber = true;
  };
  std::atomic<int> terminated{0};
  job.OnTerminate = [&](TCustomFFmpeg*) { ++terminated; };
  ASSERT_TRUE(job.StartConvert(true));
  ASSERT_TRUE(main.ProcessUntil([&] { return lastDuration > 2000000; }, std::chrono::seconds(120)));
  job.Stop(true);
  EXPECT_FALSE(job.Finished());
  EXPECT_FALSE(job.FatalException()) << job.FatalMessage();
  EXPECT_EQ(terminated, 1);
  EXPECT_FALSE(badNumber);
  EXPECT_GT(reports, 1);
  int64_t frames = DecodedFrames(out); // the trailer was written: the file decodes
  EXPECT_GT(frames, 44100 * 2);
  EXPECT_LT(frames, 44100 * 55);
}
