// The probe: its states, its errors, bad input, adopted contexts and the
// information text.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "decode/FFDecode.h"
#include "medialib/FFLoad.h"
#include "medialib/UnicodeProtocol.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

// Loading the libraries, their own start-up allocations (which become
// unreachable when a library is unmapped) are not ours to report.
void LoadLibraries() {
#if defined(__SANITIZE_ADDRESS__)
  __lsan_disable();
#endif
  bool ok = FFLoader().Load(ProbeLibraries);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_enable();
#endif
  ASSERT_TRUE(ok) << FFLoader().LastErrMsg();
}

class TLibraryEnvironment : public ::testing::Environment {
public:
  void SetUp() override { LoadLibraries(); }
  // The libraries stay mapped until the process ends.
};
const auto* const gLibraries = ::testing::AddGlobalTestEnvironment(new TLibraryEnvironment);

// Collects the probe's own log lines (not the libraries').
class TLogCapture {
public:
  explicit TLogCapture(void* ASender) {
    Logger().TriggerEventInMainThread = false;
    Logger().OnLog = [this, ASender](void* s, uint32_t, TLogLevel l, const std::string& m) {
      if (s != ASender) return;
      std::lock_guard lock(FLock);
      FLines.emplace_back(l, m);
    };
  }
  ~TLogCapture() { Logger().OnLog = nullptr; }
  std::vector<std::pair<TLogLevel, std::string>> Take() {
    std::lock_guard lock(FLock);
    return std::exchange(FLines, {});
  }

private:
  std::mutex FLock;
  std::vector<std::pair<TLogLevel, std::string>> FLines;
};

void ExpectNoFileState(TCustomDecoder& d) {
  EXPECT_EQ(d.FileHandle(), nullptr);
  EXPECT_EQ(d.FileSize(), -1);
  EXPECT_EQ(d.StreamCount(), -1);
  EXPECT_EQ(d.ProgramCount(), -1);
  EXPECT_EQ(d.AudioStreamCount(), -1);
  EXPECT_EQ(d.VideoStreamCount(), -1);
  EXPECT_EQ(d.SubtitleStreamCount(), -1);
  EXPECT_EQ(d.FirstAudioStreamIndex(), -1);
  EXPECT_EQ(d.FirstVideoStreamIndex(), -1);
  EXPECT_EQ(d.FirstSubtitleStreamIndex(), -1);
  EXPECT_EQ(d.ForceFormat(), "");
}

std::string MakeWav(const TTempDir& ADir, const std::string& AName) {
  std::string f = ADir / AName;
  MakeMedia({"-f", "lavfi", "-i", "sine=f=440:r=8000:d=0.5", "-c:a", "pcm_s16le", f});
  return f;
}

} // namespace

