// The job with the real media libraries: breaking off a blocking open by the
// read time-out or by Stop (a loopback TCP peer that accepts and never
// sends), closing the opened codecs after a failed run, and removing the
// empty output files the job created.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "test_lifecycle_support.h"
#include "medialib/UnicodeProtocol.h"
#include "tests/support/TestSupport.h"

using namespace lifecycle;

namespace {

const char* const TimeoutText = "connecting/reading/writing timeout";
const char* const CanceledText = "connecting/reading/writing canceled";

// Listens on 127.0.0.1, accepts every connection and never sends a byte.
class TSilentPeer {
public:
  TSilentPeer() {
    FListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (FListen < 0 || bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(FListen, 8) != 0)
      throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof a;
    getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] {
      for (;;) {
        int c = accept(FListen, nullptr, nullptr);
        if (c < 0) return; // the listening socket was shut down
        std::lock_guard lock(FLock);
        FAccepted.push_back(c);
      }
    });
  }
  ~TSilentPeer() {
    shutdown(FListen, SHUT_RDWR);
    FThread.join();
    close(FListen);
    for (int c : FAccepted) close(c);
  }
  std::string URL() const { return "tcp://127.0.0.1:" + std::to_string(FPort); }
  int Accepted() {
    std::lock_guard lock(FLock);
    return int(FAccepted.size());
  }

private:
  int FListen = -1;
  int FPort = 0;
  std::mutex FLock;
  std::vector<int> FAccepted;
  std::thread FThread;
};

class JobIO : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg(); }
};

} // namespace

TEST_F(JobIO, ReadTimeoutBreaksOffABlockingOpen) {
  TSilentPeer peer;
  TLogCapture log;
  TTestJob job;
  job.SetReadTimeout(500);
  AVFormatContext* ctx = nullptr;
  auto start = std::chrono::steady_clock::now();
  int ret = job.OpenInputWithTimeout(&ctx, peer.URL());
  double ms = MillisecondsSince(start);
  EXPECT_LT(ret, 0);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(peer.Accepted(), 1);
  EXPECT_GE(ms, 480);
  EXPECT_LT(ms, 2500);
  EXPECT_EQ(log.CountOf(llInfo, TimeoutText), 1);
  EXPECT_EQ(log.CountOf(llInfo, CanceledText), 0);
  // The guard is gone with the call: nothing is left registered.
  EXPECT_EQ(InterruptCB().Count(), 0u);
}

TEST_F(JobIO, StopFromAnotherThreadCancelsABlockingOpenWithoutTimeout) {
  // With ReadTimeout 0 the open would block for good; only Stop ends it.
  TSilentPeer peer;
  TLogCapture log;
  TTestJob job;
  job.SetReadTimeout(0);
  AVFormatContext* ctx = nullptr;
  auto start = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(800ms);
    job.Stop(true); // no run under way: returns at once
  });
  TWatchdog dog("open with ReadTimeout 0");
  int ret = job.OpenInputWithTimeout(&ctx, peer.URL());
  double ms = MillisecondsSince(start);
  stopper.join();
  EXPECT_EQ(ret, AVERROR_EXIT);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_GE(ms, 780); // not timed out before the stop
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(log.CountOf(llInfo, CanceledText), 1);
  EXPECT_EQ(log.CountOf(llInfo, TimeoutText), 0);
}

