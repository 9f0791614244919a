#include "engine/FFmpeg.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "medialib/UnicodeProtocol.h"
#include "util/MainThread.h"

namespace {

int64_t MonotonicMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The jobs whose events the current thread is running, innermost last.
thread_local std::vector<const TCustomFFmpeg*> GEventJobs;

bool LibrariesLoaded() {
  return FFLoader().Loaded(TLibraries{avUtil, avCodec, avFormat});
}

// Lower priorities become a higher nice value of the thread; raising needs
// privileges and is left alone.
void ApplyPriority(TThreadPriority APriority) {
  int nice = 0;
  switch (APriority) {
  case tpIdle:
    nice = 19;
    break;
  case tpLowest:
    nice = 10;
    break;
  case tpLower:
    nice = 5;
    break;
  default:
    return;
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadID()), nice);
}

} // namespace

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

// ---------------------------------------------------------------------------
void TCodecList::Add(const void* ASt, AVCodecContext* ACtx) {
  std::lock_guard lock(CodecLock());
  FItems.push_back({ASt, ACtx});
}

void TCodecList::Remove(const void* ASt) {
  std::lock_guard lock(CodecLock());
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if (it->st == ASt) {
      FItems.erase(std::next(it).base());
      return;
    }
}

void TCodecList::CloseAll(bool AEncoders) {
  std::lock_guard lock(CodecLock());
  while (!FItems.empty()) {
    AVCodecContext* ctx = FItems.back().Ctx;
    FItems.pop_back();
    if (!ctx) continue;
    if (AEncoders) FF.av_freep(&ctx->stats_in);
    FF.avcodec_close(ctx);
  }
}

size_t TCodecList::Count() const {
  std::lock_guard lock(CodecLock());
  return FItems.size();
}

// ---------------------------------------------------------------------------
TCustomFFmpeg::TJobEventScope::TJobEventScope(const TCustomFFmpeg& AJob) {
  GEventJobs.push_back(&AJob);
}

TCustomFFmpeg::TJobEventScope::~TJobEventScope() {
  GEventJobs.pop_back();
}

bool TCustomFFmpeg::InOwnEvent() const {
  if (FRunThreadID.load() == CurrentThreadID()) return true;
  return std::find(GEventJobs.begin(), GEventJobs.end(), this) != GEventJobs.end();
}

// ---------------------------------------------------------------------------
template <typename F> bool TCustomFFmpeg::Protected(F&& ACall) {
  try {
    ACall();
    return true;
  } catch (const std::exception& e) {
    SetFatal(e.what());
  } catch (...) {
    SetFatal("Unknown exception");
  }
  return false;
}

TCustomFFmpeg::TCustomFFmpeg(int AMaxFiles) : TFFBaseComponent(nullptr), FMaxFiles(AMaxFiles) {
  if (AMaxFiles < 1 || AMaxFiles > MaxFilesLimit)
    throw std::out_of_range(fmt::sprintf("Assertion failed: max files %d is outside 1..%d (FFmpeg, line 980)",
                                         AMaxFiles, MaxFilesLimit));
  Finput_files.assign(FMaxFiles, nullptr);
  Finput_files_ts_offset.assign(FMaxFiles, 0);
  Finput_files_ts_scale.assign(FMaxFiles, {});
  Foutput_files.assign(FMaxFiles, nullptr);
  Foutput_streams_for_file.assign(FMaxFiles, {});
  Foutput_created_paths.assign(FMaxFiles, {});
  InitDefaults();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  if (InOwnEvent()) {
    // Destroying the job under its own event or from its own transcode would
    // free it while its run still uses it.
    std::fputs("TCustomFFmpeg destroyed from inside its own event\n", stderr);
    std::abort();
  }
  Stop(false);
  WaitIdle();
  Protected([this] { FreeResources(); });
}

void TCustomFFmpeg::InitDefaults() {
  if (!LibrariesLoaded()) return;
  std::fill(Finput_files.begin(), Finput_files.end(), nullptr);
  std::fill(Finput_files_ts_offset.begin(), Finput_files_ts_offset.end(), 0);
  for (auto& s : Finput_files_ts_scale) s.clear();
  std::fill(Foutput_files.begin(), Foutput_files.end(), nullptr);
  for (auto& s : Foutput_streams_for_file) s.clear();
  for (auto& s : Foutput_created_paths) s.clear();
  Fnb_input_files = 0;
  Fnb_output_files = 0;
  FTotalOutputDuration = -1;
  InitOptionState();
}

void TCustomFFmpeg::InitOptionState() {
  // The option vocabulary's defaults are set here.
}

void TCustomFFmpeg::FreeOptionState() {
  // The option vocabulary's buffers, maps and contexts are released here.
}

std::string TCustomFFmpeg::FatalMessage() const {
  std::lock_guard lock(FStateLock);
  return FFatalMessage;
}

