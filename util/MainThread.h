// Running work on the main thread.
//
// The application (Qt) and the command line / tests (a headless loop) each
// provide a dispatcher. RunInMainThread runs a call on the main thread and
// waits for it; on the main thread it runs the call directly. An exception
// thrown by the call is passed back to the caller.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class IMainThreadDispatcher {
public:
  virtual ~IMainThreadDispatcher() = default;
  // Queue a call for the main thread; returns at once.
  virtual void Post(std::function<void()> ACall) = 0;
  // Run every queued call (main thread only).
  virtual void RunPending() = 0;
  virtual bool IsMainThread() const = 0;
};

// The dispatcher in force (null when none was installed: then the calling
// thread counts as the main thread and calls run directly).
IMainThreadDispatcher* MainThreadDispatcher();
void SetMainThreadDispatcher(IMainThreadDispatcher* ADispatcher);

bool IsMainThread();
void RunInMainThread(const std::function<void()>& ACall);
// Queue without waiting (runs directly when there is no dispatcher).
void PostToMainThread(std::function<void()> ACall);
// Keeps the main thread servicing queued calls while it waits for APred.
// Off the main thread it just sleeps in short steps.
void WaitPumping(const std::function<bool()>& APred);
// Same with a time limit; returns APred() at the end.
bool WaitPumpingFor(const std::function<bool()>& APred, std::chrono::milliseconds ATimeout);

// A dispatcher for programs without windows: the thread that creates it is
// the main thread; it runs queued calls whenever RunPending, ProcessFor or
// Wait is called.
class THeadlessDispatcher : public IMainThreadDispatcher {
public:
  THeadlessDispatcher();
  ~THeadlessDispatcher() override;
  void Post(std::function<void()> ACall) override;
  void RunPending() override;
  bool IsMainThread() const override;
  // Run queued calls for a while (main thread only).
  void ProcessFor(std::chrono::milliseconds ADuration);
  // Run queued calls until APred is true or the time is up.
  bool ProcessUntil(const std::function<bool()>& APred, std::chrono::milliseconds ATimeout);

private:
  std::thread::id FMainId;
  std::mutex FLock;
  std::condition_variable FCond;
  std::deque<std::function<void()>> FQueue;
  IMainThreadDispatcher* FPrevious = nullptr;
};
