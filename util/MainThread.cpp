#include "util/MainThread.h"

#include <atomic>
#include <exception>
#include <memory>

namespace {
std::atomic<IMainThreadDispatcher*> GDispatcher{nullptr};
}

IMainThreadDispatcher* MainThreadDispatcher() {
  return GDispatcher.load();
}
void SetMainThreadDispatcher(IMainThreadDispatcher* ADispatcher) {
  GDispatcher.store(ADispatcher);
}

bool IsMainThread() {
  auto d = GDispatcher.load();
  return !d || d->IsMainThread();
}

void RunInMainThread(const std::function<void()>& ACall) {
  auto d = GDispatcher.load();
  if (!d || d->IsMainThread()) {
    ACall();
    return;
  }
  struct TState {
    std::mutex Lock;
    std::condition_variable Cond;
    bool Done = false;
    std::exception_ptr Error;
  };
  auto state = std::make_shared<TState>();
  d->Post([state, &ACall] {
    std::exception_ptr error;
    try {
      ACall();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(state->Lock);
    state->Error = std::move(error);
    state->Done = true;
    state->Cond.notify_all();
  });
  std::exception_ptr error;
  {
    std::unique_lock lock(state->Lock);
    state->Cond.wait(lock, [&] { return state->Done; });
    // Taken out under the lock: the exception then belongs to this thread alone.
    error = std::move(state->Error);
  }
  if (error) std::rethrow_exception(error);
}

void PostToMainThread(std::function<void()> ACall) {
  auto d = GDispatcher.load();
  if (!d) {
    ACall();
    return;
  }
  d->Post(std::move(ACall));
}

bool WaitPumpingFor(const std::function<bool()>& APred, std::chrono::milliseconds ATimeout) {
  auto deadline = std::chrono::steady_clock::now() + ATimeout;
  while (!APred()) {
    if (std::chrono::steady_clock::now() >= deadline) return APred();
    auto d = GDispatcher.load();
    if (d && d->IsMainThread()) d->RunPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void WaitPumping(const std::function<bool()>& APred) {
  while (!WaitPumpingFor(APred, std::chrono::hours(1))) {
  }
}

THeadlessDispatcher::THeadlessDispatcher() : FMainId(std::this_thread::get_id()) {
  FPrevious = GDispatcher.exchange(this);
}

THeadlessDispatcher::~THeadlessDispatcher() {
  RunPending();
  IMainThreadDispatcher* self = this;
  GDispatcher.compare_exchange_strong(self, FPrevious);
}

void THeadlessDispatcher::Post(std::function<void()> ACall) {
  {
    std::lock_guard lock(FLock);
    FQueue.push_back(std::move(ACall));
  }
  FCond.notify_all();
}

void THeadlessDispatcher::RunPending() {
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(FLock);
      if (FQueue.empty()) return;
      call = std::move(FQueue.front());
      FQueue.pop_front();
    }
    call();
  }
}

bool THeadlessDispatcher::IsMainThread() const {
  return std::this_thread::get_id() == FMainId;
}

void THeadlessDispatcher::ProcessFor(std::chrono::milliseconds ADuration) {
  ProcessUntil([] { return false; }, ADuration);
}

bool THeadlessDispatcher::ProcessUntil(const std::function<bool()>& APred,
                                       std::chrono::milliseconds ATimeout) {
  auto deadline = std::chrono::steady_clock::now() + ATimeout;
  for (;;) {
    RunPending();
    if (APred()) return true;
    std::unique_lock lock(FLock);
    if (std::chrono::steady_clock::now() >= deadline) return false;
    FCond.wait_until(lock,
                     std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5)),
                     [&] { return !FQueue.empty(); });
  }
}
