// Shared by the job lifecycle tests: a job with a settable file count, a
// termination counter, a log capture and a watchdog against hangs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFmpeg.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"

namespace lifecycle {

using namespace std::chrono_literals;

class TTestJob : public TCustomFFmpeg {
public:
  explicit TTestJob(int AMaxFiles = 4) : TCustomFFmpeg(AMaxFiles) {}
  // Pretends that inputs and outputs were opened, so that a start is accepted.
  void SetFileCounts(int AInputs, int AOutputs) {
    Fnb_input_files = AInputs;
    Fnb_output_files = AOutputs;
  }
  // Registers an opened output as output file AIndex.
  void PutOutput(int AIndex, AVFormatContext* ACtx, const std::string& ACreatedPath) {
    Foutput_files[AIndex] = ACtx;
    Foutput_created_paths[AIndex] = ACreatedPath;
    Fnb_output_files = std::max(Fnb_output_files.load(), AIndex + 1);
  }
  using TCustomFFmpeg::AddEncoder;
};

// Counts the termination notices of jobs; outlives them.
struct TNotices {
  std::atomic<int> Count{0};
  std::atomic<uint32_t> ThreadID{0};
  std::atomic<bool> FinishedSeen{false};
  void Attach(TCustomFFmpeg& AJob) {
    AJob.OnTerminate = [this, job = &AJob](TCustomFFmpeg* ASender) {
      EXPECT_EQ(ASender, job);
      ThreadID = CurrentThreadID();
      FinishedSeen = ASender->Finished();
      ++Count;
    };
  }
};

// Collects the log sink's lines while alive (delivered on the logging thread).
class TLogCapture {
public:
  TLogCapture() {
    Logger().TriggerEventInMainThread = false;
    Logger().SetLogLevel(llInfo);
    Logger().OnLog = [this](void*, uint32_t, TLogLevel ALevel, const std::string& AMsg) {
      std::lock_guard lock(FLock);
      FLines.push_back({ALevel, AMsg});
    };
  }
  ~TLogCapture() { Logger().OnLog = nullptr; }
  int CountOf(TLogLevel ALevel, const std::string& AText) {
    std::lock_guard lock(FLock);
    int n = 0;
    for (auto& l : FLines)
      if (l.first == ALevel && l.second == AText) ++n;
    return n;
  }

private:
  std::mutex FLock;
  std::vector<std::pair<TLogLevel, std::string>> FLines;
};

// Polls APred until it holds or ATimeout passed.
inline bool WaitUntil(const std::function<bool()>& APred, std::chrono::milliseconds ATimeout = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + ATimeout;
  while (!APred()) {
    if (std::chrono::steady_clock::now() > deadline) return APred();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Ends the process with a message when not dismissed in time: a deadlock
// fails loudly instead of hanging the test run.
class TWatchdog {
public:
  explicit TWatchdog(const char* AWhat, std::chrono::seconds ALimit = std::chrono::seconds(20))
      : FThread([this, AWhat, ALimit] {
          std::unique_lock lock(FLock);
          if (!FCond.wait_for(lock, ALimit, [this] { return FDone; })) {
            std::fprintf(stderr, "watchdog: %s did not finish (deadlock?)\n", AWhat);
            std::abort();
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard lock(FLock);
      FDone = true;
    }
    FCond.notify_all();
    FThread.join();
  }

private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FDone = false;
  std::thread FThread;
};

inline double MillisecondsSince(std::chrono::steady_clock::time_point AStart) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - AStart).count();
}

} // namespace lifecycle
