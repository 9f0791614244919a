// The encoder's task list with stand-in tasks (no media): scheduling, the
// order of the termination notices, pause and stop, the guards, and how the
// option records become job option state.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FFEncode.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "util/MainThread.h"

using namespace std::chrono_literals;

namespace {

// What the stand-in tasks of one test do and saw.
struct TScript {
  int Steps = 5;
  std::chrono::milliseconds StepTime{5};
  std::atomic<int> Running{0};
  std::atomic<int> MaxRunning{0};
  std::atomic<int> Started{0};
  std::atomic<int> Steps_done{0};
};

// The option state a task had when its output was "opened".
struct TSnapshot {
  TFFmpegOptions* Opts = nullptr;
  std::optional<std::string> AudioCodec;
  int Channels = 0, SampleRate = 0, Volume = 0, AudioSync = 0, VideoSync = 0;
  std::string AudioLanguage, VideoLanguage, SubtitleLanguage, Format;
  bool InputSync = false, CopyTs = false, AudioOff = false, VideoOff = false, SubtitleOff = false;
  int64_t StartTime = 0, RecordingTime = 0, TimeStamp = 0, TotalDuration = 0;
  float MuxDelay = 0, MuxPreload = 0;
  uint32_t AudioTag = 0;
  std::vector<std::pair<std::string, std::string>> Metadata;
  int64_t AudioBitRate = 0, AudioTolerance = 0, PacketSize = 0, Gop = 0, VideoBitRate = 0;
  bool Join = false;
};

int64_t StoreInt(void* ACtx, const char* AName) {
  int64_t v = -1;
  if (ACtx) FF.av_opt_get_int(ACtx, AName, 0, &v);
  return v;
}

class TStandInTask : public TFFmpeg {
public:
  TStandInTask(int AMaxFiles, TCustomEncoder* AParent, TScript& AScript, TSnapshot* ASnap)
      : TFFmpeg(AMaxFiles, AParent), FScript(AScript), FSnap(ASnap) {}
  ~TStandInTask() override { Stop(true); }

  bool OpenInput(const std::string& AFileName) override {
    if (AFileName == "refuse") {
      SetLastErrMsg("refuse: No such file or directory");
      Options().ConsumeInputOptions();
      return false;
    }
    FNames.push_back(AFileName);
    Fnb_input_files = Fnb_input_files + 1;
    Options().ConsumeInputOptions();
    return true;
  }
  int OpenOutput(const std::string&, bool AJoin) override {
    if (FSnap) {
      auto& o = Options();
      TSnapshot& s = *FSnap;
      s.AudioCodec = o.Faudio_codec_name;
      s.Channels = o.Faudio_channels;
      s.SampleRate = o.Faudio_sample_rate;
      s.Volume = o.Faudio_volume;
      s.AudioSync = o.Faudio_sync_method;
      s.VideoSync = o.Fvideo_sync_method;
      s.AudioLanguage = o.Faudio_language;
      s.VideoLanguage = o.Fvideo_language;
      s.SubtitleLanguage = o.Fsubtitle_language;
      s.Format = o.Flast_asked_format;
      s.InputSync = o.Finput_sync;
      s.CopyTs = o.Fcopy_ts;
      s.AudioOff = o.Faudio_disable;
      s.VideoOff = o.Fvideo_disable;
      s.SubtitleOff = o.Fsubtitle_disable;
      s.StartTime = o.Fstart_time;
      s.RecordingTime = o.Frecording_time;
      s.TimeStamp = o.Frecording_timestamp;
      s.TotalDuration = TotalOutputDuration();
      s.MuxDelay = o.Fmux_max_delay;
      s.MuxPreload = o.Fmux_preload;
      s.AudioTag = o.Faudio_codec_tag;
      s.Metadata = o.Fmetadata;
      s.AudioBitRate = StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO], "b");
      s.AudioTolerance = StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO], "bt");
      s.VideoBitRate = StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO], "b");
      s.Gop = StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO], "g");
      s.PacketSize = StoreInt(o.Store().avformat_opts, "packetsize");
      s.Join = AJoin;
    }
    Options().ConsumeOutputOptions();
    Fnb_output_files = Fnb_output_files + 1;
    return nb_output_files();
  }
  void Join() override {}
  const std::vector<std::string>& Names() const { return FNames; }

