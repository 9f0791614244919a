// Library lines through the real library: assembly of fragments, prefixes,
// level filter, repeat suppression, long messages and several threads.
// Delivery happens on the logging thread here (no main-thread dispatcher).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <thread>

#include "LogCapture.h"

namespace {

class LogCallback : public ::testing::Test {
protected:
  static void SetUpTestSuite() { GLoaded = LoadTestLibraries(); }
  void SetUp() override {
    ASSERT_TRUE(GLoaded) << FFLoader().LastErrMsg();
    FLogger = std::make_unique<TFFLogger>();
    FLogger->TriggerEventInMainThread = false;
    FLogger->SetLogLevel(llInfo);
    FCap.Attach(*FLogger);
  }
  void TearDown() override { FLogger.reset(); }

  static inline bool GLoaded = false;
  std::unique_ptr<TFFLogger> FLogger;
  TLogCapture FCap;
  std::mutex FNestLock;
  std::vector<std::string> FNested;
};

TEST_F(LogCallback, FragmentsOfOneThreadMakeOneLine) {
  FF.av_log(nullptr, AV_LOG_INFO, "abc");
  EXPECT_EQ(FCap.Count(), 0u);
  FF.av_log(nullptr, AV_LOG_INFO, "%s\n", "def");
  auto lines = FCap.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Msg, "abcdef");
  EXPECT_EQ(lines[0].Level, llInfo);
  EXPECT_EQ(lines[0].ThreadID, CurrentThreadID());
  EXPECT_EQ(lines[0].Sender, FLogger.get());

  // Several lines in one message; the rest waits for the next fragment.
  FCap.Clear();
  FF.av_log(nullptr, AV_LOG_INFO, "a\nb\n\nc");
  EXPECT_EQ(FCap.Msgs(), (std::vector<std::string>{"a", "b", ""}));
  FF.av_log(nullptr, AV_LOG_INFO, "d\n");
  EXPECT_EQ(FCap.Msgs(), (std::vector<std::string>{"a", "b", "", "cd"}));
}

TEST_F(LogCallback, ContextPrefixOnlyBeforeTheFirstFragment) {
  AVFormatContext* ctx = FF.avformat_alloc_context();
  ASSERT_NE(ctx, nullptr);
  FF.av_log(ctx, AV_LOG_WARNING, "abc");
  FF.av_log(ctx, AV_LOG_WARNING, "def\n");
  FF.av_log(ctx, AV_LOG_WARNING, "ghi\n");
  FF.avformat_free_context(ctx);
  std::string prefix = "[NULL @ " + PtrText(ctx) + "]";
  EXPECT_EQ(FCap.Msgs(), (std::vector<std::string>{prefix + "abcdef", prefix + "ghi"}));
  EXPECT_EQ(FCap.Lines()[0].Level, llWarning);
}

TEST_F(LogCallback, ParentContextPrefixOnALibraryLine) {
  // A resampler logs with the context it was given as parent; its set-up
  // fails on the invalid input rate and says so itself.
  AVFormatContext* parent = FF.avformat_alloc_context();
  SwrContext* swr = nullptr;
  AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  ASSERT_EQ(FF.swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, 44100, &stereo, AV_SAMPLE_FMT_S16, 0, 0,
                                   parent),
            0);
  EXPECT_LT(FF.swr_init(swr), 0);
  std::string prefix = "[NULL @ " + PtrText(parent) + "] [SWR @ " + PtrText(swr) + "]";
  FF.swr_free(&swr);
  FF.avformat_free_context(parent);
  auto lines = FCap.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].Msg, prefix + "Requested input sample rate 0 is invalid");
  EXPECT_EQ(lines[0].Level, llError);
}