void TCustomFFmpeg::SetFatal(const std::string& AMessage) {
  Logger().Log(this, llQuiet, AMessage);
  std::lock_guard lock(FStateLock);
  // The first error is the cause; later ones are usually its consequences.
  if (!FFatalException.exchange(true)) FFatalMessage = AMessage;
}

// ---------------------------------------------------------------------------
bool TCustomFFmpeg::StartConvert(bool AUseThread, TThreadPriority APriority) {
  std::string refusal;
  {
    std::lock_guard lock(FStateLock);
    if (FConverting || FTerminated || FTerminating) return false;
    if (Fnb_output_files <= 0)
      refusal = "At least one output file must be specified";
    else if (Fnb_input_files <= 0)
      refusal = "At least one input file must be specified";
    if (!refusal.empty()) {
      FTerminating = true;
    } else {
      FConverting = true;
      FFinished = false;
      FTerminated = false;
      FRunDone = false;
      {
        std::lock_guard gate(FGateLock);
        FBroken = false;
      }
      if (AUseThread) {
        FThread = std::thread([this, APriority] { ThreadMain(APriority); });
        return true;
      }
    }
  }
  if (!refusal.empty()) {
    Protected([this] { FreeResources(); });
    SetFatal(refusal);
    Protected([this] { DoTerminate(); });
    return false;
  }
  // Synchronous run on the calling thread.
  FRunThreadID = CurrentThreadID();
  RunConvert();
  FRunThreadID = 0;
  FRunDone = true;
  return false;
}

void TCustomFFmpeg::ThreadMain(TThreadPriority APriority) {
  FRunThreadID = CurrentThreadID();
  ApplyPriority(APriority);
  RunConvert();
  FRunThreadID = 0;
  FRunDone = true; // the last touch of the job by this thread
}

void TCustomFFmpeg::Transcode() {
  if (!TranscodeStep) RaiseFFmpeg("No transcode step assigned");
  TranscodeStep(*this);
}

void TCustomFFmpeg::RunConvert() {
  FFinished = false;
  if (Protected([this] { Transcode(); })) FFinished = !FBroken.load();
  Protected([this] { FEncoderList.CloseAll(true); });
  Protected([this] { FDecoderList.CloseAll(false); });
  Protected([this] { FreeResources(); });
  Protected([this] { DoTerminate(); });
}

void TCustomFFmpeg::DoTerminate() {
  if (FNoticeGiven.exchange(true)) return;
  {
    std::lock_guard lock(FStateLock);
    FConverting = false;
    FTerminated = true;
    FTerminating = true;
  }
  if (OnTerminate) RunEvent([this] { OnTerminate(this); });
}

void TCustomFFmpeg::DoProgress(const TJobProgress& AInfo) {
  if (OnProgress) RunEvent([&] { OnProgress(this, AInfo); });
}

// ---------------------------------------------------------------------------
void TCustomFFmpeg::Stop(bool AWaitForStop) {
  {
    std::lock_guard gate(FGateLock);
    FBroken = true;
  }
  FGateCond.notify_all();
  if (!AWaitForStop || InOwnEvent()) return;
  WaitIdle();
}

void TCustomFFmpeg::StopOrTerminate(bool AWaitForStop) {
  {
    std::unique_lock lock(FStateLock);
    if (FConverting) {
      lock.unlock();
      Stop(AWaitForStop);
      return;
    }
    if (!FTerminated && !FTerminating) {
      FTerminating = true;
      FTermDone = false;
      FTermThread = std::thread([this] {
        Protected([this] { DoTerminate(); });
        FTermDone = true; // the last touch of the job by this thread
      });
    }
  }
  if (AWaitForStop && !InOwnEvent()) WaitIdle();
}

void TCustomFFmpeg::WaitIdle() {
  WaitPumping([this] { return FRunDone.load() && FTermDone.load(); });
  JoinThreads();
}

void TCustomFFmpeg::JoinThreads() {
  std::thread worker, term;
  {
    std::lock_guard lock(FStateLock);
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) worker = std::move(FThread);
    if (FTermThread.joinable() && FTermThread.get_id() != std::this_thread::get_id())
      term = std::move(FTermThread);
  }
  if (worker.joinable()) worker.join();
  if (term.joinable()) term.join();
}

void TCustomFFmpeg::Pause() {
  std::lock_guard lock(FStateLock);
  if (!FConverting || !FThread.joinable()) return;
  std::lock_guard gate(FGateLock);
  if (!FBroken) FPaused = true;
}

void TCustomFFmpeg::Resume() {
  {
    std::lock_guard gate(FGateLock);
    FPaused = false;
  }
  FGateCond.notify_all();
}

bool TCustomFFmpeg::CheckPauseAndStop() {
  std::unique_lock gate(FGateLock);
  FGateCond.wait(gate, [this] { return !FPaused || FBroken; });
  return !FBroken;
}

