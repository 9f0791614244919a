// The encoder with real conversion jobs on small generated files.
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFEncode.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "tests/engine/test_encoder_media.h"
#include "tests/support/TestSupport.h"
#include "util/MainThread.h"

using namespace std::chrono_literals;
using namespace testsupport;
using namespace encodertest;

namespace {

class EncoderReal : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
    Logger().SetLogLevel(llQuiet);
    GDir = new TTempDir();
    // A quiet sine (peak 0.25, -12 dBFS) and a second, shorter one.
    ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=0.5", "-ac", "2", "-c:a",
                           "pcm_s16le", (*GDir) / "a.wav"}));
    ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "sine=frequency=660:duration=0.3", "-ac", "2", "-c:a",
                           "pcm_s16le", (*GDir) / "b.wav"}));
    // Two audio streams each.
    for (auto [name, d] : {std::pair{"c.mkv", "0.5"}, std::pair{"d.mkv", "0.3"}})
      ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", std::string("sine=frequency=440:duration=") + d, "-f",
                             "lavfi", "-i", std::string("sine=frequency=880:duration=") + d, "-map", "0",
                             "-map", "1", "-c:a", "pcm_s16le", (*GDir) / name}));
  }
  static void TearDownTestSuite() {
    delete GDir;
    GDir = nullptr;
  }
  static TTempDir* GDir;
  std::string In(const std::string& AName) { return (*GDir) / AName; }

  TTempDir Out;
  THeadlessDispatcher Dispatcher;
  TFFEncoder Enc;
  std::mutex Lock;
  std::vector<TTerminateInfo> Notices;
  std::atomic<bool> Final{false};

  void Attach() {
    Enc.OnTerminate = [this](TCustomEncoder*, const TTerminateInfo& AInfo) {
      std::lock_guard l(Lock);
      Notices.push_back(AInfo);
      if (AInfo.TaskIndex < 0) Final = true;
    };
  }
  void Run(int AThreads) {
    Enc.Start(AThreads);
    ASSERT_TRUE(Dispatcher.ProcessUntil([this] { return Final.load(); }, 60s));
  }
};
TTempDir* EncoderReal::GDir = nullptr;

class EncoderRealThreads : public EncoderReal, public ::testing::WithParamInterface<int> {};