TEST_F(JobIO, StopEndsARunBlockedInAnOpen) {
  for (bool threaded : {false, true}) {
    SCOPED_TRACE(threaded ? "threaded" : "synchronous");
    TSilentPeer peer;
    TLogCapture log;
    TNotices notices;
    std::atomic<int> openResult{0};
    std::atomic<bool> opening{false};
    {
      TTestJob job;
      job.SetFileCounts(1, 1);
      job.SetReadTimeout(10000);
      notices.Attach(job);
      job.TranscodeStep = [&](TCustomFFmpeg& AJob) {
        AVFormatContext* ctx = nullptr;
        opening = true;
        int ret = AJob.OpenInputWithTimeout(&ctx, peer.URL());
        openResult = ret;
        if (ret < 0) RaiseFFmpeg("%s: cannot open", peer.URL());
      };
      TWatchdog dog("Stop(true) of a run blocked in an open");
      auto start = std::chrono::steady_clock::now();
      if (threaded) {
        ASSERT_TRUE(job.StartConvert(true));
        ASSERT_TRUE(WaitUntil([&] { return opening.load() && peer.Accepted() == 1; }));
        job.Stop(true);
      } else {
        // The run holds this thread; the stop comes from another one and
        // waits there for the run to end.
        std::thread stopper([&] {
          WaitUntil([&] { return opening.load() && peer.Accepted() == 1; });
          std::this_thread::sleep_for(100ms);
          job.Stop(true);
          EXPECT_TRUE(job.Terminated());
        });
        EXPECT_FALSE(job.StartConvert(false));
        stopper.join();
      }
      EXPECT_LT(MillisecondsSince(start), 5000);
      EXPECT_EQ(openResult.load(), AVERROR_EXIT);
      EXPECT_TRUE(job.Terminated());
      EXPECT_FALSE(job.Finished());
      EXPECT_TRUE(job.FatalException());
    }
    EXPECT_EQ(notices.Count.load(), 1);
    EXPECT_EQ(log.CountOf(llInfo, CanceledText), 1);
  }
}

TEST_F(JobIO, OpenedCodecsAreClosedAfterAFailedRun) {
  AVCodecContext* encoder = nullptr;
  TNotices notices;
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    job.TranscodeStep = [&](TCustomFFmpeg&) {
      const AVCodec* codec = FF.avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
      ASSERT_NE(codec, nullptr);
      encoder = FF.avcodec_alloc_context3(codec);
      encoder->sample_rate = 8000;
      encoder->sample_fmt = AV_SAMPLE_FMT_S16;
      FF.av_channel_layout_default(&encoder->ch_layout, 1);
      encoder->time_base = AVRational{1, 8000};
      ASSERT_EQ(FF.avcodec_open2(encoder, codec, nullptr), 0);
      encoder->stats_in = FF.av_strdup("pass one statistics");
      job.AddEncoder(reinterpret_cast<const TAVOutputStream*>(&job), encoder);
      RaiseFFmpeg("Error while opening encoder for output stream #0.0");
    };
    job.StartConvert(true);
    job.Stop(true);
    EXPECT_EQ(job.FatalMessage(), "Error while opening encoder for output stream #0.0");
  }
  ASSERT_NE(encoder, nullptr);
  EXPECT_EQ(encoder->codec, nullptr);    // closed
  EXPECT_EQ(encoder->stats_in, nullptr); // statistics buffer freed first
  FF.avcodec_free_context(&encoder);
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST_F(JobIO, OnlyEmptyOutputFilesTheJobCreatedAreRemoved) {
  testsupport::TTempDir dir;
  struct TCase {
    const char* Name;
    bool CreatedByJob;
    int Bytes;
    bool Kept;
  } cases[] = {
      {"created-empty.wav", true, 0, false},
      {"created-one-byte.wav", true, 1, true},
      {"existing-empty.wav", false, 0, true},
  };
  TTestJob job(4);
  job.SetFileCounts(1, 0);
  for (int i = 0; i < 3; ++i) {
    std::string path = dir / cases[i].Name;
    AVFormatContext* oc = nullptr;
    ASSERT_GE(FF.avformat_alloc_output_context2(&oc, nullptr, "wav", path.c_str()), 0);
    ASSERT_GE(FFOpenOutputIO(oc, path, AVIO_FLAG_WRITE, nullptr), 0);
    for (int b = 0; b < cases[i].Bytes; ++b) FF.avio_w8(oc->pb, 0x52);
    FF.avio_flush(oc->pb);
    job.PutOutput(i, oc, cases[i].CreatedByJob ? path : std::string());
  }
  job.TranscodeStep = [](TCustomFFmpeg&) {};
  job.StartConvert(false);
  EXPECT_FALSE(job.FatalException()) << job.FatalMessage();
  EXPECT_EQ(job.nb_output_files(), 0);
  for (auto& c : cases) EXPECT_EQ(std::filesystem::exists(dir / c.Name), c.Kept) << c.Name;
}
