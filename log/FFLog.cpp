#include "log/FFLog.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "medialib/FFLoad.h"
#include "util/FFApi.h"
#include "util/MainThread.h"

namespace {

const char* const KOneInstance = "Allow creating only one instance of TFFLogger.";
const char* const KRepeated = "    Last message repeated %d times";
// Room for prefix and message; longer messages are formatted on the heap.
constexpr size_t KLineBufferSize = 2048;

struct TLogState {
  // Line assembly, guarded by AsmLock.
  std::mutex AsmLock;
  std::map<uint32_t, std::string> Pending; // thread id -> part of a line received so far
  std::string Previous;                    // previous complete text
  uint32_t PreviousThread = 0;             // the thread that logged it
  int RepeatCount = 0;
  // The library's current numeric level.
  std::atomic<int> LibLevel{AV_LOG_INFO};

  // Serialises creating and replacing the instance.
  std::mutex CreateLock;
  // The instance and the delivery queue, guarded by Lock (taken after
  // AsmLock when both are needed, never the other way round).
  std::mutex Lock;
  std::condition_variable DrainEnded;
  std::atomic<TFFLogger*> Instance{nullptr};
  std::deque<TLogInfo> Queue;
  bool Draining = false;
  std::thread::id Drainer;
  bool DrainPosted = false;
};

// Created at start-up and never freed: a library thread may still be inside
// the callback while the process ends.
TLogState& State() {
  static TLogState* state = new TLogState;
  return *state;
}
[[maybe_unused]] TLogState& GStartUpState = State();

std::string CFormat(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string CFormat(const char* AFormat, ...) {
  va_list ap;
  va_start(ap, AFormat);
  char buf[256];
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(buf, sizeof buf, AFormat, ap2);
  va_end(ap2);
  std::string out;
  if (n >= 0 && size_t(n) < sizeof buf) {
    out.assign(buf, n);
  } else if (n >= 0) {
    out.resize(size_t(n) + 1);
    vsnprintf(out.data(), out.size(), AFormat, ap);
    out.resize(size_t(n));
  }
  va_end(ap);
  return out;
}

// Formats the message after the prefix already in AOut. The va_list is
// copied for every attempt (it cannot be walked twice).
void AppendFormatted(std::string& AOut, const char* AFormat, va_list AArgs) {
  char buf[KLineBufferSize];
  size_t room = AOut.size() < KLineBufferSize - 1 ? KLineBufferSize - AOut.size() : 1;
  va_list ap;
  va_copy(ap, AArgs);
  int n = vsnprintf(buf, room, AFormat, ap);
  va_end(ap);
  if (n < 0) return;
  if (size_t(n) < room) {
    AOut.append(buf, size_t(n));
    return;
  }
  std::string whole(size_t(n) + 1, '\0');
  va_copy(ap, AArgs);
  n = vsnprintf(whole.data(), whole.size(), AFormat, ap);
  va_end(ap);
  if (n < 0) return;
  whole.resize(std::min(size_t(n), whole.size() - 1));
  AOut += whole;
}

const char* ItemName(const AVClass* AClass, void* AObject) {
  const char* name = AClass->item_name ? AClass->item_name(AObject) : AClass->class_name;
  return name ? name : "(null)";
}

// "[parent @ pointer] " when the object names a parent context, then
// "[object @ pointer]" (no blank after it).
std::string Prefix(void* AObject) {
  auto avc = *static_cast<const AVClass* const*>(AObject);
  if (!avc) return {};
  std::string out;
  if (avc->version >= ((50 << 16) | (15 << 8) | 2) && avc->parent_log_context_offset) {
    auto parent =
        *reinterpret_cast<AVClass***>(static_cast<uint8_t*>(AObject) + avc->parent_log_context_offset);
    if (parent && *parent) out = CFormat("[%s @ %p] ", ItemName(*parent, parent), static_cast<void*>(parent));
  }
  out += CFormat("[%s @ %p]", ItemName(avc, AObject), AObject);
  return out;
}

// Delivers the queued lines in order on this thread. Only one thread drains
// at a time; a call while another drain runs (also a nested one from inside
// OnLog) returns at once, the running drain picks the lines up.
void DrainQueue() {
  auto& s = State();
  {
    std::lock_guard lock(s.Lock);
    if (s.Draining) return;
    s.Draining = true;
    s.Drainer = std::this_thread::get_id();
  }
  for (;;) {
    TLogInfo item;
    TLogEvent handler;
    {
      std::lock_guard lock(s.Lock);
      if (s.Queue.empty()) {
        s.Draining = false;
        s.Drainer = {};
        s.DrainEnded.notify_all();
        return;
      }
      item = std::move(s.Queue.front());
      s.Queue.pop_front();
      if (auto inst = s.Instance.load()) handler = inst->OnLog;
    }
    if (!handler) continue;
    // A handler must not throw; if it does, the line is lost but the sink
    // keeps working (this may run under a library call).
    try {
      handler(item.Sender, item.ThreadID, item.LogLevel, item.LogMsg);
    } catch (...) {
    }
  }
}

void PostDrain() {
  auto& s = State();
  {
    std::lock_guard lock(s.Lock);
    if (s.DrainPosted) return;
    s.DrainPosted = true;
  }
  PostToMainThread([] {
    {
      std::lock_guard lock(State().Lock);
      State().DrainPosted = false;
    }
    DrainQueue();
  });
}

// After lines were queued (no lock held): the main thread, or any thread
// when AInMainThread is off, drains now; another thread only posts a drain
// request to the main thread and never waits for it.
void DeliverQueued(bool AInMainThread) {
  if (AInMainThread && !IsMainThread())
    PostDrain();
  else
    DrainQueue();
}

void AVLogCallback(void* AObject, int ALevel, const char* AFormat, va_list AArgs) {
  if (ALevel >= 0) ALevel &= 0xff; // strip the colour bits
  auto& s = State();
  if (ALevel > s.LibLevel.load() || !AFormat) return;
  try {
    uint32_t tid = CurrentThreadID();
    bool queued = false, inMainThread = true;
    {
      std::lock_guard lock(s.AsmLock);
      auto found = s.Pending.find(tid);
      bool hasPending = found != s.Pending.end() && !found->second.empty();
      std::string text;
      if (AObject && !hasPending) text = Prefix(AObject);
      AppendFormatted(text, AFormat, AArgs);

      std::vector<std::string> lines;
      // A repeat is the same whole line again from the same thread: a
      // fragment that completes another thread's line is never swallowed.
      if (!hasPending && tid == s.PreviousThread && !text.empty() && text.back() == '\n' &&
          text == s.Previous) {
        ++s.RepeatCount;
        return;
      }
      if (s.RepeatCount > 0) {
        lines.push_back(fmt::sprintf(KRepeated, s.RepeatCount));
        s.RepeatCount = 0;
      }
      s.Previous = text;
      s.PreviousThread = tid;

      std::string& pending = s.Pending[tid];
      pending += text;
      size_t start = 0, lf;
      while ((lf = pending.find('\n', start)) != std::string::npos) {
        lines.push_back(pending.substr(start, lf - start));
        start = lf + 1;
      }
      pending.erase(0, start);
      // Threads come and go: keep an entry only while it holds a partial line.
      if (pending.empty()) s.Pending.erase(tid);

      if (!lines.empty()) {
        std::lock_guard qlock(s.Lock);
        auto inst = s.Instance.load();
        if (inst && inst->OnLog) {
          TLogLevel level = LogLevelOfLibrary(ALevel);
          for (auto& line : lines) s.Queue.push_back(TLogInfo{inst, tid, level, std::move(line)});
          queued = true;
          inMainThread = inst->TriggerEventInMainThread;
        }
      }
    }
    if (queued) DeliverQueued(inMainThread);
  } catch (...) {
    // Nothing may leave a library callback.
  }
}

void ResetLibraryCallback() {
  if (FF.av_log_set_callback && FF.av_log_default_callback)
    FF.av_log_set_callback(FF.av_log_default_callback);
}

// Process end: give the library its own callback back first, then free an
// auto-created logger and the pending parts of lines. The state itself
// stays (see State()).
struct TUnitEnd {
  ~TUnitEnd() {
    auto& s = State();
    ResetLibraryCallback();
    if (auto inst = s.Instance.load(); inst && inst->AutoCreated()) delete inst;
    std::lock_guard lock(s.AsmLock);
    s.Pending.clear();
    s.Previous.clear();
    s.RepeatCount = 0;
  }
} GUnitEnd;

} // namespace

int LibraryLevelOf(TLogLevel ALevel) {
  return 8 * int(ALevel) - 8;
}

TLogLevel LogLevelOfLibrary(int ALevel) {
  return TLogLevel(std::clamp(ALevel / 8 + 1, 0, 7));
}

TFFLogger::TFFLogger(TFFBaseComponent* AOwner) : TFFLogger(AOwner, false) {}

TFFLogger::TFFLogger(TFFBaseComponent* AOwner, bool AAutoCreated)
    : TFFBaseComponent(AOwner), FAutoCreated(AAutoCreated) {
  auto& s = State();
  {
    // Logger() holds CreateLock while it creates the auto-created one.
    std::unique_lock create(s.CreateLock, std::defer_lock);
    if (!AAutoCreated) create.lock();
    if (auto current = s.Instance.load()) {
      if (!current->FAutoCreated) throw std::runtime_error(KOneInstance);
      delete current;
    }
    FLogLevel = LogLevelOfLibrary(s.LibLevel.load());
    std::lock_guard lock(s.Lock);
    s.Instance = this;
  }
  // The loader installs the callback whenever the utility library gets
  // loaded; when it is loaded already, install now.
  FFLoader().SetLogInstaller([] { Logger().InstallAVLogCallback(); });
  if (FF.av_log_set_callback && FF.av_log_set_level && FFLoader().InstallLogger) InstallAVLogCallback();
}

TFFLogger::~TFFLogger() {
  auto& s = State();
  if (s.Instance.load() != this) return;
  ResetLibraryCallback();
  std::unique_lock lock(s.Lock);
  s.Instance = nullptr;
  s.Queue.clear();
  // Let a delivery running on another thread finish before the handler's
  // owner goes away.
  s.DrainEnded.wait(lock, [&] { return !s.Draining || s.Drainer == std::this_thread::get_id(); });
}

TLogLevel TFFLogger::LogLevel() const {
  return FLogLevel.load();
}

void TFFLogger::SetLogLevel(TLogLevel ALevel) {
  if (FLogLevel.exchange(ALevel) != ALevel) ApplyLogLevel();
}

void TFFLogger::ApplyLogLevel() {
  int level = LibraryLevelOf(FLogLevel.load());
  State().LibLevel = level;
  if (FF.av_log_set_level) FF.av_log_set_level(level);
}

void TFFLogger::OptLogLevel(const std::string& AArg) {
  static const std::pair<const char*, int> names[] = {{"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC},
                                                      {"fatal", AV_LOG_FATAL},     {"error", AV_LOG_ERROR},
                                                      {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
                                                      {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG}};
  std::string lower = AArg;
  for (auto& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (auto& [name, level] : names) {
    if (lower == name) {
      SetLogLevel(LogLevelOfLibrary(level));
      return;
    }
  }
  int level = 0;
  try {
    size_t used = 0;
    level = std::stoi(AArg, &used, 10);
    if (used != AArg.size()) throw std::invalid_argument(AArg);
  } catch (const std::logic_error&) {
    throw std::invalid_argument(fmt::sprintf("'%s' is not a valid integer value", AArg));
  }
  SetLogLevel(LogLevelOfLibrary(level));
}

void TFFLogger::Log(void* ASender, TLogLevel ALogLevel, const std::string& ALogMsg) {
  if (!OnLog) return;
  TLogLevel current = FLogLevel.load();
  if (!(ALogLevel <= current || (ALogLevel == llVerbose && current != llQuiet))) return;
  TLogInfo info{ASender, CurrentThreadID(), ALogLevel, ALogMsg};
  bool inMainThread;
  {
    auto& s = State();
    std::lock_guard lock(s.Lock);
    s.Queue.push_back(std::move(info));
    inMainThread = TriggerEventInMainThread;
  }
  DeliverQueued(inMainThread);
}

void TFFLogger::InstallAVLogCallback() {
  if (!FF.av_log_set_callback || !FF.av_log_set_level)
    throw std::logic_error("TFFLogger::InstallAVLogCallback: the utility library is not loaded");
  FF.av_log_set_callback(AVLogCallback);
  ApplyLogLevel();
}

void TFFLogger::Flush() {
  if (TriggerEventInMainThread && !IsMainThread())
    RunInMainThread([] { DrainQueue(); });
  else
    DrainQueue();
}

TFFLogger& Logger() {
  auto& s = State();
  if (auto inst = s.Instance.load()) return *inst;
  std::lock_guard create(s.CreateLock);
  if (auto inst = s.Instance.load()) return *inst;
  return *new TFFLogger(nullptr, true);
}

bool LoggerExists() {
  return State().Instance.load() != nullptr;
}