TEST_F(LogCallback, LibraryLinesFollowTheLibraryLevel) {
  struct TCase {
    TLogLevel Current;
    int Level; // library level of the message
    bool Delivered;
    TLogLevel As;
  };
  const TCase table[] = {
      {llInfo, AV_LOG_VERBOSE, false, llVerbose},
      {llInfo, AV_LOG_INFO, true, llInfo},
      {llInfo, AV_LOG_INFO | AV_LOG_C(134), true, llInfo}, // colour bits are not part of the level
      {llInfo, AV_LOG_ERROR + 3, true, llError},
      {llDebug, AV_LOG_DEBUG, true, llDebug},
      {llDebug, AV_LOG_TRACE, false, llDebug},
      {llError, AV_LOG_WARNING, false, llWarning},
      {llError, AV_LOG_ERROR, true, llError},
      {llError, AV_LOG_FATAL, true, llFatal},
      {llError, AV_LOG_PANIC, true, llPanic},
      {llQuiet, AV_LOG_PANIC, false, llPanic},
  };
  int n = 0;
  for (auto& c : table) {
    FCap.Clear();
    FLogger->SetLogLevel(c.Current);
    EXPECT_EQ(FF.av_log_get_level(), LibraryLevelOf(c.Current));
    FF.av_log(nullptr, c.Level, "level case %d\n", ++n);
    auto lines = FCap.Lines();
    ASSERT_EQ(lines.size(), c.Delivered ? 1u : 0u) << "case " << n;
    if (c.Delivered) {
      EXPECT_EQ(lines[0].Level, c.As) << "case " << n;
    }
  }
}

TEST_F(LogCallback, RepeatsCollapseIntoOneLine) {
  for (int i = 0; i < 3; ++i) FF.av_log(nullptr, AV_LOG_INFO, "same line\n");
  EXPECT_EQ(FCap.Msgs(), (std::vector<std::string>{"same line"}));
  FF.av_log(nullptr, AV_LOG_WARNING, "other line\n");
  auto lines = FCap.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].Msg, "    Last message repeated 2 times");
  EXPECT_EQ(lines[1].Level, llWarning); // the level of the message that broke the run
  EXPECT_EQ(lines[2].Msg, "other line");

  // A run broken by a fragment: the repeat line comes at once, the
  // fragment waits for its line end. Fragments without a line end are
  // never taken for repeats.
  FCap.Clear();
  FF.av_log(nullptr, AV_LOG_INFO, "again\n");
  FF.av_log(nullptr, AV_LOG_INFO, "again\n");
  FF.av_log(nullptr, AV_LOG_INFO, "ab");
  FF.av_log(nullptr, AV_LOG_INFO, "ab");
  EXPECT_EQ(FCap.Msgs(), (std::vector<std::string>{"again", "    Last message repeated 1 times"}));
  FF.av_log(nullptr, AV_LOG_INFO, "\n");
  EXPECT_EQ(FCap.Msgs().back(), "abab");

  // The same text with the same context prefix is a repeat as well.
  FCap.Clear();
  AVFormatContext* ctx = FF.avformat_alloc_context();
  for (int i = 0; i < 4; ++i) FF.av_log(ctx, AV_LOG_INFO, "ctx line\n");
  FF.av_log(ctx, AV_LOG_INFO, "ctx end\n");
  FF.avformat_free_context(ctx);
  std::string prefix = "[NULL @ " + PtrText(ctx) + "]";
  EXPECT_EQ(FCap.Msgs(), (std::vector<std::string>{prefix + "ctx line", "    Last message repeated 3 times",
                                                   prefix + "ctx end"}));
}

TEST_F(LogCallback, LongMessagesArriveWhole) {
  AVFormatContext* ctx = FF.avformat_alloc_context();
  std::string prefix = "[NULL @ " + PtrText(ctx) + "]";
  // Around the line buffer (with and without the prefix), well above it.
  for (size_t size : {100u, 2020u, 2040u, 2047u, 2048u, 2049u, 5000u, 70000u}) {
    std::string body;
    for (size_t i = 0; i < size; ++i) body += char('a' + i % 26);
    FCap.Clear();
    // Several arguments: a second formatting attempt has to read them again.
    FF.av_log(ctx, AV_LOG_INFO, "%s|%d|%s\n", body.c_str(), int(size), "tail");
    FF.av_log(nullptr, AV_LOG_INFO, "%s|%d\n", body.c_str(), int(size));
    std::vector<std::string> expected{prefix + body + "|" + std::to_string(size) + "|tail",
                                      body + "|" + std::to_string(size)};
    auto msgs = FCap.Msgs();
    std::string got;
    for (auto& m : msgs) got += " " + std::to_string(m.size());
    EXPECT_TRUE(msgs == expected) << "message of " << size << " bytes; line lengths:" << got;
  }
  FF.avformat_free_context(ctx);
}

