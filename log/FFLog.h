// The process-wide log sink.
//
// Library lines (delivered by the libraries in fragments, from any thread)
// and the components' own messages reach one OnLog event, by default on the
// main thread. Lines are assembled under a lock and delivered after it is
// released, so a library thread never blocks on the main thread while
// holding it; lines reach OnLog in the order they were completed.
//
// Delivery: every line (library or own message) goes into one process-wide
// queue, in completion order. With TriggerEventInMainThread a thread other
// than the main thread only posts a drain request to the main thread and
// returns at once (it never waits for the GUI); the main thread, or any thread
// when TriggerEventInMainThread is off (or no main-thread dispatcher exists),
// drains the queue itself. One thread drains at a time, so OnLog calls never
// overlap and keep the queue order; a line logged from inside OnLog is queued
// like any other and delivered after the current call has returned. Sender is
// an identity only: the line may be delivered after the sender is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <fmt/printf.h>

#include "util/FFBaseComponent.h"

enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

struct TLogInfo {
  void* Sender = nullptr;
  uint32_t ThreadID = 0;
  TLogLevel LogLevel = llInfo;
  std::string LogMsg;
};

using TLogEvent =
    std::function<void(void* ASender, uint32_t AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg)>;

int LibraryLevelOf(TLogLevel ALevel);    // 8 * ordinal - 8
TLogLevel LogLevelOfLibrary(int ALevel); // clamp(v / 8 + 1, 0, 7)

class TFFLogger : public TFFBaseComponent {
public:
  // Throws std::runtime_error("Allow creating only one instance of
  // TFFLogger.") when a user-created instance already exists.
  explicit TFFLogger(TFFBaseComponent* AOwner = nullptr);
  ~TFFLogger() override;

  bool TriggerEventInMainThread = true;
  // Set before logging starts. Must not throw: an exception thrown by it is
  // dropped (it may run under a library call).
  TLogEvent OnLog;

  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel ALevel);
  // The "loglevel" option: a level name (any case) or an integer library
  // level. Throws std::invalid_argument for anything else.
  void OptLogLevel(const std::string& AArg);

  void Log(void* ASender, TLogLevel ALogLevel, const std::string& ALogMsg);
  template <typename... Args>
  void Log(void* ASender, TLogLevel ALogLevel, const char* AFormat, const Args&... AArgs) {
    Log(ASender, ALogLevel, std::string(fmt::sprintf(AFormat, AArgs...)));
  }

  // Installs the library callback (avutil must be loaded) and applies the level.
  void InstallAVLogCallback();

  bool AutoCreated() const { return FAutoCreated; }

  // Delivers every queued line now. On the main thread (or without
  // TriggerEventInMainThread) it drains on the calling thread; elsewhere it
  // waits until the main thread has drained. Does nothing when called from
  // inside OnLog.
  void Flush();

private:
  friend TFFLogger& Logger();
  TFFLogger(TFFBaseComponent* AOwner, bool AAutoCreated);
  void ApplyLogLevel();
  bool FAutoCreated = false;
  std::atomic<TLogLevel> FLogLevel{llInfo};
};

// The sink; created without owner on first use when the application placed none.
TFFLogger& Logger();
// Has the sink been created (without creating it)?
bool LoggerExists();
