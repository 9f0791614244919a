#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "engine/FFmpegJob.h"
#include "log/FFLog.h"
#include "util/MainThread.h"
#include "medialib/FFLoad.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

// Error lines of the log sink since the last Convert.
std::string GErrors;

class Transcode : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
    Logger().TriggerEventInMainThread = false;
    Logger().SetLogLevel(llError);
    Logger().OnLog = [](void*, uint32_t, TLogLevel ALevel, const std::string& AMsg) {
      if (ALevel <= llError) GErrors += AMsg + "\n";
    };
  }
  static void TearDownTestSuite() { Logger().OnLog = nullptr; }
  TTempDir Dir;
};

struct TResult {
  bool Opened = false;
  bool Finished = false;
  bool Fatal = false;
  std::string Message;
};

// Converts AInputs into AOutput with the option texts given before the
// inputs and before the output.
TResult Convert(const std::vector<std::string>& AInputs, const std::string& AOutput,
                const std::string& AOutputOptions = "", bool AJoin = false,
                const std::string& AInputOptions = "") {
  TResult r;
  GErrors.clear();
  TFFmpegJob job;
  for (auto& in : AInputs) {
    if (!AInputOptions.empty()) job.SetExtOptions(AInputOptions);
    if (!job.OpenInputFile(in)) {
      r.Message = job.LastErrMsg();
      return r;
    }
  }
  if (!AOutputOptions.empty()) job.SetExtOptions(AOutputOptions);
  if (job.OpenOutputFile(AOutput, AJoin) < 0) {
    r.Message = job.LastErrMsg();
    return r;
  }
  job.JoinSetup();
  r.Opened = true;
  job.StartConvert(false);
  r.Finished = job.Finished();
  r.Fatal = job.FatalException();
  r.Message = job.FatalMessage();
  return r;
}

// A few fields of ffprobe's JSON.
std::string JsonField(const std::string& AJson, const std::string& AKey) {
  auto p = AJson.find("\"" + AKey + "\"");
  if (p == std::string::npos) return {};
  p = AJson.find(':', p) + 1;
  while (AJson[p] == ' ' || AJson[p] == '"') ++p;
  auto e = AJson.find_first_of("\",\n}", p);
  return AJson.substr(p, e - p);
}

} // namespace