TEST_F(LogCallback, InterleavedFragmentsOfTwoThreadsStayApart) {
  std::mutex lock;
  std::condition_variable cond;
  int step = 0;
  auto waitFor = [&](int s) {
    std::unique_lock l(lock);
    cond.wait(l, [&] { return step >= s; });
  };
  auto advance = [&] {
    std::lock_guard l(lock);
    ++step;
    cond.notify_all();
  };
  uint32_t idA = 0, idB = 0;
  std::thread a([&] {
    idA = CurrentThreadID();
    FF.av_log(nullptr, AV_LOG_INFO, "A1-");
    advance(); // 1
    waitFor(2);
    FF.av_log(nullptr, AV_LOG_INFO, "A2\n");
  });
  std::thread b([&] {
    idB = CurrentThreadID();
    waitFor(1);
    FF.av_log(nullptr, AV_LOG_INFO, "B1-");
    FF.av_log(nullptr, AV_LOG_INFO, "B2\n");
    advance(); // 2
  });
  a.join();
  b.join();
  auto lines = FCap.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Msg, "B1-B2");
  EXPECT_EQ(lines[0].ThreadID, idB);
  EXPECT_EQ(lines[1].Msg, "A1-A2");
  EXPECT_EQ(lines[1].ThreadID, idA);
}

TEST_F(LogCallback, ManyThreadsLinesIntactAndInOrder) {
  constexpr int KThreads = 8, KLines = 400;
  std::vector<uint32_t> ids(KThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < KThreads; ++t) {
    threads.emplace_back([t, &ids] {
      ids[t] = CurrentThreadID();
      for (int i = 0; i < KLines; ++i) {
        FF.av_log(nullptr, AV_LOG_INFO, "w%d ", t);
        FF.av_log(nullptr, AV_LOG_INFO, "line %d", i);
        FF.av_log(nullptr, AV_LOG_INFO, " end w%d #%d\n", t, i);
        if (i % 50 == 0) Logger().Log(nullptr, llError, "own w%d #%d", t, i);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto lines = FCap.Lines();
  ASSERT_EQ(lines.size(), size_t(KThreads * (KLines + KLines / 50)));
  std::vector<int> next(KThreads, 0), nextOwn(KThreads, 0);
  for (auto& l : lines) {
    int t = int(std::find(ids.begin(), ids.end(), l.ThreadID) - ids.begin());
    ASSERT_LT(t, KThreads) << l.Msg;
    if (l.Msg.rfind("own ", 0) == 0) {
      EXPECT_EQ(l.Msg, fmt::sprintf("own w%d #%d", t, nextOwn[t]));
      // An own message is queued after the library line logged before it.
      EXPECT_EQ(next[t], nextOwn[t] + 1) << l.Msg;
      nextOwn[t] += 50;
      continue;
    }
    EXPECT_EQ(l.Msg, fmt::sprintf("w%d line %d end w%d #%d", t, next[t], t, next[t]));
    ++next[t];
  }
  for (int t = 0; t < KThreads; ++t) EXPECT_EQ(next[t], KLines);
}

TEST_F(LogCallback, HandlerMayLogAgain) {
  // The handler runs on the logging thread and logs through the library
  // and on its own: no lock is held while it runs, and the nested lines
  // follow the one being delivered.
  FLogger->OnLog = [this](void* ASender, uint32_t AThreadID, TLogLevel ALevel, const std::string& AMsg) {
    static thread_local int depth = 0;
    {
      std::lock_guard l(FNestLock);
      FNested.push_back(AMsg + (depth ? " (nested)" : ""));
    }
    if (AMsg == "outer") {
      ++depth;
      FF.av_log(nullptr, AV_LOG_INFO, "inner\n");
      Logger().Log(nullptr, llError, "own");
      --depth;
    }
    (void)ASender, (void)AThreadID, (void)ALevel;
  };
  FF.av_log(nullptr, AV_LOG_INFO, "outer\n");
  EXPECT_EQ(FNested, (std::vector<std::string>{"outer", "inner", "own"}));
}

} // namespace

// The same ending from another thread completes that thread's own line; it is
// no repeat of the line the first thread finished.
TEST_F(LogCallback, AnotherThreadsEqualEndingIsNoRepeat) {
  std::thread a([] { FF.av_log(nullptr, AV_LOG_INFO, "#7\n"); });
  a.join();
  std::thread b([] {
    FF.av_log(nullptr, AV_LOG_INFO, "w2 ");
    FF.av_log(nullptr, AV_LOG_INFO, "#7\n");
  });
  b.join();
  FF.av_log(nullptr, AV_LOG_INFO, "#7\n"); // a third thread: its own whole line
  EXPECT_EQ(FCap.Msgs(), (std::vector<std::string>{"#7", "w2 #7", "#7"}));
}
