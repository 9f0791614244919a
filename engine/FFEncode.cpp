#include "engine/FFEncode.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include "engine/Options.h"
#include "medialib/FFLoad.h"
#include "util/MainThread.h"

// ---------------------------------------------------------------------------
// Records.

void InitInputOptions(TInputOptions& AOptions) {
  AOptions = TInputOptions();
}
void InitOutputOptions(TOutputOptions& AOptions) {
  AOptions = TOutputOptions();
}

int64_t StreamTimeStampToUnix(double ATimeStamp) {
  // "Now" is the current time itself; other values are local times that
  // convert with the zone's rules for that date (daylight saving included).
  if (ATimeStamp == 0) return static_cast<int64_t>(std::time(nullptr));
  double localSeconds = std::nearbyint((ATimeStamp - 25569.0) * 86400.0);
  time_t t = static_cast<time_t>(localSeconds);
  struct tm fields {};
  gmtime_r(&t, &fields); // the local wall-clock fields
  fields.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&fields));
}

namespace {

std::string Lower(std::string AText) {
  for (auto& c : AText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return AText;
}

bool SameText(const std::string& A, const char* B) {
  return Lower(A) == Lower(B);
}

int64_t Int64OrNotSet(const std::string& AText) {
  int64_t v = 0;
  return TryStrToInt64(AText, v) ? v : TimeNotSet;
}

// Option lines of the per-stream defaults of an output.
using TNameValueList = std::vector<std::pair<std::string, std::string>>;

const std::string* Find(const TNameValueList& AList, const std::string& AName) {
  for (auto& e : AList)
    if (e.first == AName) return &e.second;
  return nullptr;
}
std::string Value(const TNameValueList& AList, const std::string& AName) {
  const std::string* v = Find(AList, AName);
  return v ? *v : std::string();
}
void PutDefault(TNameValueList& AList, const std::string& AName, const std::string& AValue) {
  if (!AValue.empty()) AList.emplace_back(AName, AValue);
}

bool IsOneOf(const std::string& AName, std::initializer_list<const char*> ANames) {
  for (auto n : ANames)
    if (AName == n) return true;
  return false;
}

// Option lines handed to the job; the per-stream lines of an output are
// handled by the defaults list and the new streams instead.
void ApplyExtOptions(TFFmpeg& AJob, const std::string& AText, bool AOutput) {
  for (const auto& l : SplitOptionText(AText)) {
    std::string name = Lower(l.Name);
    if (IsOneOf(name, {"newvideo", "newaudio", "newsubtitle", "apre", "vpre", "spre", "vfilters", "vf"}))
      continue;
    if (AOutput && IsOneOf(name, {"acodec", "vcodec", "scodec", "s"})) continue;
    AJob.SetExtOption(name, l.Value);
  }
}

TNameValueList BuildOutputDefaults(const TOutputOptions& AOpts) {
  TNameValueList list;
  PutDefault(list, "def_acodec", AOpts.AudioCodec);
  PutDefault(list, "def_vcodec", AOpts.VideoCodec);
  PutDefault(list, "def_scodec", AOpts.SubtitleCodec);
  PutDefault(list, "def_apre", AOpts.AudioPreset);
  PutDefault(list, "def_vpre", AOpts.VideoPreset);
  PutDefault(list, "def_spre", AOpts.SubtitlePreset);
  PutDefault(list, "def_s", AOpts.FrameSize);
  PutDefault(list, "def_vf", AOpts.VideoFilters);
  for (const auto& l : SplitOptionText(AOpts.ExtOptions)) {
    std::string name = Lower(l.Name);
    if (!IsOneOf(name, {"acodec", "vcodec", "scodec", "apre", "vpre", "spre", "s", "vfilters", "vf"}) ||
        l.Value.empty())
      continue;
    if (name == "vfilters") name = "vf";
    if (!Find(list, "def_" + name)) list.emplace_back("def_" + name, l.Value);
    list.emplace_back(name, l.Value);
  }
  return list;
}

void TakeStreamOption(TFFmpeg& AJob, TNameValueList& AList, const std::string& AName) {
  for (auto it = AList.begin(); it != AList.end(); ++it)
    if (it->first == AName) {
      std::string v = it->second;
      AList.erase(it);
      AJob.SetExtOption(AName, v);
      return;
    }
  AJob.SetExtOption(AName, Value(AList, "def_" + AName));
}

void ApplyNewStreams(TFFmpeg& AJob, const std::string& AText, TNameValueList& AList) {
  for (const auto& l : SplitOptionText(AText)) {
    std::string name = Lower(l.Name);
    if (name == "newaudio") {
      for (auto n : {"acodec", "apre"}) TakeStreamOption(AJob, AList, n);
    } else if (name == "newvideo") {
      for (auto n : {"vcodec", "vpre", "s", "vf"}) TakeStreamOption(AJob, AList, n);
    } else if (name == "newsubtitle") {
      for (auto n : {"scodec", "spre"}) TakeStreamOption(AJob, AList, n);
    } else {
      continue;
    }
    AJob.SetExtOption(name, l.Value);
  }
}

void ApplyTarget(TFFmpeg& AJob, const TOutputOptions& AOpts) {
  if (AOpts.TargetType == ttIgnore) return;
  const char* type = AOpts.TargetType == ttVCD ? "vcd" : AOpts.TargetType == ttSVCD ? "svcd" : "dvd";
  const char* norm = AOpts.NormType == ntPAL ? "pal" : AOpts.NormType == ntNTSC ? "ntsc" : "auto";
  AJob.Options().SetTarget(type, norm, AOpts.NormDefault == ntPAL ? "pal" : "ntsc");
}

void ApplyOutputOptions(TFFmpeg& AJob, const TOutputOptions& AOpts) {
  TFFmpegOptions& o = AJob.Options();
  auto generic = [&](const char* AName, int AValue) {
    if (AValue > 0) o.SetGenericOption(AName, AValue);
  };
  o.SetForceFormat(AOpts.ForceFormat);
  generic("packetsize", AOpts.PacketSize);
  generic("muxrate", AOpts.MuxRate);
  o.SetMuxDelay(AOpts.MuxDelay);
  o.SetMuxPreload(AOpts.MuxPreload);
  if (AOpts.DisableAudio) o.Faudio_disable = true;
  o.SetAudioVolume(AOpts.AudioVolume);
  o.SetAudioChannels(AOpts.AudioChannels);
  o.SetAudioSampleRate(AOpts.AudioSampleRate);
  if (AOpts.TargetType == ttIgnore) generic("ab", AOpts.AudioBitrate);
  generic("abt", AOpts.AudioBitRateTolerance);
  o.Faudio_language = AOpts.AudioLanguage;
  o.Faudio_sync_method = AOpts.AudioSyncMethod;
  if (!AOpts.AudioTag.empty()) o.SetCodecTag("atag", AOpts.AudioTag);
  if (AOpts.DisableVideo) o.Fvideo_disable = true;
  o.SetFrameRate(AOpts.FrameRate);
  if (!AOpts.FrameAspectRatio.empty()) o.SetAspectRatio(AOpts.FrameAspectRatio);
  generic("g", AOpts.GroupPictureSize);
  if (AOpts.TargetType == ttIgnore) generic("vb", AOpts.VideoBitrate);
  generic("maxrate", AOpts.VideoMaxRate);
  generic("minrate", AOpts.VideoMinRate);
  generic("bt", AOpts.VideoBitRateTolerance);
  generic("bufsize", AOpts.VideoBufSize);
  o.Fvideo_sync_method = AOpts.VideoSyncMethod;
  if (!AOpts.VideoTag.empty()) o.SetCodecTag("vtag", AOpts.VideoTag);
  o.Fvideo_language = AOpts.VideoLanguage;
  if (AOpts.DisableSubtitle) o.Fsubtitle_disable = true;
  o.Fsubtitle_language = AOpts.SubtitleLanguage;
  o.Finput_sync = AOpts.InputSync;
  if (AOpts.CopyTimestamp) o.Fcopy_ts = true;
  o.SetStartTime(AOpts.TimeStart);
  o.SetRecordingTime(AOpts.TimeLength);
  if (AOpts.Info.TimeStamp >= 0) o.Frecording_timestamp = StreamTimeStampToUnix(AOpts.Info.TimeStamp);
  const TStreamInfo& i = AOpts.Info;
  if (i.Year > 0) o.SetMetadata("year", std::to_string(i.Year));
  if (i.Track > 0) o.SetMetadata("track", std::to_string(i.Track));
  const std::pair<const char*, const std::string*> texts[] = {
      {"title", &i.Title},     {"author", &i.Author}, {"copyright", &i.Copyright},
      {"comment", &i.Comment}, {"album", &i.Album},   {"genre", &i.Genre}};
  for (auto& t : texts)
    if (!t.second->empty()) o.SetMetadata(t.first, *t.second);
}

// Libraries a job calls; a job created without them has no option state.
const std::pair<TLibrary, const char*> JobLibraries[] = {{avUtil, "LibAVUtil not loaded."},
                                                         {avCodec, "LibAVCodec not loaded."},
                                                         {avFormat, "LibAVFormat not loaded."},
                                                         {swResample, "LibSwResample not loaded."},
                                                         {swScale, "LibSwScale not loaded."}};

// Starting tasks from inside a start (a refused start terminates at once on
// the starting thread) is turned into further turns of the outer loop.
thread_local int GStartDepth = 0;
thread_local int GStartsOwed = 0;

} // namespace

TInputOptions InputOptionsFromText(const std::string& AExtOptions) {
  TInputOptions r;
  for (const auto& l : SplitOptionText(AExtOptions)) {
    if (SameText(l.Name, "TimeStart"))
      r.TimeStart = Int64OrNotSet(l.Value);
    else
      r.ExtOptions += l.Name + "=" + l.Value + "\n";
  }
  return r;
}

TOutputOptions OutputOptionsFromText(const std::string& AExtOptions) {
  TOutputOptions r;
  for (const auto& l : SplitOptionText(AExtOptions)) {
    if (SameText(l.Name, "AudioHook"))
      r.AudioHook = l.Value != "0";
    else if (SameText(l.Name, "VideoInputHook"))
      r.VideoInputHook = l.Value != "0";
    else if (SameText(l.Name, "VideoOutputHook"))
      r.VideoOutputHook = l.Value != "0";
    else if (SameText(l.Name, "Join"))
      r.Join = l.Value != "0";
    else if (SameText(l.Name, "VideoHookBitsPixel")) {
      int32_t v = 0;
      r.VideoHookBitsPixel = TryStrToInt(l.Value, v) ? v : 24;
    } else if (SameText(l.Name, "TimeStart"))
      r.TimeStart = Int64OrNotSet(l.Value);
    else if (SameText(l.Name, "TimeLength"))
      r.TimeLength = Int64OrNotSet(l.Value);
    else
      r.ExtOptions += l.Name + "=" + l.Value + "\n";
  }
  return r;
}

// ---------------------------------------------------------------------------
// Task and task list.

TFFmpeg::TFFmpeg(int AMaxFiles, TCustomEncoder* AParent) : TFFmpegJob(AMaxFiles), FParent(AParent) {}

TFFmpeg::~TFFmpeg() {
  // The run ends (its thread joined) before the event slots and the records go.
  Stop(true);
  OnProgress = nullptr;
  OnTerminate = nullptr;
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> ATask) {
  FItems.push_back(std::move(ATask));
  return Count() - 1;
}
void TFFmpegList::Clear() {
  auto items = std::move(FItems);
  FItems.clear();
  items.clear();
}
void TFFmpegList::Delete(int AIndex) {
  Item(AIndex);
  auto task = std::move(FItems[AIndex]);
  FItems.erase(FItems.begin() + AIndex);
}
void TFFmpegList::Exchange(int AIndex1, int AIndex2) {
  Item(AIndex1);
  Item(AIndex2);
  std::swap(FItems[AIndex1], FItems[AIndex2]);
}
TFFmpeg* TFFmpegList::Item(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw std::out_of_range(fmt::sprintf("List index out of bounds (%d)", AIndex));
  return FItems[AIndex].get();
}
int TFFmpegList::IndexOf(const TFFmpeg* ATask) const {
  for (int i = 0; i < Count(); ++i)
    if (FItems[i].get() == ATask) return i;
  return -1;
}
void TFFmpegList::PauseAll() {
  for (auto& t : FItems) t->Pause();
}
void TFFmpegList::ResumeAll() {
  for (auto& t : FItems) t->Resume();
}
void TFFmpegList::StopAll(bool AWaitForStop) {
  for (auto& t : FItems) t->StopOrTerminate(AWaitForStop);
}

// ---------------------------------------------------------------------------
// Encoder.

TCustomEncoder::TCustomEncoder(TFFBaseComponent* AOwner)
    : TFFBaseComponent(AOwner), FDecoder(std::make_unique<TFFDecoder>()) {}

TCustomEncoder::~TCustomEncoder() {
  {
    std::lock_guard lock(FNoticeLock);
    OnTerminate = nullptr;
    FNotices.clear();
  }
  // Every run ends (and its threads are joined) before the tasks go.
  if (FWorking) Stop(true);
  OnProgress = nullptr;
  for (int i = 0; i < FTasks.Count(); ++i) DetachTask(*FTasks.Item(i));
  FTasks.Clear();
  {
    std::lock_guard lock(FNoticeLock);
    FNoticeQuit = true;
  }
  FNoticeCond.notify_all();
  if (FNotifier.joinable()) FNotifier.join();
  FDecoder.reset();
  while (FLibLoads > 0) UnloadAVLib();
}

bool TCustomEncoder::LoadAVLib(const std::string& APath) {
  FFLoader().SetLibraryPath(APath);
  if (!FFLoader().Load(EncoderLibraries)) {
    SetLastErrMsg(FFLoader().LastErrMsg());
    return false;
  }
  ++FLibLoads;
  return true;
}

bool TCustomEncoder::AVLibLoaded() const {
  return FFLoader().Loaded(EncoderLibraries);
}

void TCustomEncoder::UnloadAVLib() {
  if (FLibLoads <= 0) return;
  --FLibLoads;
  FFLoader().Unload(EncoderLibraries);
}

void TCustomEncoder::CheckNotWorking(const char* AOperation) const {
  if (FWorking) throw std::runtime_error(fmt::sprintf("Cannot %s while working.", AOperation));
}

TFFmpeg* TCustomEncoder::TaskAt(int AIndex) const {
  return FTasks.Item(AIndex);
}

std::unique_ptr<TFFmpeg> TCustomEncoder::NewTask(int AMaxFiles) {
  return std::make_unique<TFFmpeg>(AMaxFiles, this);
}

void TCustomEncoder::ApplyInputRecord(TFFmpeg& ATask, TInputOptions& ARecord, const std::string& AFileName) {
  if (ARecord.FileName.empty()) ARecord.FileName = AFileName;
  size_t index = static_cast<size_t>(ATask.nb_input_files());
  if (ATask.FInputOptions.size() <= index) ATask.FInputOptions.resize(index + 1);
  ATask.FInputOptions[index] = ARecord;
  ApplyExtOptions(ATask, ARecord.ExtOptions, false);
  TFFmpegOptions& o = ATask.Options();
  o.SetForceFormat(ARecord.ForceFormat);
  o.SetStartTime(ARecord.TimeStart);
  o.SetProgramID(ARecord.ProgramID);
}

// Opens input AIndex of ATask; on failure the stored record is reset and
// the job's text copied.
bool TCustomEncoder::OpenInputChecked(TFFmpeg& ATask, int AIndex, const std::string& AFileName,
                                      bool AHasRecord) {
  if (!AHasRecord && ATask.FInputOptions.size() > size_t(AIndex))
    InitInputOptions(ATask.FInputOptions[AIndex]);
  ATask.SetReadTimeout(ReadTimeout);
  if (ATask.OpenInput(AFileName)) return true;
  if (ATask.FInputOptions.size() > size_t(AIndex)) InitInputOptions(ATask.FInputOptions[AIndex]);
  SetLastErrMsg(ATask.LastErrMsg());
  return false;
}

int TCustomEncoder::AddTask(const std::string& AFileName, TInputOptions* AOptions) {
  CheckNotWorking("AddTask");
  for (auto& l : JobLibraries)
    if (!FFLoader().Loaded(l.first)) {
      SetLastErrMsg(l.second);
      return -1;
    }
  std::unique_ptr<TFFmpeg> task = NewTask(CustomMaxFiles); // a bad maximum raises to the caller
  try {
    task->HaltOnInvalidOption = HaltOnInvalidOption;
    task->Options().HaltOnInvalidOption = HaltOnInvalidOption;
    task->Options().Fverbose = Verbose;
    if (AOptions) ApplyInputRecord(*task, *AOptions, AFileName);
    if (!OpenInputChecked(*task, 0, AFileName, AOptions != nullptr)) return -1;
  } catch (const std::exception& e) {
    SetLastErrMsg(e.what());
    return -1;
  }
  TFFmpeg* job = task.get();
  job->OnProgress = [this, job](TCustomFFmpeg*, const TJobProgress& AInfo) { DoProgress(job, AInfo); };
  job->OnTerminate = [this, job](TCustomFFmpeg*) { DoTaskTerminate(job); };
  return FTasks.Add(std::move(task));
}

int TCustomEncoder::AddTask(const std::string& AFileName, const std::string& AExtOptions) {
  TInputOptions r = InputOptionsFromText(AExtOptions);
  return AddTask(AFileName, &r);
}

bool TCustomEncoder::AddInputFile(int ATaskIndex, const std::string& AFileName, TInputOptions* AOptions) {
  CheckNotWorking("AddInputFile");
  TFFmpeg* task = TaskAt(ATaskIndex);
  if (task->nb_input_files() >= task->MaxFiles()) {
    SetLastErrMsgF("max input files %d reached", task->MaxFiles());
    return false;
  }
  // Inputs added after a joined output would have no output to go to.
  if (task->JoinMode()) {
    SetLastErrMsg("Cannot add an input file after a joined output file.");
    return false;
  }
  int index = task->nb_input_files();
  try {
    task->HaltOnInvalidOption = HaltOnInvalidOption;
    task->Options().HaltOnInvalidOption = HaltOnInvalidOption;
    if (AOptions) ApplyInputRecord(*task, *AOptions, AFileName);
    return OpenInputChecked(*task, index, AFileName, AOptions != nullptr);
  } catch (const std::exception& e) {
    SetLastErrMsg(e.what());
    return false;
  }
}

bool TCustomEncoder::AddInputFile(int ATaskIndex, const std::string& AFileName,
                                  const std::string& AExtOptions) {
  TInputOptions r = InputOptionsFromText(AExtOptions);
  return AddInputFile(ATaskIndex, AFileName, &r);
}

bool TCustomEncoder::SetOutputFile(int ATaskIndex, const std::string& AFileName, TOutputOptions* AOptions) {
  CheckNotWorking("SetOutputFile");
  TFFmpeg* task = TaskAt(ATaskIndex);
  if (task->nb_output_files() >= task->MaxFiles()) {
    SetLastErrMsgF("max output files %d reached", task->MaxFiles());
    return false;
  }
  size_t index = static_cast<size_t>(task->nb_output_files());
  auto resetRecord = [&] {
    if (task->FOutputOptions.size() > index) InitOutputOptions(task->FOutputOptions[index]);
  };
  try {
    task->HaltOnInvalidOption = HaltOnInvalidOption;
    task->Options().HaltOnInvalidOption = HaltOnInvalidOption;
    TNameValueList defaults;
    bool join = false;
    TFFmpegOptions& o = task->Options();
    if (AOptions) {
      if (AOptions->FileName.empty()) AOptions->FileName = AFileName;
      if (task->FOutputOptions.size() <= index) task->FOutputOptions.resize(index + 1);
      task->FOutputOptions[index] = *AOptions;
      defaults = BuildOutputDefaults(*AOptions);
      ApplyTarget(*task, *AOptions);
      o.SetAudioCodec(Value(defaults, "def_acodec"));
      o.SetVideoCodec(Value(defaults, "def_vcodec"));
      o.SetSubtitleCodec(Value(defaults, "def_scodec"));
      for (auto p : {"apre", "vpre", "spre"}) {
        std::string v = Value(defaults, std::string("def_") + p);
        if (!v.empty()) o.SetPreset(p, v);
      }
      ApplyExtOptions(*task, AOptions->ExtOptions, true);
      ApplyOutputOptions(*task, *AOptions);
      if (std::string s = Value(defaults, "def_s"); !s.empty()) o.SetFrameSize(s);
      if (std::string vf = Value(defaults, "def_vf"); !vf.empty()) o.SetVideoFilters(vf);
      join = AOptions->Join;
    } else {
      resetRecord();
    }
    task->SetReadTimeout(ReadTimeout);
    if (task->OpenOutput(AFileName, join) < 0) {
      SetLastErrMsg(task->LastErrMsg());
      resetRecord();
      return false;
    }
    if (AOptions) {
      ApplyNewStreams(*task, AOptions->ExtOptions, defaults);
      if (join) task->Join();
    }
    return true;
  } catch (const std::exception& e) {
    SetLastErrMsg(e.what());
    return false;
  }
}

bool TCustomEncoder::SetOutputFile(int ATaskIndex, const std::string& AFileName,
                                   const std::string& AExtOptions) {
  TOutputOptions r = OutputOptionsFromText(AExtOptions);
  return SetOutputFile(ATaskIndex, AFileName, &r);
}

void TCustomEncoder::DetachTask(TFFmpeg& ATask) {
  ATask.OnProgress = nullptr;
  ATask.OnTerminate = nullptr;
}

void TCustomEncoder::ClearTasks() {
  if (FWorking && !FTerminated) throw std::runtime_error("Cannot ClearTasks while working.");
  // Tasks that never started must not give a notice when they go; the
  // tasks of a finished run have given theirs, and each is joined before its
  // event slots are cleared.
  if (!FWorking)
    for (int i = 0; i < FTasks.Count(); ++i) DetachTask(*FTasks.Item(i));
  FTasks.Clear();
  SetLastErrMsg("");
  std::lock_guard lock(FSchedLock);
  FCompleteTasks = 0;
  FCurrentTask = -1;
  FPendingTasks = 0;
  FTerminated = false;
  FThreadMode = false;
  FWorking = false;
  FPaused = false;
}

void TCustomEncoder::Exchange(int ATaskIndex1, int ATaskIndex2) {
  CheckNotWorking("Exchange");
  FTasks.Exchange(ATaskIndex1, ATaskIndex2);
}

void TCustomEncoder::RemoveTask(int ATaskIndex) {
  CheckNotWorking("RemoveTask");
  DetachTask(*FTasks.Item(ATaskIndex));
  FTasks.Delete(ATaskIndex);
}

void TCustomEncoder::Start(int AThreadCount) {
  CheckNotWorking("StartTask");
  bool empty;
  {
    std::lock_guard lock(FSchedLock);
    FCompleteTasks = 0;
    FCurrentTask = 0;
    FPendingTasks = FTasks.Count();
    FTerminated = false;
    FThreadMode = AThreadCount > 0;
    FStartThread = std::this_thread::get_id();
    FWorking = true;
    FPaused = false;
    empty = FTasks.Count() == 0;
    if (empty && FThreadMode) {
      FTerminated = true;
      QueueNotice({-1, true, false, ""});
    }
  }
  if (empty) {
    if (!FThreadMode) {
      DeliverNotice({-1, true, false, ""}, true);
      FTerminated = true;
    }
    return;
  }
  StartTasks(AThreadCount > 0 ? AThreadCount : INT_MAX);
}

TFFmpeg* TCustomEncoder::ClaimNextTask() {
  std::lock_guard lock(FSchedLock);
  if (FPendingTasks <= 0 || FCurrentTask < 0 || FCurrentTask >= FTasks.Count()) return nullptr;
  --FPendingTasks;
  return FTasks.Item(FCurrentTask++);
}

void TCustomEncoder::StartTasks(int ACount) {
  if (GStartDepth > 0) {
    GStartsOwed += ACount;
    return;
  }
  ++GStartDepth;
  int count = ACount;
  while (count > 0) {
    TFFmpeg* task = ClaimNextTask();
    if (!task) break;
    --count;
    bool threaded;
    {
      std::lock_guard lock(FSchedLock);
      threaded = FThreadMode;
    }
    task->ReportInterval = static_cast<int64_t>(FProgressInterval) * 1000;
    task->StartConvert(threaded, ThreadPriority);
    if (threaded && FPaused) task->Pause();
    if (count < INT_MAX - GStartsOwed) count += GStartsOwed;
    GStartsOwed = 0;
  }
  GStartsOwed = 0;
  --GStartDepth;
}

void TCustomEncoder::Pause() {
  if (!FWorking || FPaused) return;
  FTasks.PauseAll();
  FPaused = true;
}

void TCustomEncoder::Resume() {
  if (!FWorking || !FPaused) return;
  FTasks.ResumeAll();
  FPaused = false;
}

void TCustomEncoder::Stop(bool AWaitForStop) {
  {
    std::lock_guard lock(FSchedLock);
    FPendingTasks = 0;
  }
  if (!FWorking) return;
  // Stop opens every pause gate.
  FPaused = false;
  FTasks.StopAll(AWaitForStop);
}

void TCustomEncoder::DoProgress(TFFmpeg* AJob, const TJobProgress& AProgress) {
  if (!OnProgress) return;
  std::lock_guard lock(FProgressLock);
  TProgressInfo& p = FProgressInfo;
  p.TaskIndex = FTasks.IndexOf(AJob);
  p.FileIndex = AProgress.FileIndex;
  p.FrameNumber = AProgress.FrameNumber;
  p.FPS = AProgress.FPS;
  p.Quality = AProgress.Quality;
  p.BitRate = AProgress.BitRate;
  p.CurrentSize = AProgress.CurrentSize;
  p.CurrentDuration = AProgress.CurrentDuration;
  p.TotalDuration = AProgress.TotalDuration;
  if (TriggerEventInMainThread)
    RunInMainThread([&] {
      TCustomFFmpeg::TJobEventScope scope(*AJob);
      if (OnProgress) OnProgress(this, &p);
    });
  else
    OnProgress(this, &p);
}

void TCustomEncoder::DoTaskTerminate(TFFmpeg* AJob) {
  TTerminateInfo info;
  info.Finished = AJob->Finished();
  info.Exception = AJob->FatalException();
  info.ExceptionMsg = AJob->FatalMessage();
  const TTerminateInfo final{-1, true, false, ""};
  bool direct = false, all = false, startNext = false;
  {
    std::lock_guard lock(FSchedLock);
    info.TaskIndex = FTasks.IndexOf(AJob);
    ++FCompleteTasks;
    {
      // Directly only for a sequential run on the thread that started it,
      // and only while nothing queued is still to be delivered.
      std::lock_guard nlock(FNoticeLock);
      direct = !FThreadMode && FWorking && std::this_thread::get_id() == FStartThread && FNotices.empty() &&
               !FNoticeBusy;
    }
    if (!direct) QueueNotice(info);
    if (FPendingTasks < 1) {
      if (FCompleteTasks >= FTasks.Count()) {
        all = true;
        if (!direct) {
          FTerminated = true;
          QueueNotice(final);
        }
      }
    } else if (FThreadMode) {
      startNext = true;
    }
  }
  if (direct) {
    DeliverNotice(info, true);
    if (all) {
      DeliverNotice(final, true);
      FTerminated = true;
    }
  }
  if (startNext) StartTasks(1);
}

void TCustomEncoder::QueueNotice(const TTerminateInfo& AInfo) {
  std::lock_guard lock(FNoticeLock);
  if (FNoticeQuit) return;
  FNotices.push_back(AInfo);
  if (!FNotifier.joinable()) FNotifier = std::thread([this] { NotifierMain(); });
  FNoticeCond.notify_all();
}

void TCustomEncoder::NotifierMain() {
  std::unique_lock lock(FNoticeLock);
  for (;;) {
    FNoticeCond.wait(lock, [this] { return FNoticeQuit || !FNotices.empty(); });
    if (FNotices.empty()) return;
    TTerminateInfo info = std::move(FNotices.front());
    FNotices.pop_front();
    TTerminateEvent handler = OnTerminate;
    FNoticeBusy = true;
    lock.unlock();
    if (handler) {
      try {
        handler(this, info);
      } catch (...) {
        // A failing handler must not end the notices that follow.
      }
    }
    lock.lock();
    FNoticeBusy = false;
  }
}

void TCustomEncoder::DeliverNotice(const TTerminateInfo& AInfo, bool) {
  TTerminateEvent handler;
  {
    std::lock_guard lock(FNoticeLock);
    handler = OnTerminate;
  }
  if (handler) handler(this, AInfo);
}