TEST_F(Transcode, WavToMp3) {
  std::string in = Dir / "in.wav", out = Dir / "out.mp3";
  ASSERT_TRUE(
      MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=2:sample_rate=44100", "-ac", "2", in}));
  auto r = Convert({in}, out, "acodec=libmp3lame<CRLF>ab=128k<CRLF>ar=48000");
  ASSERT_TRUE(r.Opened) << r.Message;
  EXPECT_TRUE(r.Finished) << r.Message;
  auto j = ProbeJSON(out);
  EXPECT_EQ(JsonField(j, "codec_name"), "mp3");
  EXPECT_EQ(JsonField(j, "sample_rate"), "48000");
  EXPECT_EQ(JsonField(j, "channels"), "2");
  EXPECT_NEAR(std::stod(JsonField(j, "duration")), 2.0, 0.06);
}

namespace {

// Decodes AFile with Debian's ffmpeg into float samples (interleaved, the
// file's own rate and channel count).
struct TDecoded {
  std::string Codec;
  int Rate = 0;
  int Channels = 0;
  std::vector<float> Samples;
  int64_t Frames() const { return Channels ? int64_t(Samples.size()) / Channels : 0; }
};

TDecoded Decode(const std::string& AFile) {
  TDecoded d;
  auto j = ProbeJSON(AFile, {"-strict", "-2", "-select_streams", "a:0"});
  d.Codec = JsonField(j, "codec_name");
  d.Rate = std::atoi(JsonField(j, "sample_rate").c_str());
  d.Channels = std::atoi(JsonField(j, "channels").c_str());
  auto r = RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-strict", "-2", "-i", AFile, "-map", "0:a:0",
                       "-f", "f32le", "-"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  d.Samples.resize(r.Out.size() / sizeof(float));
  memcpy(d.Samples.data(), r.Out.data(), d.Samples.size() * sizeof(float));
  return d;
}

// Frequency of channel AChannel by counting rising zero crossings over the
// middle of the signal.
[[maybe_unused]] double Frequency(const TDecoded& AD, int AChannel) {
  int64_t n = AD.Frames();
  int64_t from = n / 4, to = n * 3 / 4;
  int64_t first = -1, last = -1, count = 0;
  for (int64_t i = from + 1; i < to; ++i) {
    float a = AD.Samples[(i - 1) * AD.Channels + AChannel], b = AD.Samples[i * AD.Channels + AChannel];
    if (a < 0 && b >= 0) {
      if (first < 0) first = i;
      last = i;
      ++count;
    }
  }
  if (count < 2) return 0;
  return double(count - 1) * AD.Rate / double(last - first);
}

[[maybe_unused]] double Rms(const TDecoded& AD, int AChannel) {
  int64_t n = AD.Frames();
  double s = 0;
  int64_t k = 0;
  for (int64_t i = n / 4; i < n * 3 / 4; ++i, ++k) {
    double v = AD.Samples[i * AD.Channels + AChannel];
    s += v * v;
  }
  return k ? std::sqrt(s / double(k)) : 0;
}

// Muxers that say they take the codec, preferred ones first.
std::vector<std::pair<std::string, std::string>> ContainersFor(const AVCodec* ACodec) {
  static const char* const KPreferred[] = {"matroska", "mp4", "ogg", "asf", "wav", "caf"};
  std::vector<std::pair<std::string, std::string>> r;
  auto ext = [](const AVOutputFormat* f) {
    std::string e = f->extensions ? f->extensions : "";
    return e.substr(0, e.find(','));
  };
  auto add = [&](const AVOutputFormat* f) {
    for (auto& x : r)
      if (x.first == f->name) return;
    r.push_back({f->name, ext(f)});
  };
  for (auto name : KPreferred) {
    const AVOutputFormat* f = FF.av_guess_format(name, nullptr, nullptr);
    if (f && FF.avformat_query_codec(f, ACodec->id, FF_COMPLIANCE_NORMAL) == 1) add(f);
  }
  void* it = nullptr;
  while (const AVOutputFormat* f = FF.av_muxer_iterate(&it)) {
    if ((f->flags & AVFMT_NOFILE) || ext(f).empty()) continue;
    if (f->audio_codec == ACodec->id ||
        FF.avformat_query_codec(f, ACodec->id, FF_COMPLIANCE_EXPERIMENTAL) == 1)
      add(f);
  }
  if (r.size() > 8) r.resize(8);
  return r;
}

} // namespace

// Every audio encoder of the loaded libraries converts a short stereo input
// into a container that takes it.
TEST_F(Transcode, EveryAudioEncoderConverts) {
  std::string in = Dir / "in.wav";
  ASSERT_TRUE(
      MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=1:sample_rate=44100", "-ac", "2", in}));
  std::vector<std::string> unusable;
  void* it = nullptr;
  int tried = 0;
  while (const AVCodec* c = FF.av_codec_iterate(&it)) {
    if (!FF.av_codec_is_encoder(c) || c->type != AVMEDIA_TYPE_AUDIO) continue;
    auto containers = ContainersFor(c);
    if (containers.empty()) {
      unusable.push_back(std::string(c->name) + ": no muxer of the libraries takes it");
      continue;
    }
    int preferred = 44100;
    if (c->supported_samplerates) {
      preferred = c->supported_samplerates[0];
      for (auto r = c->supported_samplerates; *r; ++r)
        if (*r == 44100 || *r == 48000) {
          preferred = *r;
          break;
        }
    }
    // Speech codecs only take telephone rates and one channel; some muxers
    // claim codecs they cannot store.
    TResult r;
    int rate = 0, channels = 0;
    std::string failures, muxer, out;
    // Channel counts the encoder lists (stereo first when it has it).
    int stereoOrFirst = 2;
    if (c->ch_layouts) {
      stereoOrFirst = c->ch_layouts[0].nb_channels;
      for (auto l = c->ch_layouts; l->nb_channels; ++l)
        if (l->nb_channels == 2) stereoOrFirst = 2;
    }
    for (auto [tryRate, tryChannels] :
         {std::pair{preferred, stereoOrFirst}, {preferred, 1}, {8000, 1}, {16000, 1}, {22050, 1}}) {
      for (auto& [tryMuxer, ext] : containers) {
        out = Dir / (std::string(c->name) + "." + ext);
        r = Convert({in}, out,
                    fmt::format("f={}<CRLF>acodec={}<CRLF>ar={}<CRLF>ac={}<CRLF>strict=-2", tryMuxer, c->name,
                                tryRate, tryChannels));
        if (r.Opened && r.Finished) {
          rate = tryRate;
          channels = tryChannels;
          muxer = tryMuxer;
          break;
        }
        failures += fmt::format("\n    {} Hz, {} ch, {}: {}", tryRate, tryChannels, tryMuxer,
                                GErrors.substr(0, GErrors.find('\n')));
        if (r.Message.find("opening encoder") != std::string::npos) break; // no muxer helps
      }
      if (rate) break;
    }
    SCOPED_TRACE(std::string(c->name) + " in " + muxer);
    ++tried;
    if (!rate) {
      unusable.push_back(std::string(c->name) + ": " + failures);
      continue;
    }
    auto d = Decode(out);
    const AVCodecDescriptor* desc = FF.avcodec_descriptor_get(c->id);
    std::string name = desc ? desc->name : c->name;
    // Comfort noise describes noise, not the signal; raw aptx files carry no
    // rate; asf stores the lossless sonic variant under the plain one.
    if (name == "comfortnoise") continue;
    if (name == "sonicls") name = "sonic";
    EXPECT_EQ(d.Codec, name);
    if (muxer != "aptx" && muxer != "aptx_hd") {
      EXPECT_EQ(d.Rate, rate);
    }
    EXPECT_EQ(d.Channels, channels);
    double seconds = double(d.Frames()) / (d.Rate ? d.Rate : 1);
    // Lossless and sample-by-sample codecs keep the length; others within
    // one encoder frame (the largest here is 4608 samples).
    static const std::set<std::string> KLossless = {"flac", "alac", "tta", "wavpack"};
    bool exact = (c->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || KLossless.count(name);
    EXPECT_NEAR(seconds, 1.0, exact ? 2.0 / rate + 0.0001 : 4608.0 / rate) << c->name;
  }
  EXPECT_GT(tried, 20);
  std::string list;
  for (auto& u : unusable) list += "  " + u + "\n";
  std::cout << "Audio encoders not converted here:\n" << (list.empty() ? "  none\n" : list);
}

namespace {

// A sine per channel (channel k at 300 + 110 k Hz), amplitude AAmp.
std::string SineSource(int ARate, int AChannels, double ASeconds, double AAmp = 0.25) {
  std::string expr;
  for (int k = 0; k < AChannels; ++k)
    expr += fmt::format("{}{}*sin(2*PI*{}*t)", k ? "|" : "", AAmp, 300 + 110 * k);
  return fmt::format("aevalsrc={}:s={}:d={}", expr, ARate, ASeconds);
}

double Db(double ARatio) {
  return 20 * std::log10(ARatio);
}

} // namespace

// Pairwise over input sample formats, rates, channel counts, volumes and
// output codecs: pitch, level, channel separation and duration survive.
TEST_F(Transcode, PairwiseFormatsRatesChannelsVolumes) {
  struct TCase {
    const char* InCodec; // how the input stores its samples
    const char* InExt;
    int Rate, Channels, Volume;
    const char* OutCodec;
    const char* OutExt;
    int OutRate;
    bool Lossy;
  } cases[] = {
      {"pcm_u8", "wav", 8000, 1, 100, "libmp3lame", "mp3", 22050, true},
      {"pcm_s16le", "wav", 44100, 2, 50, "aac", "m4a", 44100, true},
      {"pcm_s32le", "wav", 96000, 2, 150, "flac", "flac", 96000, false},
      {"pcm_f32le", "wav", 48000, 6, 100, "ac3", "ac3", 48000, true},
      {"aac", "m4a", 22050, 2, 400, "libvorbis", "ogg", 44100, true}, // planar float from the decoder
      {"pcm_s16le", "wav", 16000, 1, 1, "flac", "flac", 16000, false},
      {"pcm_s16le", "wav", 32000, 6, 100, "pcm_s16le", "wav", 32000, false},
      {"pcm_f32le", "wav", 11025, 2, 100, "wmav2", "wma", 44100, true},
      {"pcm_s32le", "wav", 44100, 1, 50, "alac", "m4a", 44100, false},
      {"pcm_u8", "wav", 48000, 2, 150, "libopus", "opus", 48000, true},
      {"pcm_s16le", "wav", 96000, 6, 50, "flac", "flac", 48000, false},
      {"aac", "m4a", 44100, 1, 100, "ac3", "ac3", 44100, true},
      {"pcm_f32le", "wav", 88200, 2, 400, "pcm_s24le", "wav", 44100, false},
      {"pcm_s16le", "wav", 22050, 2, 100, "mp2", "mp2", 22050, true},
  };
  int n = 0;
  for (auto& c : cases) {
    std::string label = fmt::format("{} {} Hz {} ch vol {}% -> {} {} Hz", c.InCodec, c.Rate, c.Channels,
                                    c.Volume, c.OutCodec, c.OutRate);
    SCOPED_TRACE(label);
    std::string in = Dir / fmt::format("in{}.{}", n, c.InExt),
                out = Dir / fmt::format("out{}.{}", n, c.OutExt);
    ++n;
    std::vector<std::string> args{"-f", "lavfi", "-i", SineSource(c.Rate, c.Channels, 2), "-c:a", c.InCodec};
    if (std::string(c.InCodec) == "aac") args.insert(args.end(), {"-b:a", "256k"});
    args.push_back(in);
    ASSERT_TRUE(MakeMedia(args));
    auto r =
        Convert({in}, out,
                fmt::format("acodec={}<CRLF>ar={}<CRLF>ac={}<CRLF>vol={}<CRLF>ab={}", c.OutCodec, c.OutRate,
                            c.Channels, c.Volume * 256 / 100, c.OutRate < 32000 ? 128000 : 192000));
    ASSERT_TRUE(r.Opened && r.Finished) << r.Message << GErrors;
    auto src = Decode(in);
    auto d = Decode(out);
    ASSERT_EQ(d.Channels, c.Channels);
    EXPECT_EQ(d.Rate, c.OutRate);
    EXPECT_NEAR(double(d.Frames()) / d.Rate, 2.0, c.Lossy ? 0.11 : 0.001);
    for (int ch = 0; ch < c.Channels; ++ch) {
      SCOPED_TRACE(fmt::format("channel {}", ch));
      double f = Frequency(d, ch), expected = 300 + 110 * ch;
      // 5.1 layouts may reorder; every channel must still carry one of the tones.
      if (c.Channels == 6) {
        double best = 1e9;
        for (int k = 0; k < 6; ++k) best = std::min(best, std::fabs(f - (300 + 110 * k)));
        EXPECT_LT(best, 3.0) << f;
      } else {
        EXPECT_NEAR(f, expected, expected * 0.005);
      }
      // The low-frequency channel of a lossy 5.1 codec is band-limited.
      if (c.Channels == 6 && c.Lossy && ch == 3) continue;
      double ratio = Rms(d, ch) / Rms(src, ch);
      EXPECT_NEAR(Db(ratio), Db((c.Volume * 256 / 100) / 256.0), 0.5) << "level " << ratio;
    }
  }
}

// Above full scale the samples clip; they never wrap around.
TEST_F(Transcode, LoudVolumeClipsWithoutWrapping) {
  for (const char* fmt : {"pcm_s16le", "pcm_f32le", "pcm_u8", "pcm_s32le"}) {
    SCOPED_TRACE(fmt);
    std::string in = Dir / (std::string(fmt) + ".wav"), out = Dir / (std::string(fmt) + "-out.wav");
    ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", SineSource(44100, 1, 1, 0.8), "-c:a", fmt, in}));
    auto r = Convert({in}, out, "acodec=pcm_f32le<CRLF>vol=1280"); // 500 %
    ASSERT_TRUE(r.Opened && r.Finished) << r.Message;
    auto d = Decode(out);
    float lo = 0, hi = 0;
    for (float v : d.Samples) lo = std::min(lo, v), hi = std::max(hi, v);
    EXPECT_NEAR(hi, 1.0, 0.01);
    EXPECT_NEAR(lo, -1.0, 0.01);
    EXPECT_NEAR(Frequency(d, 0), 300, 2);
    EXPECT_GT(Rms(d, 0), 0.85); // a clipped sine is nearly square
  }
}

TEST_F(Transcode, TrimIsSampleAccurate) {
  std::string in = Dir / "in.wav", out = Dir / "out.wav";
  ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", SineSource(44100, 1, 4), "-c:a", "pcm_f32le", in}));
  TFFmpegJob job;
  job.Options().SetStartTime(1250000);
  ASSERT_TRUE(job.OpenInputFile(in)) << job.LastErrMsg();
  job.SetExtOptions("acodec=pcm_f32le<CRLF>t=1.5");
  ASSERT_GT(job.OpenOutputFile(out, false), 0) << job.LastErrMsg();
  job.StartConvert(false);
  ASSERT_TRUE(job.Finished()) << job.FatalMessage();
  auto d = Decode(out);
  EXPECT_EQ(d.Frames(), 66150); // 1.5 s at 44.1 kHz
  // The first sample is the input's sample at 1.25 s.
  for (int i = 0; i < 50; ++i)
    EXPECT_NEAR(d.Samples[i], 0.25 * std::sin(2 * M_PI * 300 * (1.25 + i / 44100.0)), 1e-4) << i;
}

TEST_F(Transcode, MergedInputsAreOneGaplessFile) {
  struct TIn {
    int Rate, Channels;
    double Seconds;
  } ins[] = {{44100, 2, 1.3}, {22050, 1, 0.7}, {48000, 2, 1.1}};
  std::vector<std::string> files;
  double total = 0;
  for (size_t i = 0; i < std::size(ins); ++i) {
    files.push_back(Dir / fmt::format("part{}.wav", i));
    ASSERT_TRUE(MakeMedia(
        {"-f", "lavfi", "-i", SineSource(ins[i].Rate, ins[i].Channels, ins[i].Seconds), files.back()}));
    total += ins[i].Seconds;
  }
  for (auto [codec, ext] : {std::pair{"libmp3lame", "mp3"}, {"flac", "flac"}, {"aac", "m4a"}}) {
    SCOPED_TRACE(codec);
    std::string out = Dir / (std::string("joined.") + ext);
    auto r = Convert(files, out, fmt::format("acodec={}<CRLF>ar=44100<CRLF>ac=2", codec), true);
    ASSERT_TRUE(r.Opened && r.Finished) << r.Message << GErrors;
    auto d = Decode(out);
    EXPECT_NEAR(double(d.Frames()) / d.Rate, total, std::string(codec) == "flac" ? 0.001 : 0.03);
    // The container knows its length too (headers rewritten at the end).
    std::string duration = JsonField(ProbeJSON(out), "duration");
    ASSERT_FALSE(duration.empty());
    EXPECT_NEAR(std::stod(duration), total, 0.06);
    // No run of digital silence anywhere (a join would show one).
    int run = 0, longest = 0;
    for (int64_t i = d.Rate / 10; i < d.Frames() - d.Rate / 10; ++i) {
      run = d.Samples[i * 2] == 0.0f && d.Samples[i * 2 + 1] == 0.0f ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    EXPECT_LT(longest, 8);
  }
}

TEST_F(Transcode, TwentyMergedInputs) {
  std::vector<std::string> files;
  for (int i = 0; i < 20; ++i) {
    files.push_back(Dir / fmt::format("p{}.wav", i));
    ASSERT_TRUE(
        MakeMedia({"-f", "lavfi", "-i", SineSource(i % 2 ? 22050 : 44100, 1 + i % 2, 0.25), files.back()}));
  }
  std::string out = Dir / "joined.mp3";
  auto r = Convert(files, out, "acodec=libmp3lame<CRLF>ar=44100<CRLF>ac=2", true);
  ASSERT_TRUE(r.Opened && r.Finished) << r.Message;
  auto d = Decode(out);
  EXPECT_NEAR(double(d.Frames()) / d.Rate, 5.0, 0.03);
}

// Decoded frames whose rate and format change halfway (as a stream whose
// parameters change would give them) come out at the encoder's rate with
// their pitch kept; the change is logged and the resampler rebuilt.
TEST_F(Transcode, RateChangeInsideAnInput) {
  const AVCodec* codec = FF.avcodec_find_encoder(AV_CODEC_ID_PCM_F32LE);
  AVCodecContext* enc = FF.avcodec_alloc_context3(codec);
  enc->sample_rate = 48000;
  enc->sample_fmt = AV_SAMPLE_FMT_FLT;
  FF.av_channel_layout_default(&enc->ch_layout, 1);
  enc->time_base = {1, 48000};
  ASSERT_EQ(FF.avcodec_open2(enc, codec, nullptr), 0);
  AVFormatContext* oc = nullptr;
  FF.avformat_alloc_output_context2(&oc, nullptr, "null", nullptr);
  AVStream* st = FF.avformat_new_stream(oc, nullptr);
  st->time_base = {1, 48000};
  std::vector<float> out;
  std::string log;
  {
    TAudioPipeline pipe(
        enc, st, TAudioPipelineSettings{},
        [&](AVPacket* p) {
          auto f = reinterpret_cast<const float*>(p->data);
          out.insert(out.end(), f, f + p->size / 4);
        },
        [&](int, const std::string& t) { log += t + "\n"; });
    double t = 0;
    for (auto [rate, fmt] : {std::pair{44100, AV_SAMPLE_FMT_S16}, {32000, AV_SAMPLE_FMT_FLTP}}) {
      for (int k = 0; k < 40; ++k) { // 40 frames of 800 samples
        AVFrame* f = FF.av_frame_alloc();
        f->nb_samples = 800;
        f->format = fmt;
        f->sample_rate = rate;
        FF.av_channel_layout_default(&f->ch_layout, 1);
        ASSERT_EQ(FF.av_frame_get_buffer(f, 0), 0);
        for (int i = 0; i < 800; ++i, t += 1.0 / rate) {
          double v = 0.5 * std::sin(2 * M_PI * 440 * t);
          if (fmt == AV_SAMPLE_FMT_S16)
            reinterpret_cast<int16_t*>(f->data[0])[i] = int16_t(v * 32767);
          else
            reinterpret_cast<float*>(f->data[0])[i] = float(v);
        }
        pipe.Process(f, int64_t(t * 1000000));
        FF.av_frame_free(&f);
      }
    }
    pipe.Finish();
    EXPECT_EQ(pipe.ResamplerBuilds(), 2);
  }
  FF.avcodec_free_context(&enc);
  FF.avformat_free_context(oc);
  EXPECT_NE(log.find("frame changed from rate:44100 fmt:s16 ch:1 to rate:32000 fmt:fltp ch:1"),
            std::string::npos)
      << log;
  double expected = 40 * 800 * (48000.0 / 44100 + 48000.0 / 32000);
  EXPECT_NEAR(double(out.size()), expected, 64);
  TDecoded d;
  d.Rate = 48000;
  d.Channels = 1;
  d.Samples.assign(out.begin(), out.begin() + out.size() / 2); // the first part
  EXPECT_NEAR(Frequency(d, 0), 440, 1);
  d.Samples.assign(out.begin() + out.size() / 2, out.end()); // the second part
  EXPECT_NEAR(Frequency(d, 0), 440, 1);
}

TEST_F(Transcode, AudioOfAVideoFile) {
  std::string in = Dir / "clip.mp4", out = Dir / "clip.mp3";
  ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=1.5", "-f", "lavfi",
                         "-i", SineSource(44100, 2, 1.5), "-c:v", "mpeg4", "-c:a", "aac", "-shortest", in}));
  // With video disabled, and without: the picture is never encoded here.
  for (std::string opts : {"vn<CRLF>acodec=libmp3lame", "acodec=libmp3lame"}) {
    SCOPED_TRACE(opts);
    auto r = Convert({in}, out, opts);
    ASSERT_TRUE(r.Opened && r.Finished) << r.Message << GErrors;
    auto j = ProbeJSON(out);
    EXPECT_EQ(j.find("\"codec_type\": \"video\""), std::string::npos);
    auto d = Decode(out);
    EXPECT_NEAR(double(d.Frames()) / d.Rate, 1.5, 0.06);
  }
  // Copying keeps the picture.
  std::string mkv = Dir / "clip.mkv";
  auto r = Convert({in}, mkv, "vcodec=copy<CRLF>acodec=flac");
  ASSERT_TRUE(r.Opened && r.Finished) << r.Message << GErrors;
  auto j = ProbeJSON(mkv);
  EXPECT_NE(j.find("\"codec_name\": \"mpeg4\""), std::string::npos);
  EXPECT_NE(j.find("\"codec_name\": \"flac\""), std::string::npos);
}

TEST_F(Transcode, BrokenInputsAndOutputs) {
  std::string in = Dir / "in.flac";
  ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", SineSource(44100, 2, 3), in}));
  auto original = ReadFile(in);
  {
    SCOPED_TRACE("output is the input");
    auto r = Convert({in}, in, "acodec=flac");
    EXPECT_FALSE(r.Opened);
    EXPECT_EQ(r.Message, fmt::format("Output file '{}' is the same as input file '{}'", in, in));
    EXPECT_EQ(ReadFile(in), original);
  }
  {
    SCOPED_TRACE("a full disk");
    auto r = Convert({in}, "/dev/full", "f=wav<CRLF>acodec=pcm_s16le");
    EXPECT_TRUE(r.Opened);
    EXPECT_FALSE(r.Finished);
    EXPECT_TRUE(r.Fatal);
    EXPECT_NE(r.Message.find("No space left on device"), std::string::npos) << r.Message;
  }
  {
    SCOPED_TRACE("junk that looks like a header");
    std::string junk = Dir / "junk.flac", out = Dir / "junk.mp3";
    WriteFile(junk, "fLaC\x01");
    auto r = Convert({junk}, out, "acodec=libmp3lame");
    EXPECT_FALSE(r.Opened && r.Finished) << "a file without audio converted";
  }
  {
    SCOPED_TRACE("a truncated input");
    std::string cut = Dir / "cut.flac", out = Dir / "cut.wav";
    WriteFile(cut, original.substr(0, original.size() / 2 + 77));
    auto r = Convert({cut}, out, "acodec=pcm_s16le");
    ASSERT_TRUE(r.Opened) << r.Message;
    auto d = Decode(out); // what could be read is kept
    EXPECT_GT(double(d.Frames()) / 44100, 1.0);
    EXPECT_LT(double(d.Frames()) / 44100, 2.0);
    if (r.Finished) {
      EXPECT_FALSE(r.Fatal);
    } else {
      EXPECT_TRUE(r.Fatal);
    }
  }
}
