// The encoder component: an ordered list of conversion tasks.
//
// TFFEncoder is the one entry point through which conversions run. A caller
// builds tasks from option records (TInputOptions, TOutputOptions) or from
// option texts, starts them (Start(0): one after another on the calling
// thread; Start(n > 0): at most n at once on worker threads) and receives
// progress and termination events.
//
// Termination notices: every task gets exactly one (a task refused at its
// start and a task never started because of Stop included), then the final
// notice with TaskIndex -1 comes strictly last, after the handler of the
// previous notice has returned. In thread mode the notices are delivered in
// termination order, one at a time, by one notifier thread per encoder;
// Start(0) delivers them directly on the calling thread. Start on an empty
// list delivers the final notice as well.
//
// Threads: build tasks, start, pause, resume, stop and clear from one owner
// thread (the main thread). OnProgress runs on the main thread when
// TriggerEventInMainThread is set (the job thread waits for it), otherwise on
// the job's thread. Assign the event slots while the encoder is idle.
// OnTerminate handlers may call ClearTasks (after the final notice) but must
// not destroy the encoder.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decode/FFDecode.h"
#include "engine/FFmpegJob.h"
#include "util/FFBaseComponent.h"

// The library's "no time stamp" value: a time field that is not set.
constexpr int64_t TimeNotSet = INT64_MIN;

struct TInputOptions {
  std::string FileName;
  std::string ForceFormat;
  int64_t TimeStart = TimeNotSet; // microseconds
  int ProgramID = -1;
  std::string ExtOptions;
  int Tag = 0;
  void* Data = nullptr;
};

struct TStreamInfo {
  // Days since 1899-12-30 (fraction = time of day), local time; 0 = now;
  // below 0 = no time stamp.
  double TimeStamp = -1.0;
  int Year = -1;
  int Track = -1;
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

enum TOptionTargetType { ttIgnore, ttVCD, ttSVCD, ttDVD };
enum TOptionNormType { ntAuto, ntPAL, ntNTSC };
using TOptionNormDefault = TOptionNormType; // ntPAL or ntNTSC

struct TOutputOptions {
  std::string FileName;
  std::string FileExt;
  std::string ForceFormat;
  int PacketSize = -1;
  int MuxRate = -1;
  float MuxDelay = -1.0f;
  float MuxPreload = -1.0f;
  std::string AudioCodec;
  std::string AudioPreset;
  bool DisableAudio = false;
  int AudioVolume = -1; // 256 = unchanged
  int AudioChannels = -1;
  int AudioSampleRate = -1;
  int AudioBitrate = -1;
  int AudioBitRateTolerance = -1;
  std::string AudioLanguage;
  int AudioSyncMethod = 0;
  std::string AudioTag;
  std::string VideoCodec;
  std::string VideoPreset;
  bool DisableVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string FrameAspectRatio;
  int GroupPictureSize = -1;
  int VideoBitrate = -1;
  int VideoMaxRate = -1;
  int VideoMinRate = -1;
  int VideoBitRateTolerance = -1;
  int VideoBufSize = -1;
  int VideoSyncMethod = -1;
  std::string VideoTag;
  std::string VideoFilters;
  std::string VideoLanguage;
  std::string SubtitleCodec;
  std::string SubtitlePreset;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool InputSync = false;
  bool CopyTimestamp = false;
  int64_t TimeStart = TimeNotSet;  // microseconds
  int64_t TimeLength = TimeNotSet; // microseconds
  TStreamInfo Info;
  TOptionTargetType TargetType = ttIgnore;
  TOptionNormType NormType = ntAuto;
  TOptionNormDefault NormDefault = ntPAL;
  bool AudioHook = false;
  bool VideoInputHook = false;
  bool VideoOutputHook = false;
  int VideoHookBitsPixel = 24;
  bool Join = false;
  std::string ExtOptions;
  int Tag = 0;
  void* Data = nullptr;
};

void InitInputOptions(TInputOptions& AOptions);
void InitOutputOptions(TOutputOptions& AOptions);

// Seconds since 1970-01-01 UTC of a TStreamInfo.TimeStamp (> 0: a local
// time, 0: now).
int64_t StreamTimeStampToUnix(double ATimeStamp);

struct TProgressInfo {
  int TaskIndex = 0;
  int FileIndex = 0;
  int FrameNumber = 0;
  int FPS = 0;
  float Quality = 0;
  float BitRate = 0;
  int64_t CurrentSize = 0;
  int64_t CurrentDuration = 0; // microseconds
  int64_t TotalDuration = 0;   // microseconds
};

struct TTerminateInfo {
  int TaskIndex = 0; // -1 for the final notice
  bool Finished = false;
  bool Exception = false;
  std::string ExceptionMsg;
};

class TCustomEncoder;
class TFFmpeg;

using TProgressEvent = std::function<void(TCustomEncoder* ASender, TProgressInfo* AProgressInfo)>;
using TTerminateEvent = std::function<void(TCustomEncoder* ASender, const TTerminateInfo& ATerminateInfo)>;

// One task: a conversion job with the option records it was given.
class TFFmpeg : public TFFmpegJob {
public:
  TFFmpeg(int AMaxFiles, TCustomEncoder* AParent);
  ~TFFmpeg() override;