TEST_P(EncoderRealThreads, EveryTaskConvertsAndGetsOneNotice) {
  Attach();
  std::atomic<int> progress{0};
  Enc.OnProgress = [&](TCustomEncoder*, TProgressInfo* AInfo) {
    EXPECT_TRUE(IsMainThread());
    EXPECT_GE(AInfo->TaskIndex, 0);
    ++progress;
  };
  for (int i = 0; i < 3; ++i) {
    TOutputOptions o;
    InitOutputOptions(o);
    o.AudioCodec = "pcm_s16le";
    o.AudioSampleRate = 22050 + i * 11025;
    ASSERT_EQ(Enc.AddTask(In(i == 1 ? "b.wav" : "a.wav")), i) << Enc.LastErrMsg();
    ASSERT_TRUE(Enc.SetOutputFile(i, Out / ("o" + std::to_string(i) + ".wav"), &o)) << Enc.LastErrMsg();
  }
  Run(GetParam());
  ASSERT_EQ(Notices.size(), 4u);
  EXPECT_EQ(Notices.back().TaskIndex, -1);
  std::set<int> seen;
  for (int i = 0; i < 3; ++i) {
    seen.insert(Notices[i].TaskIndex);
    EXPECT_TRUE(Notices[i].Finished) << Notices[i].ExceptionMsg;
    EXPECT_FALSE(Notices[i].Exception);
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
  EXPECT_GT(progress, 0);
  for (int i = 0; i < 3; ++i) {
    std::string f = Out / ("o" + std::to_string(i) + ".wav");
    EXPECT_EQ(ProbeValue(f, "stream=sample_rate"), std::to_string(22050 + i * 11025));
    EXPECT_NEAR(DecodedDuration(f), i == 1 ? 0.3 : 0.5, 0.01);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, EncoderRealThreads, ::testing::Values(0, 1, 2));

TEST_F(EncoderReal, AFailingTaskReportsItsErrorAndTheOthersConvert) {
  Attach();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Enc.AddTask(In("a.wav")), i);
  TOutputOptions ok;
  ok.AudioCodec = "flac";
  TOutputOptions copyWithVolume; // a volume cannot apply to a stream copy
  copyWithVolume.AudioCodec = "copy";
  copyWithVolume.AudioVolume = 128;
  ASSERT_TRUE(Enc.SetOutputFile(0, Out / "0.flac", &ok));
  ASSERT_TRUE(Enc.SetOutputFile(1, Out / "1.wav", &copyWithVolume)) << Enc.LastErrMsg();
  ASSERT_TRUE(Enc.SetOutputFile(2, Out / "2.flac", &ok));
  Run(1);
  ASSERT_EQ(Notices.size(), 4u);
  for (auto& n : Notices) {
    if (n.TaskIndex == 1) {
      EXPECT_TRUE(n.Exception);
      EXPECT_FALSE(n.Finished);
      EXPECT_FALSE(n.ExceptionMsg.empty());
    } else {
      EXPECT_TRUE(n.Finished) << n.TaskIndex << " " << n.ExceptionMsg;
    }
  }
  EXPECT_NEAR(DecodedDuration(Out / "2.flac"), 0.5, 0.02);
}

TEST_F(EncoderReal, OutputTextWithJoinAndNewStreams) {
  // The first acodec line is the main stream's default and also goes to the
  // first new audio stream; the second line is never consumed.
  ASSERT_EQ(Enc.AddTask(In("c.mkv")), 0);
  ASSERT_TRUE(Enc.AddInputFile(0, In("d.mkv")));
  std::string out = Out / "joined.mkv";
  ASSERT_TRUE(Enc.SetOutputFile(0, out, "Join=1<CRLF>acodec=mp2<CRLF>newaudio=<CRLF>acodec=aac"))
      << Enc.LastErrMsg();
  Attach();
  Run(0);
  ASSERT_EQ(Notices.size(), 2u);
  EXPECT_TRUE(Notices[0].Finished) << Notices[0].ExceptionMsg;
  EXPECT_EQ(AudioStreams(out), 2);
  EXPECT_EQ(ProbeValue(out, "stream=codec_name", "a:0"), "mp2");
  EXPECT_EQ(ProbeValue(out, "stream=codec_name", "a:1"), "mp2");
  EXPECT_NEAR(DecodedDuration(out), 0.8, 0.06); // the inputs one after another
}

TEST_F(EncoderReal, AudioVolumeScalesThePeak) {
  // Percent -> engine volume as the window computes it, and the level that
  // comes out relative to the input's peak (5000 % clips at full scale).
  struct TCase {
    int Percent, Volume;
    double Gain; // dB
  };
  const TCase cases[] = {{1, 3, 20 * std::log10(3 / 256.0)},
                         {50, 128, -6.02},
                         {100, 256, 0},
                         {150, 384, 3.52},
                         {5000, 12800, 34}};
  double in = MaxVolume(In("a.wav"));
  ASSERT_LT(in, -6);
  Attach();
  int i = 0;
  for (auto& c : cases) {
    EXPECT_EQ(int(std::nearbyint(c.Percent * 256.0 / 100.0)), c.Volume);
    TOutputOptions o;
    o.AudioCodec = "pcm_s16le";
    o.AudioVolume = c.Volume;
    ASSERT_EQ(Enc.AddTask(In("a.wav")), i);
    ASSERT_TRUE(Enc.SetOutputFile(i, Out / (std::to_string(c.Percent) + ".wav"), &o));
    ++i;
  }
  Run(2);
  for (auto& c : cases)
    EXPECT_NEAR(MaxVolume(Out / (std::to_string(c.Percent) + ".wav")), std::min(in + c.Gain, 0.0), 0.6)
        << c.Percent << " %";
}

} // namespace
