// The probe against Debian's ffprobe, run as a black box on the same media
// libraries: every value both report must be equal.
//
// Presentation differences, normalised before comparing:
// - times: ffprobe prints seconds with six decimals, the probe keeps µs
//   (start/duration) and raw stream units (start_pts/duration_ts);
// - a bit rate ffprobe leaves out is 0 in the probe;
// - ffprobe names the codec by its id ("mp3"), the probe by its decoder and
//   long name ("mp3float(MP3 (MPEG audio layer 3))"): the probe's name must be
//   the one of the decoder registered for ffprobe's codec id;
// - sample and pixel formats are enumerations in the probe, names in ffprobe;
// - frame rates are "num/den" texts in ffprobe;
// - Ogg keeps its comments on the stream: ffprobe shows them there, the probe
//   reports them as the file's;
// - the probe reads the artist into Author, the year and the track number as
//   the leading numbers of "date" and "track";
// - chapters and programs appear only in the probe's information text, with
//   two decimals for chapter times and "provider@name" for programs.
#include <strings.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

#include <fmt/printf.h>
#include <gtest/gtest.h>

#include "decode/FFDecode.h"
#include "medialib/FFLoad.h"
#include "medialib/UnicodeProtocol.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class TLibraryEnvironment : public ::testing::Environment {
public:
  void SetUp() override { ASSERT_TRUE(FFLoader().Load(ProbeLibraries)) << FFLoader().LastErrMsg(); }
  // The libraries stay mapped until the process ends.
};
const auto* const gLibraries = ::testing::AddGlobalTestEnvironment(new TLibraryEnvironment);

// Just enough JSON for ffprobe's output. Numbers keep their text.
struct TJson {
  enum TKind { jNull, jBool, jNumber, jString, jArray, jObject } Kind = jNull;
  std::string Text;
  std::vector<TJson> Items;
  std::vector<std::pair<std::string, TJson>> Members;

  const TJson* Find(const std::string& AKey) const {
    for (auto& m : Members)
      if (m.first == AKey) return &m.second;
    return nullptr;
  }
  // Tag lookup: keys compared without regard to case, like the library's.
  const TJson* FindNoCase(const std::string& AKey) const {
    for (auto& m : Members)
      if (strcasecmp(m.first.c_str(), AKey.c_str()) == 0) return &m.second;
    return nullptr;
  }
  const TJson& operator[](const std::string& AKey) const {
    static const TJson null;
    auto v = Find(AKey);
    return v ? *v : null;
  }
  bool Has(const std::string& AKey) const { return Find(AKey) != nullptr; }
  std::string Str(const std::string& AKey) const { return (*this)[AKey].Text; }
  int64_t Int(const std::string& AKey, int64_t ADefault = 0) const {
    auto v = Find(AKey);
    return v ? std::stoll(v->Text) : ADefault;
  }
};

class TJsonParser {
public:
  explicit TJsonParser(const std::string& AText) : FText(AText) {}
  TJson Parse() {
    TJson v = Value();
    Space();
    if (FPos != FText.size()) throw std::runtime_error("trailing JSON text");
    return v;
  }

private:
  const std::string& FText;
  size_t FPos = 0;

