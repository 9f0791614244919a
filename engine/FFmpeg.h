// One conversion job: TCustomFFmpeg.
//
// This unit holds what surrounds a transcode: construction, starting it on
// the calling thread or on a worker thread owned by the job, stopping,
// pausing, breaking off blocking library I/O, the termination notice and the
// release of everything the job holds.
//
// Lifecycle: Idle -> Converting (StartConvert accepted) -> Terminated
// (DoTerminate ran). A terminated job never starts again. Every job gives
// exactly one OnTerminate notice over its life, whether it ran, was refused
// at the start, failed, was stopped, or never started and was ended with
// StopOrTerminate.
//
// Threads and events:
//  - The owner thread (usually the main thread) creates, starts, stops,
//    pauses and destroys the job. A threaded run happens on a std::thread
//    owned by the job and joined by Stop(true), StopOrTerminate(true) and the
//    destructor; StopOrTerminate on a job that never started runs its
//    termination step on a second job-owned thread, joined the same way.
//  - Every wait done on the main thread keeps running queued main-thread
//    calls (WaitPumping), because the worker may be blocked delivering an
//    event to the main thread.
//  - Events are std::function slots whose first argument is the job. Assign
//    them while the job is idle (before StartConvert) and clear them only
//    after it has terminated; they are not guarded against concurrent change.
//    OnProgress fires on the thread that runs the transcode; OnTerminate
//    fires on that thread too, or on the job's termination thread for a job
//    ended by StopOrTerminate without having run, or on the caller of a
//    refused StartConvert.
//  - Code that runs one of the job's events for it on another thread (e.g.
//    the encoder moving OnProgress to the main thread) wraps the call in a
//    TJobEventScope. A Stop(true) issued from inside the job's own event
//    (on any thread marked so, or on the thread running the transcode) only
//    requests the stop and returns, since waiting there would wait for itself.
//  - A job must not be destroyed from inside its own events.
//  - A subclass that overrides Transcode() calls Stop(true) in its own
//    destructor, so that the run has ended before its part is destroyed.
//
// Pause is a gate: the transcode calls CheckPauseAndStop() between packets
// and waits there while the job is paused; Stop opens the gate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFmpegJobError.h"
#include "util/FFApi.h"
#include "util/FFBaseComponent.h"

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Per-stream records of a transcode (defined with the transcode).
struct TAVInputStream;
struct TAVOutputStream;

// Serialises, across all jobs, every change of the opened-codec lists and
// every closing of their codecs.
std::mutex& CodecLock();

// The codecs a job has opened, newest first. Each entry is keyed by the
// stream record whose codec is open. Every change and CloseAll run under
// CodecLock. The codec contexts stay owned by their stream records: the list
// only closes them.
class TCodecList {
public:
  void Add(const void* ASt, AVCodecContext* ACtx);
  // Removes the first entry for ASt (if any).
  void Remove(const void* ASt);
  // Closes every codec from the newest one and empties the list. For
  // encoders the two-pass statistics buffer is freed before the close.
  void CloseAll(bool AEncoders);
  size_t Count() const;

private:
  struct TCodecItem {
    const void* st;
    AVCodecContext* Ctx;
  };
  std::vector<TCodecItem> FItems; // FItems.back() is the head (newest)
};

// The values of one progress report.
struct TJobProgress {
  int FileIndex = -1; // input file being read; -1 for the last report
  int FrameNumber = -1;
  int FPS = -1;
  float Quality = -1.0f;
  float BitRate = 0.0f;
  int64_t CurrentSize = 0;
  int64_t CurrentDuration = 0; // microseconds
  int64_t TotalDuration = -1;  // microseconds, -1 when unknown
};

class TCustomFFmpeg;
using TJobNotifyEvent = std::function<void(TCustomFFmpeg* ASender)>;
using TJobProgressEvent = std::function<void(TCustomFFmpeg* ASender, const TJobProgress& AInfo)>;
// The transcode body of a job (set-up, packet loop, drain, trailers).
using TTranscodeStep = std::function<void(TCustomFFmpeg& AJob)>;

class TCustomFFmpeg : public TFFBaseComponent {
public:
  static constexpr int MaxFilesLimit = 512;

  // AMaxFiles (1..512) is the capacity of the per-file tables; anything else
  // is a failed assertion (std::out_of_range).
  explicit TCustomFFmpeg(int AMaxFiles);
  // Stops the job and waits for its threads, then frees its resources.
  ~TCustomFFmpeg() override;