  TCustomEncoder* Parent() const { return FParent; }
  // The stored copies of the records (index = input / output number); an
  // entry holds defaults when that file was added without a record.
  const std::vector<TInputOptions>& InputOptions() const { return FInputOptions; }
  const std::vector<TOutputOptions>& OutputOptions() const { return FOutputOptions; }

  // Opening the files; overridable so that a stand-in task can pretend.
  virtual bool OpenInput(const std::string& AFileName) { return OpenInputFile(AFileName); }
  virtual int OpenOutput(const std::string& AFileName, bool AJoin) {
    return OpenOutputFile(AFileName, AJoin);
  }
  virtual void Join() { JoinSetup(); }

private:
  friend class TCustomEncoder;
  TCustomEncoder* FParent;
  std::vector<TInputOptions> FInputOptions;
  std::vector<TOutputOptions> FOutputOptions;
};

// The task list; it owns the tasks.
class TFFmpegList {
public:
  ~TFFmpegList() { Clear(); }
  int Add(std::unique_ptr<TFFmpeg> ATask);
  void Clear();
  void Delete(int AIndex);
  void Exchange(int AIndex1, int AIndex2);
  TFFmpeg* Item(int AIndex) const; // std::out_of_range for a bad index
  int IndexOf(const TFFmpeg* ATask) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  void PauseAll();
  void ResumeAll();
  void StopAll(bool AWaitForStop);

private:
  std::vector<std::unique_ptr<TFFmpeg>> FItems;
};

class TCustomEncoder : public TFFBaseComponent {
public:
  explicit TCustomEncoder(TFFBaseComponent* AOwner = nullptr);
  ~TCustomEncoder() override;

  // Sets the loader's library path and loads the encoder's library set.
  bool LoadAVLib(const std::string& APath);
  bool AVLibLoaded() const;
  void UnloadAVLib();

  int AddTask(const std::string& AFileName, TInputOptions* AOptions = nullptr);
  int AddTask(const std::string& AFileName, const std::string& AExtOptions);
  bool AddInputFile(int ATaskIndex, const std::string& AFileName, TInputOptions* AOptions = nullptr);
  bool AddInputFile(int ATaskIndex, const std::string& AFileName, const std::string& AExtOptions);
  bool SetOutputFile(int ATaskIndex, const std::string& AFileName, TOutputOptions* AOptions = nullptr);
  bool SetOutputFile(int ATaskIndex, const std::string& AFileName, const std::string& AExtOptions);