protected:
  void Transcode() override {
    ++FScript.Started;
    int now = ++FScript.Running;
    int seen = FScript.MaxRunning.load();
    while (now > seen && !FScript.MaxRunning.compare_exchange_weak(seen, now)) {
    }
    bool forever = FNames[0].rfind("long", 0) == 0;
    for (int i = 0; forever || i < FScript.Steps; ++i) {
      if (!CheckPauseAndStop()) break;
      std::this_thread::sleep_for(FScript.StepTime);
      ++FScript.Steps_done;
      TJobProgress p;
      p.CurrentDuration = i + 1;
      p.TotalDuration = FScript.Steps;
      DoProgress(p);
    }
    --FScript.Running;
    if (FNames[0].rfind("fail", 0) == 0) throw FFmpegException("stand-in failure");
  }

private:
  TScript& FScript;
  TSnapshot* FSnap;
  std::vector<std::string> FNames;
};

class TStandInEncoder : public TFFEncoder {
public:
  TScript Script;
  TSnapshot* Snap = nullptr;

protected:
  std::unique_ptr<TFFmpeg> NewTask(int AMaxFiles) override {
    return std::make_unique<TStandInTask>(AMaxFiles, this, Script, Snap);
  }
};

// Termination notices as the handler saw them.
struct TNoticeLog {
  struct TEntry {
    TTerminateInfo Info;
    std::thread::id Thread;
  };
  std::mutex Lock;
  std::vector<TEntry> Entries;
  std::atomic<int> InHandler{0};
  std::atomic<bool> Overlap{false};
  std::atomic<bool> Final{false};
  std::chrono::milliseconds Delay{0};

  void Attach(TCustomEncoder& AEncoder) {
    AEncoder.OnTerminate = [this](TCustomEncoder*, const TTerminateInfo& AInfo) {
      if (++InHandler > 1) Overlap = true;
      {
        std::lock_guard l(Lock);
        Entries.push_back({AInfo, std::this_thread::get_id()});
      }
      // A slow handler: the next notice must wait for it.
      std::this_thread::sleep_for(AInfo.TaskIndex < 0 ? 0ms : Delay);
      --InHandler;
      if (AInfo.TaskIndex < 0) Final = true;
    };
  }
  std::vector<TEntry> Copy() {
    std::lock_guard l(Lock);
    return Entries;
  }
};

class Encoder : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
    Logger().SetLogLevel(llQuiet);
  }
  THeadlessDispatcher Dispatcher;
  TStandInEncoder Enc;
  TNoticeLog Notices;

  void AddTasks(const std::vector<std::string>& ANames, bool AWithOutput = true) {
    for (auto& n : ANames) {
      int i = Enc.AddTask(n);
      ASSERT_GE(i, 0) << Enc.LastErrMsg();
      if (AWithOutput) {
        ASSERT_TRUE(Enc.SetOutputFile(i, n + ".out"));
      }
    }
  }
  bool WaitFinal(std::chrono::milliseconds ATimeout = 20s) {
    return Dispatcher.ProcessUntil([this] { return Notices.Final.load(); }, ATimeout);
  }
  // One notice per task, each index once, the final one last.
  void ExpectOneNoticeEachThenFinal(int ATasks) {
    auto e = Notices.Copy();
    ASSERT_EQ(int(e.size()), ATasks + 1);
    std::set<int> seen;
    for (int i = 0; i < ATasks; ++i) seen.insert(e[i].Info.TaskIndex);
    EXPECT_EQ(int(seen.size()), ATasks);
    EXPECT_EQ(*seen.begin(), 0);
    EXPECT_EQ(*seen.rbegin(), ATasks - 1);
    EXPECT_EQ(e.back().Info.TaskIndex, -1);
    EXPECT_TRUE(e.back().Info.Finished);
    EXPECT_FALSE(e.back().Info.Exception);
    EXPECT_FALSE(Notices.Overlap);
  }
};

TEST_F(Encoder, SequentialRunDeliversNoticesInOrderOnTheCallingThread) {
  Notices.Attach(Enc);
  AddTasks({"a", "b", "c", "d", "e"});
  Enc.Start(0);
  // Everything has happened inside Start.
  EXPECT_TRUE(Enc.Terminated());
  EXPECT_EQ(Enc.Script.Started, 5);
  EXPECT_EQ(Enc.Script.MaxRunning, 1);
  auto e = Notices.Copy();
  ASSERT_EQ(e.size(), 6u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(e[i].Info.TaskIndex, i);
    EXPECT_TRUE(e[i].Info.Finished);
  }
  EXPECT_EQ(e[5].Info.TaskIndex, -1);
  for (auto& x : e) EXPECT_EQ(x.Thread, std::this_thread::get_id());
}