TEST(Probe, StatesCountsAndStreamQueries) {
  TTempDir dir;
  std::string wav = MakeWav(dir, "tone.wav");
  TFFDecoder d;
  TLogCapture log(&d);
  ExpectNoFileState(d);
  TFileStreamInfo none = d.FileStreamInfo();
  EXPECT_EQ(none.Duration, -1);
  EXPECT_EQ(none.Year, -1);
  EXPECT_EQ(d.FileInfoText(), "");
  EXPECT_EQ(d.LastErrMsg(), "file not loaded.");
  EXPECT_FALSE(d.IsAudioStream(0));

  // Unknown forced format: stored, not logged, and the loaded file is closed.
  ASSERT_TRUE(d.LoadFile(wav, "wav")) << d.LastErrMsg();
  EXPECT_EQ(d.ForceFormat(), "wav");
  EXPECT_EQ(d.AudioStreamCount(), 1);
  EXPECT_EQ(d.VideoStreamCount(), 0);
  EXPECT_EQ(d.FirstVideoStreamIndex(), -1);
  log.Take();
  EXPECT_FALSE(d.LoadFile(wav, "no_such_format"));
  EXPECT_EQ(d.LastErrMsg(), "Unknown input format: no_such_format");
  EXPECT_TRUE(log.Take().empty());
  ExpectNoFileState(d);

  // A failed open also closes the previous file, and is logged as an error.
  ASSERT_TRUE(d.LoadFile(wav));
  std::string missing = dir / "missing.wav";
  EXPECT_FALSE(d.LoadFile(missing));
  EXPECT_EQ(d.LastErrMsg(), missing + ": No such file or directory");
  auto lines = log.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, llError);
  ExpectNoFileState(d);

  // Stream queries on a file with one audio stream.
  ASSERT_TRUE(d.LoadFile(wav));
  EXPECT_EQ(d.ForceFormat(), "");
  struct TQuery {
    std::function<bool()> Run;
    const char* Message;
  };
  TVideoStreamInfo v;
  TAudioStreamInfo a;
  TSubtitleStreamInfo s;
  const TQuery queries[] = {
      {[&] { return d.GetVideoStreamInfo(-1, v); }, "no video stream."},
      {[&] { return d.GetSubtitleStreamInfo(-1, s); }, "no subtitle stream."},
      {[&] { return d.GetAudioStreamInfo(5, a); }, "stream index #5 is invalid."},
      {[&] { return d.GetAudioStreamInfo(1, a); }, "stream index #1 is invalid."},
      {[&] { return d.GetVideoStreamInfo(0, v); }, "stream #0 is not video stream."},
      {[&] { return d.GetSubtitleStreamInfo(0, s); }, "stream #0 is not subtitle stream."},
      {[&] { return d.IsAudioStream(-1); }, "stream index #-1 is invalid."},
      {[&] { return d.IsVideoStream(0); }, nullptr},
  };
  for (auto& q : queries) {
    d.FileInfoText(); // a success leaves LastErrMsg as it was
    EXPECT_FALSE(q.Run());
    if (q.Message) {
      EXPECT_EQ(d.LastErrMsg(), q.Message);
    }
  }
  EXPECT_EQ(v.Width, -1);
  EXPECT_EQ(v.FrameRate.num, -1);
  EXPECT_EQ(v.AspectRatio, -1.0f);
  EXPECT_EQ(a.SampleRate, -1);
  EXPECT_EQ(a.CodecName, "");
  ASSERT_TRUE(d.IsAudioStream(0));
  a = d.FirstAudioStreamInfo();
  EXPECT_EQ(a.SampleRate, 8000);
  EXPECT_EQ(a.Channels, 1);
  EXPECT_EQ(a.SampleFormat, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(a.CodecName, "pcm_s16le(PCM signed 16-bit little-endian)");
  // A WAVE stream has no start time of its own.
  EXPECT_EQ(a.StartTime, AV_NOPTS_VALUE);
  EXPECT_EQ(a.StartTimeScaled, -1);
  EXPECT_EQ(a.DurationScaled, 500000);

  d.CloseFile();
  ExpectNoFileState(d);
}

// A context handed in by its owner: the probe reports it, never closes it,
// never writes into it, and does not look at it again after the adoption.
TEST(Probe, AdoptedContext) {
  TTempDir dir;
  std::string wav = MakeWav(dir, "tone.wav");
  AVFormatContext* ctx = nullptr;
  ASSERT_GE(FFOpenInput(&ctx, wav, nullptr, nullptr), 0);
  ASSERT_GE(FF.avformat_find_stream_info(ctx, nullptr), 0);
  // A broken time base (denominator 0) as a demuxer might leave it.
  ctx->streams[0]->time_base = AVRational{8000, 0};

  {
    TFFDecoder d;
    d.SetFileHandle(ctx);
    EXPECT_EQ(d.FileHandle(), ctx);
    EXPECT_EQ(d.StreamCount(), 1);
    EXPECT_EQ(d.FileName(), wav);

    // The owner's reader adds streams (the streams array is reallocated).
    for (int i = 0; i < 40; ++i) ASSERT_NE(FF.avformat_new_stream(ctx, nullptr), nullptr);
    EXPECT_EQ(d.StreamCount(), 1);
    TAudioStreamInfo a;
    ASSERT_TRUE(d.GetAudioStreamInfo(0, a)) << d.LastErrMsg();
    EXPECT_EQ(a.SampleRate, 8000);
    // Rescaled with the repaired base 8000/8000, but the stream keeps its own.
    EXPECT_EQ(a.DurationScaled, a.Duration * 1000000);
    EXPECT_EQ(ctx->streams[0]->time_base.den, 0);
    EXPECT_FALSE(d.IsAudioStream(1));
    EXPECT_NE(d.FileInfoText().find("Stream #0, 1/0: Audio: pcm_s16le"), std::string::npos);

    // Adopting the current context again changes nothing.
    d.SetFileHandle(ctx);
    EXPECT_EQ(d.StreamCount(), 1);

    d.CloseFile();
    EXPECT_EQ(d.FileHandle(), nullptr);
    d.SetFileHandle(ctx);
    EXPECT_EQ(d.StreamCount(), 41);
    d.SetFileHandle(nullptr);
    ExpectNoFileState(d);
    d.SetFileHandle(ctx);
  } // destroyed while holding it: the context stays open

  ctx->streams[0]->time_base = AVRational{1, 8000};
  AVPacket* pkt = FF.av_packet_alloc();
  EXPECT_GE(FF.av_read_frame(ctx, pkt), 0);
  FF.av_packet_free(&pkt);
  FFCloseInput(&ctx);
}

