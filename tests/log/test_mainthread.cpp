// Delivery on the main thread through a headless dispatcher: library
// threads never wait for the main thread, lines keep their order, and the
// main thread may log through the library at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "LogCapture.h"
#include "util/MainThread.h"

namespace {

using namespace std::chrono_literals;

class LogMainThread : public ::testing::Test {
protected:
  static void SetUpTestSuite() { GLoaded = LoadTestLibraries(); }
  void SetUp() override {
    ASSERT_TRUE(GLoaded) << FFLoader().LastErrMsg();
    FDispatcher = std::make_unique<THeadlessDispatcher>();
    FLogger = std::make_unique<TFFLogger>();
    ASSERT_TRUE(FLogger->TriggerEventInMainThread);
    FLogger->SetLogLevel(llInfo);
    FCap.Attach(*FLogger);
  }
  void TearDown() override {
    FLogger.reset();
    FDispatcher.reset();
  }

  // Checks that every line of a worker arrived on the main thread in the
  // order it logged them ("<tag> #<n>").
  void ExpectInOrder(const std::vector<TCapturedLine>& ALines, const std::string& ATag, int ACount) {
    int next = 0;
    for (auto& l : ALines) {
      EXPECT_EQ(l.DeliveredOn, FMainId) << l.Msg;
      if (l.Msg.rfind(ATag + " #", 0) != 0) continue;
      EXPECT_EQ(l.Msg, ATag + " #" + std::to_string(next)) << "out of order";
      ++next;
    }
    EXPECT_EQ(next, ACount) << ATag;
  }

  static inline bool GLoaded = false;
  std::thread::id FMainId = std::this_thread::get_id();
  std::unique_ptr<THeadlessDispatcher> FDispatcher;
  std::unique_ptr<TFFLogger> FLogger;
  TLogCapture FCap;
};

TEST_F(LogMainThread, WorkerLinesArriveOnTheMainThreadInOrder) {
  TDeadlockGuard guard(60s);
  constexpr int KLines = 300;
  std::thread worker([] {
    for (int i = 0; i < KLines; ++i) {
      FF.av_log(nullptr, AV_LOG_INFO, "lib ");
      FF.av_log(nullptr, AV_LOG_INFO, "#%d\n", i);
      if (i % 30 == 0) Logger().Log(nullptr, llWarning, "own #%d", i / 30);
    }
  });
  EXPECT_TRUE(FDispatcher->ProcessUntil([&] { return FCap.Count() == KLines + KLines / 30; }, 20s));
  worker.join();
  auto lines = FCap.Lines();
  ExpectInOrder(lines, "lib", KLines);
  ExpectInOrder(lines, "own", KLines / 30);
  // Own messages keep their place among the library lines of the thread.
  auto own = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.Msg == "own #1"; });
  ASSERT_NE(own, lines.end());
  EXPECT_EQ(std::prev(own)->Msg, "lib #30");
}

TEST_F(LogMainThread, WorkerDoesNotWaitForABusyMainThread) {
  // The main thread waits for the worker without servicing its queue: the
  // worker must still finish, and its lines arrive once the main thread
  // pumps again.
  TDeadlockGuard guard(60s);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) {
      FF.av_log(nullptr, AV_LOG_ERROR, "busy #%d\n", i);
      if (i % 20 == 0) Logger().Log(nullptr, llError, "own busy %d", i);
    }
    done = true;
  });
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(done) << "the worker waited for the main thread";
  worker.join();
  EXPECT_EQ(FCap.Count(), 0u);
  EXPECT_TRUE(FDispatcher->ProcessUntil([&] { return FCap.Count() == 210; }, 10s));
  ExpectInOrder(FCap.Lines(), "busy", 200);
}