class EncoderThreads : public Encoder, public ::testing::WithParamInterface<int> {};

TEST_P(EncoderThreads, AtMostNAtOnceAndTheFinalNoticeLast) {
  const int n = GetParam();
  Notices.Delay = 15ms; // slow handlers while jobs end close together
  Notices.Attach(Enc);
  std::atomic<int> progressOffMain{0};
  std::atomic<int> progress{0};
  Enc.OnProgress = [&](TCustomEncoder*, TProgressInfo* AInfo) {
    ++progress;
    if (!IsMainThread()) ++progressOffMain;
    EXPECT_GE(AInfo->TaskIndex, 0);
    EXPECT_LT(AInfo->TaskIndex, 5);
  };
  AddTasks({"a", "b", "c", "d", "e"});
  Enc.Start(n);
  ASSERT_TRUE(WaitFinal());
  EXPECT_TRUE(Enc.Terminated());
  EXPECT_LE(Enc.Script.MaxRunning, n);
  EXPECT_EQ(Enc.Script.Started, 5);
  ExpectOneNoticeEachThenFinal(5);
  for (auto& x : Notices.Copy()) EXPECT_NE(x.Thread, std::this_thread::get_id());
  EXPECT_GT(progress, 0);
  EXPECT_EQ(progressOffMain, 0); // progress is delivered on the main thread
}

INSTANTIATE_TEST_SUITE_P(Counts, EncoderThreads, ::testing::Values(1, 2, 5));

TEST_F(Encoder, RefusedAndFailingTasksStillGetTheirNoticeAndTheRunEnds) {
  Notices.Attach(Enc);
  AddTasks({"a"});
  AddTasks({"no-output"}, false); // refused at its start
  AddTasks({"fail-c", "d"});
  Enc.Start(2);
  ASSERT_TRUE(WaitFinal());
  ExpectOneNoticeEachThenFinal(4);
  for (auto& x : Notices.Copy()) {
    if (x.Info.TaskIndex == 1) {
      EXPECT_FALSE(x.Info.Finished);
      EXPECT_TRUE(x.Info.Exception);
      EXPECT_EQ(x.Info.ExceptionMsg, "At least one output file must be specified");
    } else if (x.Info.TaskIndex == 2) {
      EXPECT_FALSE(x.Info.Finished);
      EXPECT_TRUE(x.Info.Exception);
      EXPECT_EQ(x.Info.ExceptionMsg, "stand-in failure");
    } else if (x.Info.TaskIndex >= 0) {
      EXPECT_TRUE(x.Info.Finished);
    }
  }
  EXPECT_EQ(Enc.Script.Started, 3);
}

TEST_F(Encoder, StopDuringARunEndsEveryTaskWithItsNotice) {
  Notices.Attach(Enc);
  AddTasks({"long-a", "b", "c"});
  Enc.Start(1);
  ASSERT_TRUE(Dispatcher.ProcessUntil([&] { return Enc.Script.Steps_done.load() > 0; }, 10s));
  Enc.Stop(false);
  ASSERT_TRUE(WaitFinal());
  ExpectOneNoticeEachThenFinal(3);
  EXPECT_EQ(Enc.Script.Started, 1); // tasks 1 and 2 never ran
  for (auto& x : Notices.Copy())
    if (x.Info.TaskIndex >= 0) {
      EXPECT_FALSE(x.Info.Finished) << x.Info.TaskIndex;
      EXPECT_FALSE(x.Info.Exception) << x.Info.TaskIndex;
    }
}

TEST_F(Encoder, PauseHoldsTheJobsAndStopEndsThePausedRun) {
  Notices.Attach(Enc);
  AddTasks({"long-a", "long-b", "c"});
  Enc.Start(2);
  ASSERT_TRUE(Dispatcher.ProcessUntil([&] { return Enc.Script.Started.load() == 2; }, 10s));
  Enc.Pause();
  EXPECT_TRUE(Enc.Paused());
  Dispatcher.ProcessFor(50ms);
  int steps = Enc.Script.Steps_done;
  Dispatcher.ProcessFor(100ms);
  EXPECT_EQ(Enc.Script.Steps_done, steps); // nothing moves while paused
  Enc.Resume();
  EXPECT_FALSE(Enc.Paused());
  ASSERT_TRUE(Dispatcher.ProcessUntil([&] { return Enc.Script.Steps_done.load() > steps; }, 10s));
  Enc.Pause();
  Enc.Stop(true);
  EXPECT_FALSE(Enc.Paused());
  ASSERT_TRUE(WaitFinal());
  ExpectOneNoticeEachThenFinal(3);
}