  // Starts the conversion. Returns true when a worker thread was started;
  // false when it ran synchronously (it has then ended) or was refused: an
  // already converting or terminated job is refused without effect; a job
  // without output or input file ends at once with FatalException set and
  // its termination notice.
  bool StartConvert(bool AUseThread, TThreadPriority APriority = tpNormal);
  // Requests the end of the conversion (also breaks off a blocking library
  // call of the job); with AWaitForStop, returns once the run has ended and
  // its thread is joined.
  void Stop(bool AWaitForStop);
  // Stop for a converting job; a job that never started gets its
  // termination step (on the job's termination thread) instead.
  void StopOrTerminate(bool AWaitForStop);
  // Pause applies to a threaded conversion only: the transcode waits at its
  // next CheckPauseAndStop until Resume or Stop.
  void Pause();
  void Resume();
  bool Paused() const { return FPaused.load(); }

  bool Converting() const { return FConverting.load(); }
  bool Terminated() const { return FTerminated.load(); }
  // The transcode ended on its own: without a stop request and without error.
  bool Finished() const { return FFinished.load(); }
  bool StopRequested() const { return FBroken.load(); }
  bool FatalException() const { return FFatalException.load(); }
  std::string FatalMessage() const;

  int MaxFiles() const { return FMaxFiles; }
  int nb_input_files() const { return Fnb_input_files.load(); }
  int nb_output_files() const { return Fnb_output_files.load(); }
  int64_t TotalOutputDuration() const { return FTotalOutputDuration.load(); }

  // Blocking open/read time-out in milliseconds; 0 or less disables it.
  int ReadTimeout() const { return FReadTimeout.load(); }
  void SetReadTimeout(int AValue) { FReadTimeout.store(AValue); }

  bool HaltOnInvalidOption = true;
  int64_t ReportInterval = 500000;  // microseconds between progress reports
  int64_t PreviewInterval = 100000; // microseconds between preview frames

  TJobNotifyEvent OnTerminate;
  TJobProgressEvent OnProgress;

  // The transcode body. Used by the default Transcode(); a subclass may
  // override Transcode() instead.
  TTranscodeStep TranscodeStep;

  // Called by the transcode between packets: waits while the job is paused;
  // false once a stop was requested (the loop then ends).
  [[nodiscard]] bool CheckPauseAndStop();

  // Fires OnProgress (if assigned) on the calling thread, as the job's event.
  void DoProgress(const TJobProgress& AInfo);

  // ---- Breaking off blocking library I/O ----------------------------------
  // While a TReadTimeoutGuard lives, blocking library calls made on its
  // thread on contexts that carry our interrupt callback give up once the
  // step has taken longer than ReadTimeout or a stop was requested. Restart()
  // begins the time of the next blocking step. When it breaks off a call, the
  // guard logs (llInfo) "connecting/reading/writing timeout" or, for a stop
  // request, "connecting/reading/writing canceled". Guards do not nest on one
  // thread.
  class TReadTimeoutGuard {
  public:
    explicit TReadTimeoutGuard(TCustomFFmpeg& AJob);
    ~TReadTimeoutGuard();
    TReadTimeoutGuard(const TReadTimeoutGuard&) = delete;
    TReadTimeoutGuard& operator=(const TReadTimeoutGuard&) = delete;
    void Restart();

  private:
    TCustomFFmpeg& FJob;
    uint32_t FThreadID;
  };
  // While a TBrokenGuard lives, blocking calls on its thread give up once a
  // stop was requested (for the packet loop of a worker thread).
  class TBrokenGuard {
  public:
    explicit TBrokenGuard(TCustomFFmpeg& AJob);
    ~TBrokenGuard();
    TBrokenGuard(const TBrokenGuard&) = delete;
    TBrokenGuard& operator=(const TBrokenGuard&) = delete;

  private:
    TCustomFFmpeg& FJob;
    uint32_t FThreadID;
  };
  // Interrupt callbacks (sender = the job).
  static bool ReadTimeoutCallback(void* ASender);
  static bool BrokenCallback(void* ASender);

  // Opens one input (FFOpenInput) under a TReadTimeoutGuard. Returns the
  // library's result; on failure *ACtx is null.
  int OpenInputWithTimeout(AVFormatContext** ACtx, const std::string& AFileName,
                           const AVInputFormat* AFormat = nullptr, AVDictionary** AOptions = nullptr);

