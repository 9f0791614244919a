// Shared by the log sink tests: records what reaches OnLog.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/FFLog.h"
#include "medialib/FFLoad.h"

struct TCapturedLine {
  void* Sender;
  uint32_t ThreadID;
  TLogLevel Level;
  std::string Msg;
  std::thread::id DeliveredOn;
};

class TLogCapture {
public:
  void Attach(TFFLogger& ALogger) {
    ALogger.OnLog = [this](void* ASender, uint32_t AThreadID, TLogLevel ALevel, const std::string& AMsg) {
      std::lock_guard lock(FLock);
      FLines.push_back({ASender, AThreadID, ALevel, AMsg, std::this_thread::get_id()});
    };
  }
  std::vector<TCapturedLine> Lines() const {
    std::lock_guard lock(FLock);
    return FLines;
  }
  std::vector<std::string> Msgs() const {
    std::lock_guard lock(FLock);
    std::vector<std::string> out;
    for (auto& l : FLines) out.push_back(l.Msg);
    return out;
  }
  size_t Count() const {
    std::lock_guard lock(FLock);
    return FLines.size();
  }
  void Clear() {
    std::lock_guard lock(FLock);
    FLines.clear();
  }

private:
  mutable std::mutex FLock;
  std::vector<TCapturedLine> FLines;
};

inline bool LoadTestLibraries() {
  return FFLoader().Load(TLibraries{avUtil, avCodec, avFormat, swResample});
}

// The text the C runtime gives a pointer.
inline std::string PtrText(const void* APtr) {
  char buf[64];
  snprintf(buf, sizeof buf, "%p", APtr);
  return buf;
}

// Ends the process when a test body does not finish in time (a deadlock
// would otherwise hang the run).
class TDeadlockGuard {
public:
  explicit TDeadlockGuard(std::chrono::seconds ALimit) {
    FThread = std::thread([this, ALimit] {
      std::unique_lock lock(FLock);
      if (!FCond.wait_for(lock, ALimit, [this] { return FDone; })) {
        fprintf(stderr, "deadlock: the test did not finish within %d s\n", int(ALimit.count()));
        std::_Exit(3);
      }
    });
  }
  ~TDeadlockGuard() {
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