TEST_F(Encoder, StartOnAnEmptyListDeliversTheFinalNotice) {
  for (int threads : {0, 2}) {
    Notices.Final = false;
    Notices.Entries.clear();
    Notices.Attach(Enc);
    Enc.Start(threads);
    ASSERT_TRUE(WaitFinal()) << threads;
    auto e = Notices.Copy();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].Info.TaskIndex, -1);
    EXPECT_TRUE(Enc.Terminated());
    EXPECT_NO_THROW(Enc.ClearTasks());
    EXPECT_FALSE(Enc.Working());
  }
}

TEST_F(Encoder, GuardsRefuseWhileWorkingUntilTheListIsCleared) {
  AddTasks({"long-a"});
  Notices.Attach(Enc);
  Enc.Start(1);
  auto text = [](const std::function<void()>& ACall) -> std::string {
    try {
      ACall();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(text([&] { Enc.ClearTasks(); }), "Cannot ClearTasks while working.");
  Enc.Stop(true);
  ASSERT_TRUE(WaitFinal());
  // After the final notice the guards still hold until ClearTasks.
  EXPECT_EQ(text([&] { Enc.AddTask("x"); }), "Cannot AddTask while working.");
  EXPECT_EQ(text([&] { Enc.AddInputFile(0, "x"); }), "Cannot AddInputFile while working.");
  EXPECT_EQ(text([&] { Enc.SetOutputFile(0, "x"); }), "Cannot SetOutputFile while working.");
  EXPECT_EQ(text([&] { Enc.Exchange(0, 0); }), "Cannot Exchange while working.");
  EXPECT_EQ(text([&] { Enc.RemoveTask(0); }), "Cannot RemoveTask while working.");
  EXPECT_EQ(text([&] { Enc.Start(1); }), "Cannot StartTask while working.");
  EXPECT_NO_THROW(Enc.ClearTasks());
  EXPECT_EQ(Enc.TasksCount(), 0);
  EXPECT_GE(Enc.AddTask("y"), 0);
}

TEST_F(Encoder, LimitsIntervalsAndRecordsFilledInPlace) {
  EXPECT_EQ(Enc.Version(), "3.9");
  Enc.CustomMaxFiles = 2;
  TInputOptions in;
  InitInputOptions(in);
  int t = Enc.AddTask("first", &in);
  ASSERT_EQ(t, 0);
  EXPECT_EQ(in.FileName, "first"); // the caller's own record
  EXPECT_TRUE(Enc.AddInputFile(t, "second"));
  EXPECT_FALSE(Enc.AddInputFile(t, "third"));
  EXPECT_EQ(Enc.LastErrMsg(), "max input files 2 reached");
  EXPECT_TRUE(Enc.SetOutputFile(t, "o1"));
  EXPECT_TRUE(Enc.SetOutputFile(t, "o2"));
  EXPECT_FALSE(Enc.SetOutputFile(t, "o3"));
  EXPECT_EQ(Enc.LastErrMsg(), "max output files 2 reached");
  EXPECT_THROW(Enc.AddInputFile(5, "x"), std::out_of_range);
  // A refused input leaves no task; LastErrMsg survives later successes.
  EXPECT_EQ(Enc.AddTask("refuse"), -1);
  EXPECT_EQ(Enc.LastErrMsg(), "refuse: No such file or directory");
  EXPECT_EQ(Enc.TasksCount(), 1);
  EXPECT_EQ(Enc.AddTask("ok"), 1);
  EXPECT_EQ(Enc.LastErrMsg(), "refuse: No such file or directory");
  Enc.CustomMaxFiles = 0;
  EXPECT_THROW(Enc.AddTask("bad-max"), std::out_of_range);

  Enc.SetProgressInterval(50);
  EXPECT_EQ(Enc.ProgressInterval(), 100);
  Enc.Start(0);
  EXPECT_EQ(Enc.Task(0)->ReportInterval, 100000);
  Enc.ClearTasks();
  EXPECT_EQ(Enc.LastErrMsg(), "");
}

// ---------------------------------------------------------------------------
// Records to option state.

struct TMapCase {
  const char* Name;
  std::function<void(TOutputOptions&)> Fill;
  std::function<void(const TSnapshot&)> Check;
};

class EncoderMapping : public Encoder, public ::testing::WithParamInterface<TMapCase> {};

TEST_P(EncoderMapping, OutputRecordFieldBecomesOptionState) {
  TSnapshot snap;
  Enc.Snap = &snap;
  ASSERT_EQ(Enc.AddTask("in"), 0);
  TOutputOptions out;
  InitOutputOptions(out);
  GetParam().Fill(out);
  ASSERT_TRUE(Enc.SetOutputFile(0, "out", &out)) << Enc.LastErrMsg();
  EXPECT_EQ(out.FileName, "out");
  GetParam().Check(snap);
}

const TMapCase MapCases[] = {
    {"Defaults", [](TOutputOptions&) {},
     [](const TSnapshot& s) {
       EXPECT_FALSE(s.AudioCodec);
       EXPECT_EQ(s.Volume, 256);
       EXPECT_EQ(s.RecordingTime, INT64_MAX);
       EXPECT_EQ(s.AudioSync, 0);
       EXPECT_EQ(s.VideoSync, -1);
       EXPECT_TRUE(s.Metadata.empty());
       EXPECT_FALSE(s.Join);
     }},
    {"AudioFields",
     [](TOutputOptions& o) {
       o.AudioCodec = "mp2";
       o.AudioChannels = 1;
       o.AudioSampleRate = 22050;
       o.AudioBitrate = 96000;
       o.AudioBitRateTolerance = 5000;
       o.AudioTag = "abcd";
       o.ForceFormat = "wav";
     },
     [](const TSnapshot& s) {
       EXPECT_EQ(s.AudioCodec.value_or(""), "mp2");
       EXPECT_EQ(s.Channels, 1);
       EXPECT_EQ(s.SampleRate, 22050);
       EXPECT_EQ(s.AudioBitRate, 96000);
       EXPECT_EQ(s.AudioTolerance, 5000);
       EXPECT_EQ(s.AudioTag, uint32_t('a') | uint32_t('b') << 8 | uint32_t('c') << 16 | uint32_t('d') << 24);
       EXPECT_EQ(s.Format, "wav");
     }},
    {"NonPositiveValuesLeaveTheDefaults",
     [](TOutputOptions& o) {
       o.AudioChannels = 0;
       o.AudioSampleRate = 0;
       o.AudioBitrate = 0;
       o.AudioVolume = -1;
     },
     [](const TSnapshot& s) {
       EXPECT_EQ(s.Channels, 2);
       EXPECT_EQ(s.SampleRate, 44100);
       EXPECT_EQ(s.Volume, 256);
     }},
    {"TimesAndTotalDuration",
     [](TOutputOptions& o) {
       o.TimeStart = 10000000;
       o.TimeLength = 30000000;
     },
     [](const TSnapshot& s) {
       EXPECT_EQ(s.StartTime, 10000000);
       EXPECT_EQ(s.RecordingTime, 30000000);
       EXPECT_EQ(s.TotalDuration, 30000000);
     }},
    {"MuxTimesAndGenericNumbers",
     [](TOutputOptions& o) {
       o.MuxDelay = 0.25f;
       o.MuxPreload = 1.5f;
       o.PacketSize = 2048;
       o.GroupPictureSize = 30;
       o.VideoBitrate = 800000;
     },
     [](const TSnapshot& s) {
       EXPECT_FLOAT_EQ(s.MuxDelay, 0.25f);
       EXPECT_FLOAT_EQ(s.MuxPreload, 1.5f);
       EXPECT_EQ(s.PacketSize, 2048);
       EXPECT_EQ(s.Gop, 30);
       EXPECT_EQ(s.VideoBitRate, 800000);
     }},
    {"DisableFlagsOnlySet",
     [](TOutputOptions& o) {
       o.DisableVideo = true;
       o.DisableSubtitle = true;
       o.CopyTimestamp = true;
       o.ExtOptions = "an=1";
     },
     [](const TSnapshot& s) {
       EXPECT_TRUE(s.VideoOff);
       EXPECT_TRUE(s.SubtitleOff);
       EXPECT_TRUE(s.CopyTs);
       EXPECT_TRUE(s.AudioOff); // DisableAudio false does not clear the text's "an"
     }},
    {"RecordOverridesSyncAndLanguageLines",
     [](TOutputOptions& o) { o.ExtOptions = "async=5\nvsync=2\nisync=1\nalang=fra\nvlang=deu\nslang=ita"; },
     [](const TSnapshot& s) {
       EXPECT_EQ(s.AudioSync, 0);
       EXPECT_EQ(s.VideoSync, -1);
       EXPECT_FALSE(s.InputSync);
       EXPECT_EQ(s.AudioLanguage, "");
       EXPECT_EQ(s.VideoLanguage, "");
       EXPECT_EQ(s.SubtitleLanguage, "");
     }},
    {"FirstCodecLineIsTheDefaultWhenTheFieldIsEmpty",
     [](TOutputOptions& o) { o.ExtOptions = "ACODEC=mp2<CRLF>acodec=aac"; },
     [](const TSnapshot& s) { EXPECT_EQ(s.AudioCodec.value_or(""), "mp2"); }},
    {"FieldCodecWinsOverTheLines",
     [](TOutputOptions& o) {
       o.AudioCodec = "flac";
       o.ExtOptions = "acodec=mp2";
     },
     [](const TSnapshot& s) { EXPECT_EQ(s.AudioCodec.value_or(""), "flac"); }},
    {"TargetIgnoresTheAudioBitrate",
     [](TOutputOptions& o) {
       o.TargetType = ttDVD;
       o.NormType = ntPAL;
       o.AudioBitrate = 128000;
     },
     [](const TSnapshot& s) { EXPECT_EQ(s.AudioBitRate, 448000); }},
    {"MetadataInItsOrder",
     [](TOutputOptions& o) {
       o.Info.Genre = "Jazz";
       o.Info.Title = "T";
       o.Info.Track = 7;
       o.Info.Year = 1999;
       o.Info.Author = "A";
       o.Info.Album = "";
     },
     [](const TSnapshot& s) {
       using P = std::pair<std::string, std::string>;
       std::vector<P> want{
           {"year", "1999"}, {"track", "7"}, {"title", "T"}, {"author", "A"}, {"genre", "Jazz"}};
       EXPECT_EQ(s.Metadata, want);
     }},
    {"TimeStampNowAndGiven", [](TOutputOptions& o) { o.Info.TimeStamp = 0; },
     [](const TSnapshot& s) { EXPECT_NEAR(double(s.TimeStamp), double(std::time(nullptr)), 5.0); }},
    {"JoinFlag", [](TOutputOptions& o) { o.Join = true; }, [](const TSnapshot& s) { EXPECT_TRUE(s.Join); }},
};

INSTANTIATE_TEST_SUITE_P(Fields, EncoderMapping, ::testing::ValuesIn(MapCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(Encoder, VolumeAndTextForms) {
  TSnapshot snap;
  Enc.Snap = &snap;
  // The text forms: known names set record fields, the rest are option lines.
  TOutputOptions r =
      OutputOptionsFromText("join=1\nTimeLength=abc\nTIMESTART=5\nVideoHookBitsPixel=x\nab=64000");
  EXPECT_TRUE(r.Join);
  EXPECT_EQ(r.TimeLength, TimeNotSet);
  EXPECT_EQ(r.TimeStart, 5);
  EXPECT_EQ(r.VideoHookBitsPixel, 24);
  EXPECT_EQ(r.ExtOptions, "ab=64000\n");
  TInputOptions i = InputOptionsFromText("timestart=2000000<CRLF>ss=1");
  EXPECT_EQ(i.TimeStart, 2000000);
  EXPECT_EQ(i.ExtOptions, "ss=1\n");

  ASSERT_EQ(Enc.AddTask("in"), 0);
  for (int volume : {3, 128, 256, 384, 12800}) {
    TOutputOptions o;
    o.AudioVolume = volume;
    ASSERT_TRUE(Enc.SetOutputFile(0, "out", &o));
    EXPECT_EQ(snap.Volume, volume);
  }
  ASSERT_TRUE(Enc.SetOutputFile(0, "out", "Join=0\nacodec=mp2\nab=64000"));
  EXPECT_EQ(snap.AudioCodec.value_or(""), "mp2");
  EXPECT_EQ(snap.AudioBitRate, 64000);
  EXPECT_FALSE(snap.Join);
}

TEST(EncoderTime, LocalTimeStampsConvertWithTheZoneRules) {
  // 2020-07-01 12:00:00 local time.
  double ts = 44013.5;
  struct tm fields {};
  fields.tm_year = 120;
  fields.tm_mon = 6;
  fields.tm_mday = 1;
  fields.tm_hour = 12;
  fields.tm_isdst = -1;
  EXPECT_EQ(StreamTimeStampToUnix(ts), int64_t(mktime(&fields)));
}

} // namespace