  void ClearTasks();
  void Exchange(int ATaskIndex1, int ATaskIndex2);
  void RemoveTask(int ATaskIndex);
  int GetTaskIndex(const TFFmpeg* AFFmpeg) const { return FTasks.IndexOf(AFFmpeg); }
  int TasksCount() const { return FTasks.Count(); }
  TFFmpeg* Task(int AIndex) const { return FTasks.Item(AIndex); }

  void Start(int AThreadCount);
  void Pause();
  void Resume();
  void Stop(bool AWaitForStop);

  TFFDecoder& Decoder() { return *FDecoder; }
  const std::string& Version() const {
    static const std::string v = "3.9";
    return v;
  }
  bool Terminated() const { return FTerminated.load(); }
  bool Working() const { return FWorking.load(); }
  bool Paused() const { return FPaused.load(); }

  void* UserData = nullptr;
  int CustomMaxFiles = 20;
  bool HaltOnInvalidOption = true;
  int ReadTimeout = 10000; // milliseconds
  int Verbose = 1;

  bool Preview() const { return FPreview; }
  void SetPreview(bool AValue) { FPreview = AValue; }
  bool PreviewBitmap() const { return FPreviewBitmap; }
  void SetPreviewBitmap(bool AValue) { FPreviewBitmap = AValue; }
  int ProgressInterval() const { return FProgressInterval; }
  void SetProgressInterval(int AValue) { FProgressInterval = AValue > 100 ? AValue : 100; }
  TThreadPriority ThreadPriority = tpNormal;
  bool TriggerEventInMainThread = true;

  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

protected:
  // Creates a task; a stand-in task may be returned by a subclass.
  virtual std::unique_ptr<TFFmpeg> NewTask(int AMaxFiles);

  virtual void DoProgress(TFFmpeg* AJob, const TJobProgress& AProgress);
  virtual void DoTaskTerminate(TFFmpeg* AJob);

private:
  TFFmpegList FTasks;
  std::unique_ptr<TFFDecoder> FDecoder;
  int FLibLoads = 0;
  bool FPreview = false;
  bool FPreviewBitmap = false;
  int FProgressInterval = 500;

  // Scheduling state, under FSchedLock.
  std::mutex FSchedLock;
  int FCompleteTasks = 0;
  int FCurrentTask = -1;
  int FPendingTasks = 0;
  bool FThreadMode = false;
  std::thread::id FStartThread;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FWorking{false};
  std::atomic<bool> FPaused{false};

  std::mutex FProgressLock;
  TProgressInfo FProgressInfo;

  // The notifier: one thread delivering queued notices in order.
  std::mutex FNoticeLock;
  std::condition_variable FNoticeCond;
  std::deque<TTerminateInfo> FNotices;
  bool FNoticeBusy = false; // a queued notice is being delivered
  bool FNoticeQuit = false;
  std::thread FNotifier;
  void QueueNotice(const TTerminateInfo& AInfo);
  void NotifierMain();
  void DeliverNotice(const TTerminateInfo& AInfo, bool ADirect);

  void CheckNotWorking(const char* AOperation) const;
  TFFmpeg* TaskAt(int AIndex) const;
  // Claims the next task under the lock; nullptr when none is pending.
  TFFmpeg* ClaimNextTask();
  void StartTasks(int ACount);
  void ApplyInputRecord(TFFmpeg& ATask, TInputOptions& ARecord, const std::string& AFileName);
  bool OpenInputChecked(TFFmpeg& ATask, int AIndex, const std::string& AFileName, bool AHasRecord);
  void DetachTask(TFFmpeg& ATask);
};

class TFFEncoder : public TCustomEncoder {
public:
  using TCustomEncoder::TCustomEncoder;
};

// The option-text forms of the records.
TInputOptions InputOptionsFromText(const std::string& AExtOptions);
TOutputOptions OutputOptionsFromText(const std::string& AExtOptions);
