// Lifecycle of a conversion job with a stub transcode step: starting on the
// calling thread and on the job's worker, stopping, pausing, errors, refused
// starts and jobs that never ran. Each ends with exactly one termination
// notice. Run under ThreadSanitizer as well.
#include <memory>
#include <stdexcept>

#include "test_lifecycle_support.h"
#include "util/MainThread.h"

using namespace lifecycle;

namespace {

// A transcode that reports progress between packets until it has done
// APackets of them or a stop is requested.
TTranscodeStep PacketLoop(int APackets, std::atomic<int>* ADone = nullptr) {
  return [APackets, ADone](TCustomFFmpeg& AJob) {
    for (int i = 0; i < APackets && AJob.CheckPauseAndStop(); ++i) {
      TJobProgress p;
      p.FrameNumber = i;
      AJob.DoProgress(p);
      if (ADone) ++*ADone;
      std::this_thread::sleep_for(1ms);
    }
  };
}

} // namespace

TEST(JobLifecycle, MaxFilesMustBeWithinOneTo512) {
  for (int n : {-1, 0, 513}) EXPECT_THROW(TTestJob job(n), std::out_of_range) << n;
  for (int n : {1, 512}) {
    TTestJob job(n);
    EXPECT_EQ(job.MaxFiles(), n);
    EXPECT_FALSE(job.Converting());
    EXPECT_FALSE(job.Terminated());
    EXPECT_EQ(job.ReadTimeout(), 10000);
    EXPECT_EQ(job.TotalOutputDuration(), -1);
  }
}

TEST(JobLifecycle, RunsToTheEndOnTheCallingThreadOrOnItsWorker) {
  for (bool threaded : {false, true}) {
    SCOPED_TRACE(threaded ? "threaded" : "synchronous");
    TNotices notices;
    std::atomic<int> progress{0};
    {
      TTestJob job;
      job.SetFileCounts(1, 1);
      notices.Attach(job);
      job.OnProgress = [&](TCustomFFmpeg* ASender, const TJobProgress& AInfo) {
        EXPECT_EQ(ASender, &job);
        EXPECT_EQ(AInfo.FrameNumber, progress.load());
        ++progress;
      };
      job.TranscodeStep = PacketLoop(5);

      EXPECT_EQ(job.StartConvert(threaded), threaded);
      if (threaded) {
        ASSERT_TRUE(WaitUntil([&] { return job.Terminated(); }));
        EXPECT_NE(notices.ThreadID.load(), CurrentThreadID());
      } else {
        // The whole run happened inside StartConvert.
        EXPECT_TRUE(job.Terminated());
        EXPECT_EQ(notices.ThreadID.load(), CurrentThreadID());
      }
      EXPECT_EQ(progress.load(), 5);
      EXPECT_TRUE(job.Finished());
      EXPECT_TRUE(notices.FinishedSeen); // already set when the notice fires
      EXPECT_FALSE(job.Converting());
      EXPECT_FALSE(job.FatalException());

      // A terminated job never starts again.
      EXPECT_FALSE(job.StartConvert(threaded));
      job.StopOrTerminate(true);
      EXPECT_EQ(progress.load(), 5);
    }
    EXPECT_EQ(notices.Count.load(), 1);
  }
}