TEST_F(LogMainThread, MainThreadLogsThroughTheLibraryWhileWorkersLog) {
  TDeadlockGuard guard(60s);
  // The handler itself logs through the library for one line (on the main
  // thread, while it delivers).
  auto attached = FLogger->OnLog;
  FLogger->OnLog = [attached](void* ASender, uint32_t AThreadID, TLogLevel ALevel, const std::string& AMsg) {
    attached(ASender, AThreadID, ALevel, AMsg);
    if (AMsg == "w0 #100") FF.av_log(nullptr, AV_LOG_INFO, "nested #0\n");
  };

  constexpr int KWorkers = 3, KLines = 400, KMain = 300;
  std::vector<std::thread> workers;
  for (int w = 0; w < KWorkers; ++w) {
    workers.emplace_back([w] {
      for (int i = 0; i < KLines; ++i) {
        FF.av_log(nullptr, AV_LOG_INFO, "w%d ", w);
        FF.av_log(nullptr, AV_LOG_INFO, "#%d\n", i);
      }
    });
  }
  bool ownLinesAtOnce = true;
  for (int i = 0; i < KMain; ++i) {
    FF.av_log(nullptr, AV_LOG_INFO, "main ");
    FF.av_log(nullptr, AV_LOG_INFO, "#%d\n", i);
    // On the main thread a line is delivered before the call returns.
    auto msgs = FCap.Msgs();
    if (std::find(msgs.begin(), msgs.end(), "main #" + std::to_string(i)) == msgs.end())
      ownLinesAtOnce = false;
    if (i % 10 == 0) FDispatcher->RunPending();
  }
  EXPECT_TRUE(ownLinesAtOnce);
  size_t total = KWorkers * KLines + KMain + 1;
  EXPECT_TRUE(FDispatcher->ProcessUntil([&] { return FCap.Count() == total; }, 20s)) << FCap.Count();
  for (auto& w : workers) w.join();
  auto lines = FCap.Lines();
  for (int w = 0; w < KWorkers; ++w) ExpectInOrder(lines, "w" + std::to_string(w), KLines);
  ExpectInOrder(lines, "main", KMain);
  // The nested line is queued behind the line whose delivery logged it.
  auto nested = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.Msg == "nested #0"; });
  auto cause = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.Msg == "w0 #100"; });
  ASSERT_NE(nested, lines.end());
  EXPECT_LT(cause, nested);
}

TEST_F(LogMainThread, FlushFromAWorkerWaitsForDelivery) {
  TDeadlockGuard guard(60s);
  std::atomic<bool> done{false};
  size_t seenAfterFlush = 0;
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) FF.av_log(nullptr, AV_LOG_INFO, "flush #%d\n", i);
    Logger().Flush();
    seenAfterFlush = FCap.Count();
    done = true;
  });
  EXPECT_TRUE(FDispatcher->ProcessUntil([&] { return done.load(); }, 20s));
  worker.join();
  EXPECT_EQ(seenAfterFlush, 50u);
  ExpectInOrder(FCap.Lines(), "flush", 50);
}

TEST_F(LogMainThread, LinesQueuedForADestroyedLoggerAreDropped) {
  TDeadlockGuard guard(60s);
  std::thread worker([] {
    for (int i = 0; i < 50; ++i) FF.av_log(nullptr, AV_LOG_INFO, "stale #%d\n", i);
  });
  worker.join();
  FLogger.reset(); // its lines are still waiting for the main thread
  TLogCapture second;
  FLogger = std::make_unique<TFFLogger>();
  second.Attach(*FLogger);
  FDispatcher->ProcessFor(50ms);
  EXPECT_EQ(FCap.Count(), 0u);
  EXPECT_EQ(second.Count(), 0u);
  std::thread again([] { FF.av_log(nullptr, AV_LOG_INFO, "fresh #0\n"); });
  again.join();
  EXPECT_TRUE(FDispatcher->ProcessUntil([&] { return second.Count() == 1; }, 10s));
  EXPECT_EQ(second.Msgs(), std::vector<std::string>{"fresh #0"});
}

} // namespace