// Files that are not media: each fails with a readable text and neither
// crashes nor hangs.
TEST(Probe, BadInputFails) {
  TTempDir dir;
  std::string mp3 = dir / "src.mp3", m4a = dir / "src.m4a";
  ASSERT_TRUE(MakeMedia(
      {"-f", "lavfi", "-i", "sine=f=440:r=44100:d=1", "-c:a", "libmp3lame", "-metadata", "title=Cut", mp3}));
  ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "sine=f=440:r=44100:d=1", "-c:a", "aac", m4a}));
  std::string data = ReadFile(m4a);
  ASSERT_GT(data.size(), 4000u);
  // Without "faststart" the moov atom is written last.
  ASSERT_NE(data.rfind("moov"), std::string::npos);
  ASSERT_GT(data.rfind("moov"), 4000u);

  std::string random(4096, '\0');
  std::mt19937 rng(7);
  for (auto& c : random) c = static_cast<char>(rng());

  const bool root = geteuid() == 0;
  struct TCase {
    const char* Name;
    std::function<std::string()> Make;
    const char* Description; // null: any text
  };
  const TCase cases[] = {
      {"empty",
       [&] {
         WriteFile(dir / "empty.mp3", "");
         return dir / "empty.mp3";
       },
       nullptr},
      {"random bytes",
       [&] {
         WriteFile(dir / "random.bin", random);
         return dir / "random.bin";
       },
       nullptr},
      {"truncated mp3",
       [&] {
         WriteFile(dir / "cut.mp3", ReadFile(mp3).substr(0, 400));
         return dir / "cut.mp3";
       },
       nullptr},
      {"m4a without moov",
       [&] {
         WriteFile(dir / "cut.m4a", data.substr(0, 4000));
         return dir / "cut.m4a";
       },
       "Invalid data found when processing input"},
      {"directory",
       [&] {
         std::filesystem::create_directory(dir / "folder.wav");
         return dir / "folder.wav";
       },
       "Is a directory"},
      {"missing", [&] { return dir / "nothing here.wav"; }, "No such file or directory"},
      {"unreadable",
       [&] {
         std::string f = dir / "locked.wav";
         WriteFile(f, ReadFile(mp3));
         chmod(f.c_str(), 0);
         return f;
       },
       "Permission denied"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    if (root && std::string(c.Name) == "unreadable") {
      std::cout << "[ SKIPPED  ] unreadable file: running as root\n";
      continue;
    }
    std::string file = c.Make();
    struct TResult {
      bool Loaded = true;
      std::string Err;
      int Streams = 0;
    };
    auto result = std::make_shared<TResult>();
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread worker([file, result, done] {
      TFFDecoder d;
      result->Loaded = d.LoadFile(file);
      result->Err = d.LastErrMsg();
      result->Streams = d.StreamCount();
      done->set_value();
    });
    if (finished.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      worker.detach();
      ADD_FAILURE() << "LoadFile hangs on " << file;
      continue;
    }
    worker.join();
    EXPECT_FALSE(result->Loaded);
    EXPECT_EQ(result->Streams, -1);
    ASSERT_EQ(result->Err.rfind(file + ": ", 0), 0u) << result->Err;
    EXPECT_GT(result->Err.size(), file.size() + 2);
    EXPECT_EQ(result->Err.find("Error number"), std::string::npos) << result->Err;
    if (c.Description) {
      EXPECT_EQ(result->Err, file + ": " + c.Description);
    }
  }
}

TEST(Probe, MissingLibraryRaises) {
  // The probe's libraries stay loaded by the test environment; a probe that
  // loads them itself adds a load and gives it back when destroyed.
  int before = FFLoader().LoadCount(avFormat);
  {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadAVLib(FFLoader().LibraryPath())) << d.LastErrMsg();
    EXPECT_TRUE(d.AVLibLoaded());
    EXPECT_EQ(FFLoader().LoadCount(avFormat), before + 1);
  }
  EXPECT_EQ(FFLoader().LoadCount(avFormat), before);

  FFLoader().Unload(ProbeLibraries);
  ASSERT_FALSE(FFLoader().Loaded(avCodec));
  TFFDecoder d;
  EXPECT_FALSE(d.AVLibLoaded());
  try {
    d.LoadFile("/nonexistent.wav");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
  }
  LoadLibraries();
}

TEST(Probe, MetadataDisplayKeys) {
  EXPECT_EQ(MetadataDisplayKey("INAM"), "title");
  EXPECT_EQ(MetadataDisplayKey("inam"), "inam");
  EXPECT_EQ(MetadataDisplayKey("WM/TrackNumber"), "track");
  EXPECT_EQ(MetadataDisplayKey("Author"), "artist");
  EXPECT_EQ(MetadataDisplayKey("TSOT"), "title-sort");
  EXPECT_EQ(MetadataDisplayKey("ENCODER"), "ENCODER");
}