TEST(JobLifecycle, SecondStartWhileConvertingIsIgnored) {
  TNotices notices;
  std::atomic<bool> release{false};
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    std::atomic<int> runs{0};
    job.TranscodeStep = [&](TCustomFFmpeg&) {
      ++runs;
      WaitUntil([&] { return release.load(); });
    };
    ASSERT_TRUE(job.StartConvert(true));
    EXPECT_TRUE(job.Converting());
    EXPECT_FALSE(job.StartConvert(true));
    EXPECT_FALSE(job.StartConvert(false));
    release = true;
    job.Stop(true);
    EXPECT_EQ(runs.load(), 1);
  }
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST(JobLifecycle, StartWithoutFilesIsRefusedWithOneNotice) {
  struct TCase {
    int Inputs, Outputs;
    const char* Message;
  } cases[] = {
      {0, 0, "At least one output file must be specified"}, // outputs are checked first
      {1, 0, "At least one output file must be specified"},
      {0, 1, "At least one input file must be specified"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Message);
    TLogCapture log;
    TNotices notices;
    bool ran = false;
    {
      TTestJob job;
      job.SetFileCounts(c.Inputs, c.Outputs);
      notices.Attach(job);
      job.TranscodeStep = [&](TCustomFFmpeg&) { ran = true; };
      EXPECT_FALSE(job.StartConvert(true));
      EXPECT_EQ(notices.Count.load(), 1);
      EXPECT_EQ(notices.ThreadID.load(), CurrentThreadID());
      EXPECT_TRUE(job.FatalException());
      EXPECT_EQ(job.FatalMessage(), c.Message);
      EXPECT_TRUE(job.Terminated());
      EXPECT_FALSE(job.Finished());
      // Neither a second start nor ending the job gives another notice.
      job.SetFileCounts(1, 1);
      EXPECT_FALSE(job.StartConvert(true));
      job.StopOrTerminate(true);
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(notices.Count.load(), 1);
    EXPECT_EQ(log.CountOf(llQuiet, c.Message), 1);
  }
}

TEST(JobLifecycle, PauseHoldsTheLoopAndStopEndsAPausedJob) {
  TNotices notices;
  std::atomic<int> packets{0};
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    job.TranscodeStep = PacketLoop(1000000, &packets);
    ASSERT_TRUE(job.StartConvert(true));
    ASSERT_TRUE(WaitUntil([&] { return packets > 3; }));

    job.Pause();
    EXPECT_TRUE(job.Paused());
    std::this_thread::sleep_for(30ms); // the packet under way completes
    int held = packets;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(packets.load(), held);

    job.Resume();
    EXPECT_TRUE(WaitUntil([&] { return packets > held + 3; }));

    job.Pause();
    std::this_thread::sleep_for(30ms);
    {
      TWatchdog dog("Stop(true) on a paused job");
      job.Stop(true);
    }
    // Stop(true) has returned only after the run ended.
    EXPECT_EQ(notices.Count.load(), 1);
    EXPECT_TRUE(job.Terminated());
    EXPECT_FALSE(job.Finished());
    EXPECT_FALSE(job.FatalException());
  }
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST(JobLifecycle, PauseDoesNotApplyToASynchronousRun) {
  TTestJob job;
  job.SetFileCounts(1, 1);
  int packets = 0;
  job.TranscodeStep = [&](TCustomFFmpeg& AJob) {
    AJob.Pause(); // would hold the only thread for good
    while (AJob.CheckPauseAndStop() && packets < 3) ++packets;
  };
  TWatchdog dog("pause inside a synchronous run");
  job.StartConvert(false);
  EXPECT_EQ(packets, 3);
  EXPECT_TRUE(job.Finished());
}

TEST(JobLifecycle, StopRightAfterStartWaitsForTheRun) {
  // The run ignores the stop for a while; Stop(true) must still wait for it,
  // even when it comes before the worker thread got going.
  for (int round = 0; round < 20; ++round) {
    TNotices notices;
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    std::atomic<bool> ended{false};
    job.TranscodeStep = [&](TCustomFFmpeg& AJob) {
      WaitUntil([&] { return AJob.StopRequested(); });
      std::this_thread::sleep_for(round == 0 ? 100ms : 1ms);
      ended = true;
    };
    ASSERT_TRUE(job.StartConvert(true));
    job.Stop(true);
    ASSERT_TRUE(ended);
    ASSERT_EQ(notices.Count.load(), 1);
    ASSERT_TRUE(job.Terminated());
    ASSERT_FALSE(job.Converting());
    // The step returned normally, but after a stop request: not finished.
    ASSERT_FALSE(job.Finished());
  }
}

TEST(JobLifecycle, StopFromInsideTheJobsOwnEventDoesNotWait) {
  for (bool threaded : {false, true}) {
    SCOPED_TRACE(threaded ? "threaded" : "synchronous");
    TNotices notices;
    std::atomic<int> progress{0};
    std::atomic<bool> stopReturned{false};
    {
      TTestJob job;
      job.SetFileCounts(1, 1);
      notices.Attach(job);
      job.TranscodeStep = PacketLoop(1000);
      job.OnProgress = [&](TCustomFFmpeg* ASender, const TJobProgress&) {
        if (++progress == 3) {
          ASender->Stop(true);
          stopReturned = true;
        }
      };
      TWatchdog dog("Stop(true) inside OnProgress");
      job.StartConvert(threaded);
      ASSERT_TRUE(WaitUntil([&] { return job.Terminated(); }));
      EXPECT_TRUE(stopReturned);
      EXPECT_EQ(progress.load(), 3); // the loop saw the stop at its next check
      EXPECT_FALSE(job.Finished());
    }
    EXPECT_EQ(notices.Count.load(), 1);
  }
}

TEST(JobLifecycle, StopOrTerminateFromInsideOnTerminateDoesNotWait) {
  TNotices notices;
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    job.TranscodeStep = PacketLoop(2);
    job.OnTerminate = [&](TCustomFFmpeg* ASender) {
      ASender->StopOrTerminate(true);
      ASender->Stop(true);
      ++notices.Count;
    };
    TWatchdog dog("StopOrTerminate(true) inside OnTerminate");
    ASSERT_TRUE(job.StartConvert(true));
    ASSERT_TRUE(WaitUntil([&] { return notices.Count == 1; }));
  }
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST(JobLifecycle, MainThreadKeepsServingTheWorkerWhileItWaits) {
  // The worker hands each progress report to the main thread and waits for
  // it; the main thread meanwhile waits in Stop(true).
  THeadlessDispatcher dispatcher;
  TNotices notices;
  std::atomic<int> onMain{0};
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    job.TranscodeStep = PacketLoop(1000000);
    job.OnProgress = [&](TCustomFFmpeg* ASender, const TJobProgress&) {
      RunInMainThread([&] {
        TCustomFFmpeg::TJobEventScope scope(*ASender);
        EXPECT_TRUE(IsMainThread());
        ++onMain;
      });
    };
    ASSERT_TRUE(job.StartConvert(true));
    ASSERT_TRUE(dispatcher.ProcessUntil([&] { return onMain >= 2; }, 5000ms));
    TWatchdog dog("Stop(true) on the main thread while the worker waits for it");
    job.Stop(true);
    EXPECT_EQ(notices.Count.load(), 1);
  }
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST(JobLifecycle, StopFromAnEventRunOnTheMainThreadDoesNotWait) {
  THeadlessDispatcher dispatcher;
  TNotices notices;
  std::atomic<int> onMain{0};
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    job.TranscodeStep = PacketLoop(1000000);
    job.OnProgress = [&](TCustomFFmpeg* ASender, const TJobProgress&) {
      RunInMainThread([&] {
        TCustomFFmpeg::TJobEventScope scope(*ASender);
        if (++onMain == 2) ASender->Stop(true); // e.g. a cancel button handled there
      });
    };
    TWatchdog dog("Stop(true) inside an event moved to the main thread");
    ASSERT_TRUE(job.StartConvert(true));
    ASSERT_TRUE(dispatcher.ProcessUntil([&] { return notices.Count == 1; }, 5000ms));
    EXPECT_EQ(onMain.load(), 2);
    EXPECT_FALSE(job.Finished());
  }
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST(JobLifecycle, AnExceptionOfTheStepEndsTheJobWithItsMessage) {
  struct TCase {
    const char* Name;
    std::function<void()> Throw;
    const char* Message;
  } cases[] = {
      {"FFmpegException", [] { RaiseFFmpeg("Could not open codec for output stream #%d.%d", 0, 1); },
       "Could not open codec for output stream #0.1"},
      {"std::bad_alloc", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
      {"not a std::exception", [] { throw 42; }, "Unknown exception"},
  };
  for (auto& c : cases) {
    for (bool threaded : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (threaded ? " threaded" : " synchronous"));
      TLogCapture log;
      TNotices notices;
      {
        TTestJob job;
        job.SetFileCounts(1, 1);
        notices.Attach(job);
        job.TranscodeStep = [&](TCustomFFmpeg&) { c.Throw(); };
        job.StartConvert(threaded);
        job.Stop(true);
        EXPECT_TRUE(job.Terminated());
        EXPECT_TRUE(job.FatalException());
        EXPECT_EQ(job.FatalMessage(), c.Message);
        EXPECT_FALSE(job.Finished());
      }
      EXPECT_EQ(notices.Count.load(), 1);
      EXPECT_EQ(log.CountOf(llQuiet, c.Message), 1);
    }
  }
}

TEST(JobLifecycle, AJobWithoutTranscodeStepFails) {
  TNotices notices;
  TTestJob job;
  job.SetFileCounts(1, 1);
  notices.Attach(job);
  job.StartConvert(false);
  EXPECT_TRUE(job.FatalException());
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST(JobLifecycle, AJobThatNeverRanGetsItsNoticeFromStopOrTerminate) {
  TNotices notices;
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    job.StopOrTerminate(true);
    EXPECT_EQ(notices.Count.load(), 1);
    EXPECT_NE(notices.ThreadID.load(), CurrentThreadID()); // on the job's termination thread
    EXPECT_TRUE(job.Terminated());
    EXPECT_FALSE(job.Converting());
    EXPECT_FALSE(job.Finished());
    EXPECT_FALSE(job.FatalException());

    job.TranscodeStep = PacketLoop(1);
    EXPECT_FALSE(job.StartConvert(true));
    job.StopOrTerminate(true);
    job.Stop(true);
  }
  EXPECT_EQ(notices.Count.load(), 1);
}

TEST(JobLifecycle, DestroyingAJobRightAfterStopOrTerminateWaitsForTheNotice) {
  TNotices notices;
  for (int round = 0; round < 20; ++round) {
    auto job = std::make_unique<TTestJob>();
    notices.Attach(*job);
    job->StopOrTerminate(false);
    job.reset();
    ASSERT_EQ(notices.Count.load(), round + 1);
  }
}

TEST(JobLifecycle, DestroyingARunningJobStopsAndJoinsIt) {
  TNotices notices;
  std::atomic<int> packets{0};
  {
    TTestJob job;
    job.SetFileCounts(1, 1);
    notices.Attach(job);
    job.TranscodeStep = PacketLoop(1000000, &packets);
    ASSERT_TRUE(job.StartConvert(true, tpLower));
    ASSERT_TRUE(WaitUntil([&] { return packets > 2; }));
  }
  EXPECT_EQ(notices.Count.load(), 1);
  EXPECT_FALSE(notices.FinishedSeen);
}

TEST(JobLifecycle, ManyJobsRunAtOnce) {
  TNotices notices;
  {
    std::vector<std::unique_ptr<TTestJob>> jobs;
    for (int i = 0; i < 8; ++i) {
      jobs.push_back(std::make_unique<TTestJob>());
      jobs.back()->SetFileCounts(1, 1);
      jobs.back()->TranscodeStep = PacketLoop(20);
      notices.Attach(*jobs.back());
    }
    for (auto& j : jobs) ASSERT_TRUE(j->StartConvert(true));
    jobs[3]->Pause();
    jobs[5]->Stop(false);
    jobs[6]->StopOrTerminate(false);
    for (auto& j : jobs) j->Stop(true);
  }
  EXPECT_EQ(notices.Count.load(), 8);
}