  void Space() {
    while (FPos < FText.size() && std::isspace(static_cast<unsigned char>(FText[FPos]))) ++FPos;
  }
  char Peek() {
    Space();
    if (FPos >= FText.size()) throw std::runtime_error("JSON ends early");
    return FText[FPos];
  }
  void Expect(char c) {
    if (Peek() != c) throw std::runtime_error(std::string("JSON: expected ") + c);
    ++FPos;
  }
  std::string String() {
    Expect('"');
    std::string s;
    while (FPos < FText.size() && FText[FPos] != '"') {
      char c = FText[FPos++];
      if (c != '\\') {
        s += c;
        continue;
      }
      char e = FText[FPos++];
      switch (e) {
      case 'n':
        s += '\n';
        break;
      case 't':
        s += '\t';
        break;
      case 'r':
        s += '\r';
        break;
      case 'b':
        s += '\b';
        break;
      case 'f':
        s += '\f';
        break;
      case 'u': {
        unsigned cp = std::stoul(FText.substr(FPos, 4), nullptr, 16);
        FPos += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && FText.compare(FPos, 2, "\\u") == 0) {
          unsigned lo = std::stoul(FText.substr(FPos + 2, 4), nullptr, 16);
          FPos += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        }
        if (cp < 0x80) {
          s += static_cast<char>(cp);
        } else if (cp < 0x800) {
          s += static_cast<char>(0xC0 | (cp >> 6));
          s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
          s += static_cast<char>(0xE0 | (cp >> 12));
          s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          s += static_cast<char>(0xF0 | (cp >> 18));
          s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
          s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          s += static_cast<char>(0x80 | (cp & 0x3F));
        }
        break;
      }
      default:
        s += e;
      }
    }
    Expect('"');
    return s;
  }
  TJson Value() {
    TJson v;
    char c = Peek();
    if (c == '{') {
      v.Kind = TJson::jObject;
      ++FPos;
      if (Peek() == '}') return ++FPos, v;
      for (;;) {
        std::string key = String();
        Expect(':');
        v.Members.emplace_back(key, Value());
        if (Peek() == ',') {
          ++FPos;
          continue;
        }
        Expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.Kind = TJson::jArray;
      ++FPos;
      if (Peek() == ']') return ++FPos, v;
      for (;;) {
        v.Items.push_back(Value());
        if (Peek() == ',') {
          ++FPos;
          continue;
        }
        Expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.Kind = TJson::jString;
      v.Text = String();
      return v;
    }
    size_t start = FPos;
    while (FPos < FText.size() && std::string_view(",}] \t\r\n").find(FText[FPos]) == std::string_view::npos)
      ++FPos;
    v.Text = FText.substr(start, FPos - start);
    if (v.Text == "true" || v.Text == "false")
      v.Kind = TJson::jBool;
    else if (v.Text == "null")
      v.Kind = TJson::jNull;
    else
      v.Kind = TJson::jNumber;
    if (v.Text.empty()) throw std::runtime_error("JSON: bad value");
    return v;
  }
};

// "-0.007000" -> -7000: the six decimals ffprobe prints are exact µs.
int64_t MicroSecondsOf(const std::string& ASeconds) {
  bool neg = !ASeconds.empty() && ASeconds[0] == '-';
  std::string s = neg ? ASeconds.substr(1) : ASeconds;
  auto dot = s.find('.');
  std::string whole = s.substr(0, dot), frac = dot == std::string::npos ? "" : s.substr(dot + 1);
  frac = (frac + "000000").substr(0, 6);
  int64_t v = std::stoll(whole) * 1000000 + std::stoll(frac);
  return neg ? -v : v;
}

int LeadingNumber(const std::string& AText) {
  return std::atoi(AText.c_str());
}

std::string DecoderDisplayName(const std::string& ACodecId) {
  const AVCodecDescriptor* desc = FF.avcodec_descriptor_get_by_name(ACodecId.c_str());
  if (!desc) return "?" + ACodecId;
  const AVCodec* dec = FF.avcodec_find_decoder(desc->id);
  if (!dec) return "?" + ACodecId;
  return fmt::sprintf("%s(%s)", dec->name, dec->long_name);
}

std::string RateOf(AVRational ARate) {
  return fmt::sprintf("%d/%d", ARate.num, ARate.den);
}

struct TTagsExpected {
  const char* Title; // the fixture's title; null when it has no tags
  bool OnStream;     // ffprobe shows them on the first stream (Ogg)
};

struct TCase {
  const char* Name;
  const char* File;
  std::vector<std::string> Args; // ffmpeg arguments before the output file
  TTagsExpected Tags;
};

std::vector<std::string> Sine(const char* ARate, const char* ASeconds = "1") {
  return {"-f", "lavfi", "-i", fmt::sprintf("sine=f=440:r=%s:d=%s", ARate, ASeconds)};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> cTags = {"-metadata", "title=Probe Title", "-metadata", "artist=Probe Artist",
                                        "-metadata", "album=Probe Album", "-metadata", "date=2009-05-06",
                                        "-metadata", "track=3/12"};

} // namespace

TEST(ProbeConformance, MatchesFFprobe) {
  setenv("TZ", "UTC", 1);
  tzset();
  TTempDir dir;
  const std::string chapters = dir / "chapters.txt";
  WriteFile(chapters, ";FFMETADATA1\ntitle=With Chapters\n"
                      "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=400\ntitle=First\n"
                      "[CHAPTER]\nTIMEBASE=1/1000\nSTART=400\nEND=1250\ntitle=Second\n");
  const std::vector<std::string> video = {"-f", "lavfi", "-i",
                                          "testsrc=size=96x64:rate=30000/1001:duration=1"};

  const TCase cases[] = {
      {"wav s16",
       "s16.wav",
       Sine("22050") + std::vector<std::string>{"-ac", "2", "-c:a", "pcm_s16le"} + cTags,
       {"Probe Title", false}},
      {"wav float",
       "float.wav",
       Sine("44100") + std::vector<std::string>{"-c:a", "pcm_f32le"},
       {nullptr, false}},
      {"mp3 id3",
       "tags.mp3",
       Sine("44100") + std::vector<std::string>{"-c:a", "libmp3lame", "-b:a", "64k"} + cTags,
       {"Probe Title", false}},
      {"aac m4a",
       "tags.m4a",
       Sine("48000") +
           std::vector<std::string>{"-c:a", "aac", "-b:a", "48k", "-metadata",
                                    "creation_time=2010-05-06T12:00:00Z"} +
           cTags,
       {"Probe Title", false}},
      {"flac",
       "tags.flac",
       Sine("44100") + std::vector<std::string>{"-c:a", "flac"} + cTags,
       {"Probe Title", false}},
      {"ogg vorbis",
       "tags.ogg",
       Sine("44100") + std::vector<std::string>{"-c:a", "libvorbis"} + cTags,
       {"Probe Title", true}},
      {"opus mka",
       "opus.mka",
       Sine("48000") + std::vector<std::string>{"-c:a", "libopus", "-b:a", "32k"},
       {nullptr, false}},
      {"mkv chapters",
       "chapters.mkv",
       Sine("8000", "1.25") + std::vector<std::string>{"-i", chapters, "-map", "0", "-map_metadata", "1",
                                                       "-map_chapters", "1", "-c:a", "flac", "-metadata:s:a",
                                                       "language=eng"},
       {"With Chapters", false}},
      {"mp4 video",
       "video.mp4",
       video + Sine("44100") +
           std::vector<std::string>{"-c:v", "mpeg4", "-c:a", "aac", "-metadata", "title=Clip"},
       {"Clip", false}},
      {"mpegts programs",
       "programs.ts",
       Sine("48000") + Sine("44100") +
           std::vector<std::string>{"-map", "0", "-map", "1", "-c:a", "mp2", "-program",
                                    "title=First:program_num=1:st=0", "-program",
                                    "title=Second:program_num=7:st=1", "-f", "mpegts"},
       {nullptr, false}},
      {"non-ascii name",
       "тест ü – name.wav",
       Sine("8000") + std::vector<std::string>{"-c:a", "pcm_u8"} + cTags,
       {"Probe Title", false}},
  };

  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string file = dir / c.File;
    ASSERT_TRUE(MakeMedia(c.Args + std::vector<std::string>{file}));
    const TJson oracle = TJsonParser(ProbeJSON(file, {"-show_chapters", "-show_programs"})).Parse();
    const TJson& format = oracle["format"];
    const TJson& streams = oracle["streams"];

    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(file)) << d.LastErrMsg();
    EXPECT_EQ(d.FileName(), file);

    // Container.
    EXPECT_EQ(d.FormatName(), format.Str("format_name"));
    EXPECT_EQ(d.FormatLongName(), format.Str("format_long_name"));
    EXPECT_EQ(d.FileSize(), format.Int("size"));
    EXPECT_EQ(d.StreamCount(), format.Int("nb_streams"));
    EXPECT_EQ(d.ProgramCount(), format.Int("nb_programs"));
    TFileStreamInfo fi = d.FileStreamInfo();
    EXPECT_EQ(fi.Duration, format.Has("duration") ? MicroSecondsOf(format.Str("duration")) : -1);
    EXPECT_EQ(fi.StartTime, format.Has("start_time") ? MicroSecondsOf(format.Str("start_time")) : -1);
    EXPECT_EQ(fi.BitRate, format.Int("bit_rate", 0));

    // Tags.
    const TJson& tags = c.Tags.OnStream ? streams.Items.at(0)["tags"] : format["tags"];
    auto tag = [&](const char* k) {
      auto v = tags.FindNoCase(k);
      return v ? v->Text : std::string();
    };
    if (c.Tags.Title) {
      EXPECT_EQ(tag("title"), c.Tags.Title) << "the fixture carries no tags";
    }
    EXPECT_EQ(fi.Title, tag("title"));
    EXPECT_EQ(fi.Author, tag("artist"));
    EXPECT_EQ(fi.Album, tag("album"));
    EXPECT_EQ(fi.Year, LeadingNumber(tag("date")));
    EXPECT_EQ(fi.Track, LeadingNumber(tag("track")));
    const std::string created = tag("creation_time");
    if (created.empty()) {
      EXPECT_EQ(fi.TimeStamp, 0);
    } else {
      struct tm tm {};
      ASSERT_EQ(sscanf(created.c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                       &tm.tm_hour, &tm.tm_min, &tm.tm_sec),
                6)
          << created;
      tm.tm_year -= 1900;
      tm.tm_mon -= 1;
      EXPECT_EQ(fi.TimeStamp, static_cast<int64_t>(timegm(&tm)));
      // Shown in local time; the test runs in UTC.
      EXPECT_NE(d.FileInfoText().find(fmt::sprintf("\r\nTime Stamp: %.4d-%.2d-%.2d %.2d:%.2d:%.2d\r\n",
                                                   tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                                   tm.tm_min, tm.tm_sec)),
                std::string::npos);
    }

    // Streams.
    int audio = 0, video = 0;
    const std::string text = d.FileInfoText();
    ASSERT_EQ(streams.Items.size(), static_cast<size_t>(d.StreamCount()));
    for (size_t i = 0; i < streams.Items.size(); ++i) {
      SCOPED_TRACE(fmt::sprintf("stream %d", i));
      const TJson& st = streams.Items[i];
      const std::string type = st.Str("codec_type");
      const int idx = static_cast<int>(i);
      EXPECT_EQ(d.IsAudioStream(idx), type == "audio");
      EXPECT_EQ(d.IsVideoStream(idx), type == "video");
      EXPECT_EQ(d.IsSubtitleStream(idx), type == "subtitle");
      const std::string language =
          st["tags"].FindNoCase("language") ? st["tags"].FindNoCase("language")->Text : "";
      const int64_t startScaled = st.Has("start_time") ? MicroSecondsOf(st.Str("start_time")) : -1;
      const int64_t durationScaled = st.Has("duration") ? MicroSecondsOf(st.Str("duration")) : -1;
      const int64_t startRaw = st.Has("start_pts") ? st.Int("start_pts") : AV_NOPTS_VALUE;
      const int64_t durationRaw = st.Has("duration_ts") ? st.Int("duration_ts") : AV_NOPTS_VALUE;
      if (st.Has("start_time")) {
        EXPECT_NE(text.find(", StartTime: " + st.Str("start_time") + ","), std::string::npos) << text;
      }

      if (type == "audio") {
        ++audio;
        TAudioStreamInfo a;
        ASSERT_TRUE(d.GetAudioStreamInfo(idx, a)) << d.LastErrMsg();
        EXPECT_EQ(a.CodecName, DecoderDisplayName(st.Str("codec_name")));
        EXPECT_EQ(a.SampleRate, st.Int("sample_rate"));
        EXPECT_EQ(a.Channels, st.Int("channels"));
        EXPECT_STREQ(FF.av_get_sample_fmt_name(a.SampleFormat), st.Str("sample_fmt").c_str());
        EXPECT_EQ(a.BitRate, st.Int("bit_rate", 0));
        EXPECT_EQ(a.Language, language);
        EXPECT_EQ(a.StartTime, startRaw);
        EXPECT_EQ(a.Duration, durationRaw);
        EXPECT_NEAR(a.StartTimeScaled, startScaled, 1);
        EXPECT_NEAR(a.DurationScaled, durationScaled, 1);
      } else if (type == "video") {
        ++video;
        TVideoStreamInfo v;
        ASSERT_TRUE(d.GetVideoStreamInfo(idx, v)) << d.LastErrMsg();
        EXPECT_EQ(v.CodecName, DecoderDisplayName(st.Str("codec_name")));
        EXPECT_EQ(v.Width, st.Int("width"));
        EXPECT_EQ(v.Height, st.Int("height"));
        EXPECT_STREQ(FF.av_get_pix_fmt_name(v.PixFmt), st.Str("pix_fmt").c_str());
        const std::string avg = st.Str("avg_frame_rate");
        const bool avgSet = avg.find("0/") != 0 && avg.find("/0") == std::string::npos;
        EXPECT_EQ(RateOf(v.FrameRate), avgSet ? avg : st.Str("r_frame_rate"));
        EXPECT_EQ(v.BitRate, st.Int("bit_rate", 0));
        EXPECT_EQ(v.Language, language);
        EXPECT_EQ(v.StartTime, startRaw);
        EXPECT_EQ(v.Duration, durationRaw);
        EXPECT_NEAR(v.StartTimeScaled, startScaled, 1);
        EXPECT_NEAR(v.DurationScaled, durationScaled, 1);
        if (st.Has("display_aspect_ratio") && st.Str("sample_aspect_ratio") != "0:1") {
          const std::string dar = st.Str("display_aspect_ratio");
          const double expected =
              std::stod(dar.substr(0, dar.find(':'))) / std::stod(dar.substr(dar.find(':') + 1));
          EXPECT_NEAR(v.AspectRatio, expected, 1e-3);
        }
      }
    }
    EXPECT_EQ(d.AudioStreamCount(), audio);
    EXPECT_EQ(d.VideoStreamCount(), video);

    // Chapters and programs, as the information text shows them.
    const TJson& chapterList = oracle["chapters"];
    for (size_t i = 0; i < chapterList.Items.size(); ++i) {
      const TJson& ch = chapterList.Items[i];
      std::string line = fmt::sprintf(
          "Chapter #%d: start %.2f, end %.2f\r\n  Metadata:\r\n    title           : %s\r\n", i,
          std::stod(ch.Str("start_time")), std::stod(ch.Str("end_time")), ch["tags"].Str("title"));
      EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    for (auto& p : oracle["programs"].Items) {
      const std::string line = fmt::sprintf("Program %d %s@%s\r\n", p.Int("program_id"),
                                            p["tags"].Str("service_provider"), p["tags"].Str("service_name"));
      size_t at = text.find(line);
      ASSERT_NE(at, std::string::npos) << line << text;
      size_t next = text.find("Program ", at + line.size());
      for (auto& ps : p["streams"].Items) {
        size_t idx = ps.Int("index");
        std::string stream = fmt::sprintf("Stream #%d[%s], ", idx, streams.Items.at(idx).Str("id"));
        size_t s = text.find(stream, at);
        EXPECT_TRUE(s != std::string::npos && s < next) << stream << " not under " << line << text;
      }
    }
    if (c.Name == std::string("mkv chapters")) {
      EXPECT_EQ(chapterList.Items.size(), 2u);
    }
    if (c.Name == std::string("mpegts programs")) {
      EXPECT_EQ(oracle["programs"].Items.size(), 2u);
    }
    if (c.Name == std::string("non-ascii name")) {
      // Where the 8-bit character set cannot hold the name, the file opens
      // through the "unicode:utf8:" form and reads the same.
      SetLibraryCodeset("ANSI_X3.4-1968");
      EXPECT_TRUE(IsUnicodeURL(ToLibraryName(file)));
      TFFDecoder u;
      const bool loaded = u.LoadFile(file);
      SetLibraryCodeset("");
      ASSERT_TRUE(loaded) << u.LastErrMsg();
      EXPECT_EQ(u.FileName(), file);
      EXPECT_EQ(u.FileSize(), d.FileSize());
      EXPECT_EQ(u.FileInfoText(), text);
    }
    if (c.Name == std::string("opus mka")) {
      EXPECT_LT(d.FirstAudioStreamInfo().StartTimeScaled, 0);
    }
  }
}