// ---------------------------------------------------------------------------
bool TCustomFFmpeg::ReadTimeoutCallback(void* ASender) {
  auto* job = static_cast<TCustomFFmpeg*>(ASender);
  if (!job) return false;
  if (job->FBroken) {
    int none = irNone;
    job->FInterruptReason.compare_exchange_strong(none, irCanceled);
    return true;
  }
  int timeout = job->FReadTimeout.load();
  int64_t start = job->FLastRead.load();
  if (timeout <= 0 || start == NotReading) return false;
  if (MonotonicMicroseconds() - start <= int64_t(timeout) * 1000) return false;
  int none = irNone;
  job->FInterruptReason.compare_exchange_strong(none, irTimeout);
  return true;
}

bool TCustomFFmpeg::BrokenCallback(void* ASender) {
  auto* job = static_cast<TCustomFFmpeg*>(ASender);
  return job && job->FBroken.load();
}

TCustomFFmpeg::TReadTimeoutGuard::TReadTimeoutGuard(TCustomFFmpeg& AJob)
    : FJob(AJob), FThreadID(CurrentThreadID()) {
  FJob.FLastRead = NotReading;
  FJob.FInterruptReason = irNone;
  InterruptCB().Add(FThreadID, &FJob, &TCustomFFmpeg::ReadTimeoutCallback);
  FJob.FLastRead = MonotonicMicroseconds();
}

void TCustomFFmpeg::TReadTimeoutGuard::Restart() {
  FJob.FLastRead = MonotonicMicroseconds();
}

TCustomFFmpeg::TReadTimeoutGuard::~TReadTimeoutGuard() {
  FJob.FLastRead = NotReading;
  InterruptCB().Remove(FThreadID, &FJob, &TCustomFFmpeg::ReadTimeoutCallback);
  // Logged here rather than in the callback, which runs under the
  // registry's lock.
  switch (FJob.FInterruptReason.exchange(irNone)) {
  case irTimeout:
    Logger().Log(&FJob, llInfo, "connecting/reading/writing timeout");
    break;
  case irCanceled:
    Logger().Log(&FJob, llInfo, "connecting/reading/writing canceled");
    break;
  default:
    break;
  }
}

TCustomFFmpeg::TBrokenGuard::TBrokenGuard(TCustomFFmpeg& AJob) : FJob(AJob), FThreadID(CurrentThreadID()) {
  InterruptCB().Add(FThreadID, &FJob, &TCustomFFmpeg::BrokenCallback);
}

TCustomFFmpeg::TBrokenGuard::~TBrokenGuard() {
  InterruptCB().Remove(FThreadID, &FJob, &TCustomFFmpeg::BrokenCallback);
}

int TCustomFFmpeg::OpenInputWithTimeout(AVFormatContext** ACtx, const std::string& AFileName,
                                        const AVInputFormat* AFormat, AVDictionary** AOptions) {
  TReadTimeoutGuard guard(*this);
  return FFOpenInput(ACtx, AFileName, AFormat, AOptions);
}

// ---------------------------------------------------------------------------
void TCustomFFmpeg::AddEncoder(const TAVOutputStream* ASt, AVCodecContext* ACtx) {
  FEncoderList.Add(ASt, ACtx);
}
void TCustomFFmpeg::RemoveEncoder(const TAVOutputStream* ASt) {
  FEncoderList.Remove(ASt);
}
void TCustomFFmpeg::AddDecoder(const TAVInputStream* ASt, AVCodecContext* ACtx) {
  FDecoderList.Add(ASt, ACtx);
}
void TCustomFFmpeg::RemoveDecoder(const TAVInputStream* ASt) {
  FDecoderList.Remove(ASt);
}

void TCustomFFmpeg::FreeResources() {
  if (!LibrariesLoaded()) return;

  FreeStreamRecords();
  // Outputs. Several entries may share one context (a joined output): each
  // context is released once.
  std::vector<AVFormatContext*> freed;
  for (int i = 0; i < FMaxFiles; ++i) {
    AVFormatContext* oc = Foutput_files[i];
    Foutput_files[i] = nullptr;
    if (oc && std::find(freed.begin(), freed.end(), oc) == freed.end()) {
      freed.push_back(oc);
      bool writesFile = !(oc->oformat && (oc->oformat->flags & AVFMT_NOFILE));
      if (writesFile) FFCloseOutputIO(oc);
      FF.avformat_free_context(oc);
    }
    // Only a regular file this job created, by the path it stored, and only
    // while it is still empty.
    const std::string& created = Foutput_created_paths[i];
    struct stat st {};
    if (!created.empty() && lstat(created.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
      unlink(created.c_str());
    Foutput_created_paths[i].clear();
    Foutput_streams_for_file[i].clear();
  }
  Fnb_output_files = 0;

  for (int i = 0; i < FMaxFiles; ++i) {
    if (Finput_files[i]) FFCloseInput(&Finput_files[i]);
    Finput_files[i] = nullptr;
    Finput_files_ts_scale[i].clear();
  }
  Fnb_input_files = 0;

  FreeOptionState();
}