  // Marks the current thread as running one of AJob's events.
  class TJobEventScope {
  public:
    explicit TJobEventScope(const TCustomFFmpeg& AJob);
    ~TJobEventScope();
    TJobEventScope(const TJobEventScope&) = delete;
    TJobEventScope& operator=(const TJobEventScope&) = delete;
  };
  // Is the current thread inside one of this job's events, or the thread
  // running its transcode?
  bool InOwnEvent() const;

protected:
  // The transcode entry: runs TranscodeStep; without one it fails.
  virtual void Transcode();

  // Transcode, then each on its own: close the encoders, close the decoders,
  // FreeResources, DoTerminate. Errors are kept as FatalException/Message.
  void RunConvert();
  // Converting -> Terminated, then OnTerminate (once per job).
  void DoTerminate();
  // Releases the files and everything the option state holds. Nothing
  // happens when the media libraries are not loaded.
  void FreeResources();
  // Resets the option state and the file tables (libraries loaded only).
  void InitDefaults();

  // Runs an event handler as the job's own event.
  template <typename F> void RunEvent(F&& ACall) {
    TJobEventScope scope(*this);
    ACall();
  }

  // ---- Option state --------------------------------------------------------
  // Join point for the option vocabulary: InitOptionState puts the job's
  // option state to its creation defaults (from InitDefaults);
  // FreeOptionState releases what it holds (the last step of FreeResources).
  void InitOptionState();
  void FreeOptionState();
  // Frees the output stream records of Foutput_streams_for_file (their type
  // belongs to the transcode); called by FreeResources before the files go.
  virtual void FreeStreamRecords() {}

  // ---- Per-file tables (FMaxFiles entries each) ----------------------------
  const int FMaxFiles;
  std::vector<AVFormatContext*> Finput_files;
  std::vector<int64_t> Finput_files_ts_offset;            // microseconds
  std::vector<std::vector<double>> Finput_files_ts_scale; // per stream; size() is the count
  std::vector<AVFormatContext*> Foutput_files;
  std::vector<std::vector<TAVOutputStream*>> Foutput_streams_for_file;
  // Full path of an output file that this job created (empty when it did
  // not create one, e.g. a device or an already existing file). Only such a
  // file is deleted when it is still empty at the end.
  std::vector<std::string> Foutput_created_paths;
  std::atomic<int> Fnb_input_files{0};
  std::atomic<int> Fnb_output_files{0};
  std::atomic<int64_t> FTotalOutputDuration{-1};

  TCodecList FEncoderList;
  TCodecList FDecoderList;
  void AddEncoder(const TAVOutputStream* ASt, AVCodecContext* ACtx);
  void RemoveEncoder(const TAVOutputStream* ASt);
  void AddDecoder(const TAVInputStream* ASt, AVCodecContext* ACtx);
  void RemoveDecoder(const TAVInputStream* ASt);

private:
  // Lifecycle state; transitions under FStateLock, read without it.
  mutable std::mutex FStateLock;
  std::atomic<bool> FConverting{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FTerminating{false}; // the termination step has been claimed
  std::atomic<bool> FNoticeGiven{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FFatalException{false};
  std::string FFatalMessage; // under FStateLock

  std::thread FThread;     // the worker of a threaded run
  std::thread FTermThread; // the termination step of a job that never ran
  std::atomic<bool> FRunDone{true};
  std::atomic<bool> FTermDone{true};
  std::atomic<uint32_t> FRunThreadID{0}; // thread running RunConvert

  // Stop request and pause gate.
  mutable std::mutex FGateLock;
  std::condition_variable FGateCond;
  std::atomic<bool> FBroken{false};
  std::atomic<bool> FPaused{false};

  // Blocking I/O.
  static constexpr int64_t NotReading = std::numeric_limits<int64_t>::max();
  std::atomic<int> FReadTimeout{10000};
  std::atomic<int64_t> FLastRead{NotReading}; // monotonic microseconds
  enum TInterruptReason : int { irNone, irTimeout, irCanceled };
  std::atomic<int> FInterruptReason{irNone};

  void ThreadMain(TThreadPriority APriority);
  // Runs ACall; an exception becomes the job's fatal error. False on error.
  template <typename F> bool Protected(F&& ACall);
  void SetFatal(const std::string& AMessage);
  // Waits (pumping on the main thread) for the run and the termination
  // thread to end, then joins them.
  void WaitIdle();
  void JoinThreads();
};