// The information text of two fixed fixtures, written out line by line.
TEST(Probe, FileInfoText) {
  TTempDir dir;
  std::string meta = dir / "chapters.txt";
  WriteFile(meta, ";FFMETADATA1\ntitle=Golden\n"
                  "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=500\ntitle=Intro\n"
                  "[CHAPTER]\nTIMEBASE=1/1000\nSTART=500\nEND=1000\ntitle=Rest\n");
  const std::string mkv = dir / "golden.mkv", ts = dir / "golden.ts";
  ASSERT_TRUE(MakeMedia({"-f",
                         "lavfi",
                         "-i",
                         "testsrc=size=64x48:rate=25:duration=1",
                         "-f",
                         "lavfi",
                         "-i",
                         "sine=f=440:r=8000:d=1",
                         "-i",
                         meta,
                         "-map",
                         "0",
                         "-map",
                         "1",
                         "-map_metadata",
                         "2",
                         "-map_chapters",
                         "2",
                         "-c:v",
                         "mpeg4",
                         "-g",
                         "5",
                         "-c:a",
                         "pcm_s16le",
                         "-metadata:s:a",
                         "language=ger",
                         "-fflags",
                         "+bitexact",
                         "-flags",
                         "+bitexact",
                         mkv}));
  ASSERT_TRUE(MakeMedia({"-f",       "lavfi",
                         "-i",       "sine=f=440:r=48000:d=1",
                         "-f",       "lavfi",
                         "-i",       "sine=f=880:r=48000:d=1",
                         "-map",     "0",
                         "-map",     "1",
                         "-c:a",     "mp2",
                         "-b:a",     "64k",
                         "-program", "title=One:program_num=1:st=0",
                         "-program", "title=Two:program_num=2:st=1",
                         "-fflags",  "+bitexact",
                         "-flags",   "+bitexact",
                         "-f",       "mpegts",
                         ts}));
  struct TCase {
    std::string File;
    int64_t Size;
    std::vector<std::string> Lines;
  };
  const TCase cases[] = {
      {mkv,
       28767,
       {"File Name: " + mkv,
        "Format Name: matroska,webm",
        "Format Long Name: Matroska / WebM",
        "File Size: 28.09 KB",
        "Duration: 00:00:01.000",
        "StartTime: 0.000000",
        "Bit Rate: 230 kb/s",
        "Metadata:",
        "  title           : Golden",
        "  encoder         : Lavf",
        "Chapter #0: start 0.00, end 0.50",
        "  Metadata:",
        "    title           : Intro",
        "Chapter #1: start 0.50, end 1.00",
        "  Metadata:",
        "    title           : Rest",
        "Stream #0, 1/1000: Video: mpeg4 (Simple Profile), yuv420p(tv, progressive), 64x48 [SAR 1:1 DAR "
        "4:3], "
        "25 fps, 25 tbr, 1k tbn, StartTime: 0.000000, Duration: N/A",
        "  Metadata:",
        "    ENCODER         : Lavc mpeg4",
        "    DURATION        : 00:00:01.000000000",
        "Stream #1(ger), 1/1000: Audio: pcm_s16le, 8000 Hz, 1 channels, s16, 128 kb/s, StartTime: 0.000000, "
        "Duration: N/A",
        "  Metadata:",
        "    ENCODER         : Lavc pcm_s16le",
        "    DURATION        : 00:00:01.000000000"}},
      {ts,
       18988,
       {"File Name: " + ts, "Format Name: mpegts", "Format Long Name: MPEG-TS (MPEG-2 Transport Stream)",
        "File Size: 18.54 KB", "Duration: 00:00:00.744", "StartTime: 1.400000", "Bit Rate: 204 kb/s",
        "Program 1 FFmpeg@One", "  Metadata:", "    service_name    : One", "    service_provider: FFmpeg",
        "Stream #0[0x100], 1/90000: Audio: mp2 ([3][0][0][0] / 0x0003), 48000 Hz, mono, fltp, 64 kb/s, "
        "StartTime: 1.400000, Duration: 00:00:00.744",
        "Program 2 FFmpeg@Two", "  Metadata:", "    service_name    : Two", "    service_provider: FFmpeg",
        "Stream #1[0x101], 1/90000: Audio: mp2 ([3][0][0][0] / 0x0003), 48000 Hz, mono, s16p, 64 kb/s, "
        "StartTime: 1.400000, Duration: 00:00:00.744"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.File);
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(c.File)) << d.LastErrMsg();
    ASSERT_EQ(d.FileSize(), c.Size) << "the fixture changed; its expected text needs a look";
    std::string expected;
    for (auto& l : c.Lines) expected += l + "\r\n";
    EXPECT_EQ(d.FileInfoText(), expected);
  }
}
