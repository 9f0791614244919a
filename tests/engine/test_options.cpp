// The option vocabulary against the real media libraries: every option with
// a value that is accepted and the state it sets, and a value that is refused
// with its exact text; presets, targets, the generic store.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "engine/Options.h"
#include "engine/Presets.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "tests/support/TestSupport.h"

namespace {

// Records what the handlers ask of the job.
struct TFakeHost : IOptionHost {
  int Outputs = 0;
  std::vector<AVMediaType> NewStreams;
  std::vector<AVRational> Rates;
  std::vector<std::vector<std::string>> Hooks;
  bool HookResult = true;
  int64_t Total = -1;

  int OutputFileCount() const override { return Outputs; }
  void NewOutputStream(AVMediaType AType) override { NewStreams.push_back(AType); }
  std::vector<AVRational> InputVideoFrameRates() const override { return Rates; }
  bool AddFrameHook(const std::vector<std::string>& AArgs) override {
    Hooks.push_back(AArgs);
    return HookResult;
  }
  void SetTotalOutputDuration(int64_t ADuration) override { Total = ADuration; }
};

std::mutex LogLock;
std::vector<std::string> LogLines;

class Options : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
    Logger().TriggerEventInMainThread = false;
    Logger().SetLogLevel(llVerbose);
    Logger().OnLog = [](void*, uint32_t, TLogLevel, const std::string& AMsg) {
      std::lock_guard l(LogLock);
      LogLines.push_back(AMsg);
    };
  }
  void SetUp() override {
    std::lock_guard l(LogLock);
    LogLines.clear();
  }
  static bool Logged(const std::string& AText) {
    std::lock_guard l(LogLock);
    for (const auto& s : LogLines)
      if (s.find(AText) != std::string::npos) return true;
    return false;
  }
  // The text SetExtOption raised, or "" when it raised nothing.
  static std::string ErrorOf(const std::function<void()>& AAction) {
    try {
      AAction();
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }
  static int64_t StoreInt(AVCodecContext* ACtx, const char* AName) {
    int64_t v = 0;
    EXPECT_GE(FF.av_opt_get_int(ACtx, AName, 0, &v), 0) << AName;
    return v;
  }
  static std::string StoreValue(const TFFOptions& AStore, const std::string& AName) {
    for (size_t i = 0; i < AStore.opt_names.size(); ++i)
      if (AStore.opt_names[i] == AName) return AStore.opt_values[i].value_or("<store>");
    return "<none>";
  }
  TFakeHost Host;
};

using TCheck = std::function<bool(const TFFmpegOptions&, const TFakeHost&)>;

struct TOptionCase {
  const char* Name;
  const char* Value;
  TCheck Check;      // for an accepted value
  const char* Error; // for a refused value: the exact text
};

#define STATE(expr)                                                                                          \
  [](const TFFmpegOptions& o, const TFakeHost& h) {                                                          \
    (void)o;                                                                                                 \
    (void)h;                                                                                                 \
    return (expr);                                                                                           \
  }

const std::string Matrix64 = [] {
  std::string s;
  for (int i = 1; i <= 64; ++i) s += (i > 1 ? "," : "") + std::to_string(i);
  return s;
}();
const std::string Matrix63 = Matrix64.substr(0, Matrix64.rfind(','));

TEST_F(Options, VocabularyTable) {
  const TOptionCase cases[] = {
      // Ignored names.
      {"L", "", STATE(o.Fverbose == 1), nullptr},
      {"y", "", STATE(o.Fverbose == 1), nullptr},
      // Flags: no value and any value but "0" mean true.
      {"dump", "", STATE(o.Fdo_pkt_dump), nullptr},
      {"hex", "1", STATE(o.Fdo_hex_dump), nullptr},
      {"re", "yes", STATE(o.Frate_emu), nullptr},
      {"copyts", "", STATE(o.Fcopy_ts), nullptr},
      {"copytb", "", STATE(o.Fcopy_tb), nullptr},
      {"shortest", "", STATE(o.Fopt_shortest), nullptr},
      {"xerror", "", STATE(o.Fexit_on_error), nullptr},
      {"intra", "", STATE(o.Fintra_only), nullptr},
      {"vn", "", STATE(o.Fvideo_disable), nullptr},
      {"vn", "0", STATE(!o.Fvideo_disable), nullptr},
      {"psnr", "", STATE(o.Fdo_psnr), nullptr},
      {"qphist", "", STATE(o.Fqp_hist), nullptr},
      {"force_fps", "", STATE(o.Fforce_fps), nullptr},
      {"an", "", STATE(o.Faudio_disable), nullptr},
      {"sn", "", STATE(o.Fsubtitle_disable), nullptr},
      {"isync", "", STATE(o.Finput_sync), nullptr},
      // Integers.
      {"dframes", "5", STATE(o.Fmax_frames[AVMEDIA_TYPE_DATA] == 5), nullptr},
      {"vframes", "6", STATE(o.Fmax_frames[AVMEDIA_TYPE_VIDEO] == 6), nullptr},
      {"aframes", "7", STATE(o.Fmax_frames[AVMEDIA_TYPE_AUDIO] == 7), nullptr},
      {"v", "2", STATE(o.Fverbose == 2), nullptr},
      {"v", "x", nullptr, "'x' is not a valid integer value"},
      {"vsync", "1", STATE(o.Fvideo_sync_method == 1), nullptr},
      {"async", "100", STATE(o.Faudio_sync_method == 100), nullptr},
      {"vglobal", "1", STATE(o.Fvideo_global_header == 1), nullptr},
      {"programid", "3", STATE(o.Fopt_programid == 3), nullptr},
      {"copyinkf", "1", STATE(o.Fcopy_initial_nonkeyframes == 1), nullptr},
      {"vdt", "2", STATE(o.Fvideo_discard == 2), nullptr},
      {"top", "1", STATE(o.Ftop_field_first == 1), nullptr},
      {"dc", "9", STATE(o.Fintra_dc_precision == 9), nullptr},
      {"vol", "512", STATE(o.Faudio_volume == 512), nullptr},
      {"vol", "1.5", nullptr, "'1.5' is not a valid integer value"},
      {"vc", "1", STATE(o.Fvideo_channel == 1), nullptr},
      {"ar", "22050", STATE(o.Faudio_sample_rate == 22050), nullptr},
      {"ar", "0", STATE(o.Faudio_sample_rate == 44100), nullptr},
      {"ac", "1", STATE(o.Faudio_channels == 1), nullptr},
      {"ac", "-1", STATE(o.Faudio_channels == 2), nullptr},
      {"threads", "4", STATE(o.Fthread_count == 4), nullptr},
      {"pass", "2", STATE(o.Fdo_pass == 2), nullptr},
      {"pass", "3", nullptr, "pass number can be only 1 or 2"},
      {"fs", "10000000000", STATE(o.Flimit_filesize == 10000000000LL), nullptr},
      // Floats.
      {"adrift_threshold", "0.5", STATE(o.Faudio_drift_threshold == 0.5f), nullptr},
      {"dts_delta_threshold", "5", STATE(o.Fdts_delta_threshold == 5.0f), nullptr},
      {"aq", "3", STATE(o.Faudio_qscale == 3.0f), nullptr},
      {"aq", "1,5", nullptr, "'1,5' is not a valid floating point value"},
      {"muxdelay", "0.3", STATE(o.Fmux_max_delay == 0.3f), nullptr},
      {"muxpreload", "0.2", STATE(o.Fmux_preload == 0.2f), nullptr},
      {"qscale", "255", STATE(o.Fvideo_qscale == 255.0f), nullptr},
      {"qscale", "0", nullptr, "qscale must be > 0.0 and <= 255"},
      {"qscale", "256", nullptr, "qscale must be > 0.0 and <= 255"},
      // Texts.
      {"passlogfile", "pfx", STATE(o.Fpass_logfilename_prefix == "pfx"), nullptr},
      {"vlang", "eng", STATE(o.Fvideo_language == "eng"), nullptr},
      {"alang", "deu", STATE(o.Faudio_language == "deu"), nullptr},
      {"slang", "fra", STATE(o.Fsubtitle_language == "fra"), nullptr},
      {"force_key_frames", "0,5", STATE(o.Fforced_key_frames == "0,5"), nullptr},
      {"vfilters", "scale=8:8", STATE(o.Fvfilters == "scale=8:8"), nullptr},
      {"vf", "", STATE(o.Fvfilters.empty()), nullptr},
      {"tvstd", "pal", STATE(o.Fvideo_standard == "pal"), nullptr},
      {"rc_override", "0,10,5", STATE(o.Fvideo_rc_override_string == "0,10,5"), nullptr},
      {"vstats_file", "/tmp/v.log", STATE(o.Fvstats_filename == "/tmp/v.log"), nullptr},
      // Times.
      {"t", "00:01:30", STATE(o.Frecording_time == 90000000 && h.Total == 90000000), nullptr},
      {"t", "abc", nullptr, "Invalid duration specification for t: abc"},
      {"ss", "1.5", STATE(o.Fstart_time == 1500000), nullptr},
      {"itsoffset", "-2", STATE(o.Finput_ts_offset == -2000000), nullptr},
      {"timestamp", "1970-01-01T00:01:40Z", STATE(o.Frecording_timestamp == 100), nullptr},
      {"timestamp", "soon", nullptr, "Invalid date specification for timestamp: soon"},
      // Options with their own rules.
      {"f", "wav", STATE(o.Flast_asked_format == "wav"), nullptr},
      {"f", "", STATE(o.Flast_asked_format.empty()), nullptr},
      {"map", "0:1",
       STATE(o.Fnb_stream_maps() == 1 && o.Fstream_maps[0].file_index == 0 &&
             o.Fstream_maps[0].stream_index == 1 && o.Fstream_maps[0].sync_file_index == 0 &&
             o.Fstream_maps[0].sync_stream_index == 1),
       nullptr},
      {"map", "0.1:1.0",
       STATE(o.Fstream_maps[0].file_index == 0 && o.Fstream_maps[0].stream_index == 1 &&
             o.Fstream_maps[0].sync_file_index == 1 && o.Fstream_maps[0].sync_stream_index == 0),
       nullptr},
      {"map_meta_data", "0:1,s0",
       STATE(o.Fmeta_data_maps[0][0].file_idx == 0 && o.Fmeta_data_maps[0][0].type_ == 'g' &&
             o.Fmeta_data_maps[0][1].file_idx == 1 && o.Fmeta_data_maps[0][1].type_ == 's' &&
             o.Fmeta_data_maps[0][1].index == 0 && o.Fmetadata_global_autocopy == 0 &&
             o.Fmetadata_streams_autocopy == 0 && o.Fmetadata_chapters_autocopy == 1),
       nullptr},
      {"map_meta_data", "0,g:1,c2",
       STATE(o.Fmeta_data_maps[0][1].file_idx == 1 && o.Fmeta_data_maps[0][1].type_ == 'c' &&
             o.Fmeta_data_maps[0][1].index == 2 && o.Fmetadata_chapters_autocopy == 0),
       nullptr},
      {"map_meta_data", "0,x:1", nullptr, "Invalid metadata type x."},
      {"map_chapters", "1:0", STATE(o.Fchapter_maps[0].out_file == 1 && o.Fchapter_maps[0].in_file == 0),
       nullptr},
      {"metadata", "title=a=b", STATE(o.Fmetadata.size() == 1 && o.Fmetadata[0].second == "a=b"), nullptr},
      {"metadata", "title", nullptr, "Missing ="},
      {"metadata", "=x", nullptr, "wrong parameter of metadata"},
      {"itsscale", "1:0.5", STATE((o.Fnext_input_ts_scale == std::vector<double>{0.0, 0.5})), nullptr},
      {"itsscale", "20:1", nullptr, "stream index over MAX_STREAMS(20)"},
      {"itsscale", "-1:1", nullptr, "stream index over MAX_STREAMS(20)"},
      {"timelimit", "10", STATE(o.Fverbose == 1), nullptr},
      {"r", "30000/1001", STATE(o.Fframe_rate.num == 30000 && o.Fframe_rate.den == 1001), nullptr},
      {"r", "ntsc-film", STATE(o.Fframe_rate.num == 24000 && o.Fframe_rate.den == 1001), nullptr},
      {"r", "fast", nullptr, "Incorrect frame rate"},
      {"s", "vga", STATE(o.Fframe_width == 640 && o.Fframe_height == 480), nullptr},
      {"s", "big", nullptr, "Incorrect frame size"},
      {"aspect", "16:9", STATE(o.Fframe_aspect_ratio == 1.7777778f), nullptr},
      {"aspect", "1.25", STATE(o.Fframe_aspect_ratio == 1.25f), nullptr},
      {"aspect", "4:0", nullptr, "Incorrect aspect ratio specification."},
      {"aspect", "abc", nullptr, "Incorrect aspect ratio specification."},
      {"pix_fmt", "yuv422p", STATE(o.Fframe_pix_fmt == AV_PIX_FMT_YUV422P), nullptr},
      {"pix_fmt", "list", STATE(o.Fframe_pix_fmt == AV_PIX_FMT_NONE), nullptr},
      {"pix_fmt", "nope", nullptr, "Unknown pixel format requested: nope"},
      {"sample_fmt", "fltp", STATE(o.Faudio_sample_fmt == AV_SAMPLE_FMT_FLTP), nullptr},
      {"sample_fmt", "nope", nullptr, "Invalid sample format \"nope\""},
      {"croptop", "2", nullptr, "Removed, use the crop filter instead"},
      {"cropright", "2", nullptr, "Removed, use the crop filter instead"},
      {"padcolor", "000000", nullptr, "Removed, use the pad filter instead"},
      {"acodec", "mp2", STATE(o.Faudio_codec_name == "mp2" && o.Faudio_stream_copy == 0), nullptr},
      {"acodec", "copy", STATE(!o.Faudio_codec_name && o.Faudio_stream_copy == 1), nullptr},
      {"acodec", "", STATE(!o.Faudio_codec_name && o.Faudio_stream_copy == 0), nullptr},
      {"vcodec", "mpeg2video", STATE(o.Fvideo_codec_name == "mpeg2video"), nullptr},
      {"scodec", "copy", STATE(o.Fsubtitle_stream_copy == 1), nullptr},
      {"vstats", "1",
       STATE(o.Fvstats_filename.find("/vstats_") != std::string::npos && o.Fvstats_filename.size() > 10 &&
             o.Fvstats_filename.ends_with(".log")),
       nullptr},
      {"vstats", "0", STATE(o.Fvstats_filename.empty()), nullptr},
      {"vhook", "/x/hook.so -a  b",
       STATE(o.Fusing_vhook && (h.Hooks[0] == std::vector<std::string>{"/x/hook.so", "-a", "b"})), nullptr},
      {"vhook", "/x/hook.so|a b|c", STATE((h.Hooks[0] == std::vector<std::string>{"/x/hook.so", "a b", "c"})),
       nullptr},
      {"intra_matrix", Matrix64.c_str(),
       STATE(o.Fintra_matrix && (*o.Fintra_matrix)[0] == 1 && (*o.Fintra_matrix)[63] == 64), nullptr},
      {"vtag", "DX50", STATE(o.Fvideo_codec_tag == 0x30355844u), nullptr},
      {"atag", "12", STATE(o.Faudio_codec_tag == 12u), nullptr},
      {"stag", "ABC", nullptr, "tag parameter must be 4 chars or int value"},
      {"newaudio", "", nullptr, "At least one output file must be specified"},
      {"streamid", "2:300", STATE((o.Fstreamid_map == std::vector<int>{0, 0, 300})), nullptr},
      {"streamid", "2", nullptr,
       "Invalid value \"2\" for option \"streamid\", required syntax is \"index:value\""},
      {"streamid", "-1:5", nullptr,
       "Invalid value \"-1:5\" for option \"streamid\", required syntax is \"index:value\""},
      {"absf", "aac_adtstoasc",
       STATE((o.Faudio_bitstream_filters == std::vector<std::string>{"aac_adtstoasc"})), nullptr},
      {"vbsf", "imx_dump_header", STATE((o.Fvideo_bitstream_filters == std::vector<std::string>{"imxdump"})),
       nullptr},
      {"sbsf", "=x", STATE(o.Fsubtitle_bitstream_filters.empty()), nullptr},
      {"absf", "no_such_bsf", nullptr, "Unknown bitstream filter no_such_bsf"},
      {"apre", "no-such-preset", nullptr, "Preset \"no-such-preset\" not found"},
      {"b", "500000",
       STATE(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO]->bit_rate == 500000 &&
             o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO]->bit_rate != 500000),
       nullptr},
      {"vb", "300000", STATE(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO]->bit_rate == 300000), nullptr},
      {"ab", "96000", STATE(o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO]->bit_rate == 96000), nullptr},
      {"ab", "lots", nullptr, "Invalid value \"lots\" for option \"ab\""},
      // Names of the generic store.
      {"g", "30", STATE(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO]->gop_size == 30), nullptr},
      {"g", "abc", nullptr, "Invalid value \"abc\" for option \"g\""},
      {"muxrate", "1411200", STATE(o.Store().opt_values.back() == std::optional<std::string>("1411200")),
       nullptr},
      {"bogus_opt", "1", nullptr, "Unrecognized option \"bogus_opt\""},
      {"Vn", "", nullptr, "Unrecognized option \"Vn\""},
      // Facilities the bound libraries no longer have: fine at the default.
      {"loop_input", "0", STATE(!o.Floop_input), nullptr},
      {"loop_input", "", nullptr, "Option \"loop_input\" is not supported by the bound media libraries"},
      {"sameq", "0", STATE(!o.Fsame_quality), nullptr},
      {"sameq", "1", nullptr, "Option \"sameq\" is not supported by the bound media libraries"},
      {"deinterlace", "0", STATE(!o.Fdo_deinterlace), nullptr},
      {"deinterlace", "1", nullptr, "Option \"deinterlace\" is not supported by the bound media libraries"},
      {"me_threshold", "0", STATE(o.Fme_threshold == 0), nullptr},
      {"me_threshold", "4", nullptr, "Option \"me_threshold\" is not supported by the bound media libraries"},
      {"loop_output", "-1", STATE(o.Floop_output == -1), nullptr},
      {"loop_output", "0", nullptr, "Option \"loop_output\" is not supported by the bound media libraries"},
  };
  for (const auto& c : cases) {
    TFakeHost host;
    TFFmpegOptions o(&host);
    std::string err = ErrorOf([&] { o.SetExtOption(c.Name, c.Value); });
    const std::string where = std::string(c.Name) + "=" + c.Value;
    if (c.Error) {
      EXPECT_EQ(err, c.Error) << where;
    } else if (c.Check) {
      EXPECT_EQ(err, "") << where;
      if (err.empty()) {
        EXPECT_TRUE(c.Check(o, host)) << where;
      }
    }
  }
  TFFmpegOptions o(&Host);
  EXPECT_EQ(ErrorOf([&] { o.SetExtOption("inter_matrix", Matrix63); }),
            "Syntax error in matrix \"" + Matrix63 + "\" at coeff 62");
}

TEST_F(Options, EveryVocabularyNameIsHandledAndUnique) {
  std::set<std::string> names;
  for (const auto& d : OptionTable()) {
    EXPECT_TRUE(names.insert(d.Name).second) << d.Name;
    EXPECT_EQ(FindOptionDef(d.Name), &d);
  }
  EXPECT_EQ(FindOptionDef("ab")->Type, TOptionType::otSpecial);
  EXPECT_EQ(FindOptionDef("no_such_name"), nullptr);
}

TEST_F(Options, OptionsAccumulateInOrder) {
  TFFmpegOptions o(&Host);
  o.SetExtOptions("vn<CRLF>acodec=copy\r\nacodec=mp2\n\nvn=0\nvtag=12<CRLF><CRLF>");
  EXPECT_FALSE(o.Fvideo_disable);
  // "copy" then a name: stream copy stays set.
  EXPECT_EQ(o.Faudio_stream_copy, 1);
  EXPECT_EQ(o.Faudio_codec_name, "mp2");
  EXPECT_EQ(o.Fvideo_codec_tag, 12u);

  // Logged side effects.
  o.SetExtOption("L", "");
  EXPECT_TRUE(Logged("Do nothing: option - L"));
  o.SetExtOption("ab", "64");
  EXPECT_EQ(o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO]->bit_rate, 64);
  EXPECT_TRUE(
      Logged("WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s"));
  o.SetExtOption("timelimit", "1");
  EXPECT_TRUE(Logged("Warning: -timelimit not implemented on Windows"));
}

TEST_F(Options, NewStreamsGoToTheLastOutput) {
  Host.Outputs = 1;
  TFFmpegOptions o(&Host);
  o.SetExtOption("newaudio", "");
  o.SetExtOption("newvideo", "ignored");
  o.SetExtOption("newsubtitle", "");
  EXPECT_EQ(Host.NewStreams,
            (std::vector<AVMediaType>{AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_SUBTITLE}));
  Host.HookResult = false;
  EXPECT_EQ(ErrorOf([&] { o.SetExtOption("vhook", "missing.so"); }),
            "Failed to add video hook function: missing.so");
  EXPECT_FALSE(o.Fusing_vhook);
}

TEST_F(Options, HaltOnInvalidOption) {
  for (bool halt : {true, false}) {
    TFFmpegOptions o(&Host);
    o.HaltOnInvalidOption = halt;
    std::string err = ErrorOf([&] { o.SetExtOptions("ar=22050\nno_such_opt=1\ng=abc\nac=1"); });
    if (halt) {
      EXPECT_EQ(err, "Unrecognized option \"no_such_opt\"");
      EXPECT_EQ(o.Faudio_sample_rate, 22050); // earlier options stay applied
      EXPECT_EQ(o.Faudio_channels, 2);
    } else {
      EXPECT_EQ(err, "");
      EXPECT_EQ(o.Faudio_channels, 1);
      EXPECT_EQ(o.Store().opt_name_count(), 0);
      EXPECT_EQ(o.LastOptionError(), "Invalid value \"abc\" for option \"g\"");
    }
    // Vocabulary errors are raised either way.
    EXPECT_EQ(ErrorOf([&] { o.SetExtOption("qscale", "0"); }), "qscale must be > 0.0 and <= 255");
  }
}

TEST_F(Options, LastOptionErrorBelongsToItsJob) {
  TFFmpegOptions a(&Host), b(&Host);
  a.HaltOnInvalidOption = b.HaltOnInvalidOption = false;
  a.SetExtOption("first_unknown", "1");
  b.SetExtOption("second_unknown", "1");
  EXPECT_EQ(a.LastOptionError(), "Unrecognized option \"first_unknown\"");
  EXPECT_EQ(b.LastOptionError(), "Unrecognized option \"second_unknown\"");
  // An empty name gets its own text rather than an older one.
  a.HaltOnInvalidOption = true;
  EXPECT_EQ(ErrorOf([&] { a.SetExtOptions("=5"); }), "Unrecognized option \"\"");
}

TEST_F(Options, StoreAppliesByFlags) {
  TFFmpegOptions o(&Host);
  o.SetExtOptions("ab=96000\ng=30\nmuxrate=100000\npacketsize=2048\nar=8000");
  const TFFOptions& s = o.Store();
  EXPECT_EQ(StoreValue(s, "muxrate"), "100000"); // a muxer's own option keeps its text
  EXPECT_EQ(StoreValue(s, "g"), "<store>");

  const AVCodec* mp2 = FF.avcodec_find_encoder_by_name("mp2");
  ASSERT_NE(mp2, nullptr);
  AVCodecContext* a = FF.avcodec_alloc_context3(mp2);
  int gop = a->gop_size;
  s.ApplyCodec(a, AVMEDIA_TYPE_AUDIO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
  EXPECT_EQ(a->bit_rate, 96000);
  EXPECT_EQ(a->gop_size, gop); // a video option
  FF.avcodec_free_context(&a);

  const AVCodec* mpeg2 = FF.avcodec_find_encoder_by_name("mpeg2video");
  ASSERT_NE(mpeg2, nullptr);
  AVCodecContext* v = FF.avcodec_alloc_context3(mpeg2);
  s.ApplyCodec(v, AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
  EXPECT_EQ(v->gop_size, 30);
  FF.avcodec_free_context(&v);

  AVFormatContext* oc = nullptr;
  ASSERT_GE(FF.avformat_alloc_output_context2(&oc, nullptr, "vcd", nullptr), 0);
  s.ApplyFormat(oc, AV_OPT_FLAG_ENCODING_PARAM);
  int64_t muxrate = 0;
  EXPECT_GE(FF.av_opt_get_int(oc->priv_data, "muxrate", 0, &muxrate), 0);
  EXPECT_EQ(muxrate, 100000);
  EXPECT_EQ(oc->packet_size, 2048u);
  FF.avformat_free_context(oc);
}

TEST_F(Options, PresetFiles) {
  testsupport::TTempDir dir;
  const std::string good = dir / "good.ffpreset";
  testsupport::WriteFile(good, "# audio preset\r\n\r\n  acodec=mp2  \nab=96000\n#bf\n");
  TFFmpegOptions o(&Host);
  o.SetExtOption("fpre", good);
  EXPECT_EQ(o.Faudio_codec_name, "mp2");
  EXPECT_EQ(o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO]->bit_rate, 96000);

  // A line without value stops the preset; the lines before it stay applied.
  const std::string bad = dir / "bad.ffpreset";
  testsupport::WriteFile(bad, "g=40\nbf\ng=50\n");
  EXPECT_EQ(ErrorOf([&] { o.SetExtOption("vpre", bad); }), bad + ": Invalid syntax: \"bf\"");
  EXPECT_EQ(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO]->gop_size, 40);

  const std::string unknown = dir / "unknown.ffpreset";
  testsupport::WriteFile(unknown, "no_such_opt=1\n");
  EXPECT_EQ(ErrorOf([&] { o.SetExtOption("apre", unknown); }),
            "Unrecognized option \"no_such_opt\"\r\n" + unknown +
                ": Invalid option or argument: \"no_such_opt=1\", parsed as \"no_such_opt\" = \"1\"");
  o.HaltOnInvalidOption = false;
  EXPECT_EQ(ErrorOf([&] { o.SetExtOption("apre", unknown); }), "");

  // Relative paths are taken against the current folder.
  EXPECT_EQ(ResolvePresetPath("/abs/p"), "/abs/p");
  EXPECT_EQ(ResolvePresetPath("rel/p"), (std::filesystem::current_path() / "rel/p").string());
}

TEST_F(Options, BuiltinPresets) {
  ASSERT_EQ(BuiltinPresets().size(), 36u);
  EXPECT_NE(FindBuiltinPreset("LIBX264-Main"), nullptr);
  // Every built-in preset is accepted by the bound libraries.
  for (const auto& [name, text] : BuiltinPresets()) {
    TFFmpegOptions o(&Host);
    EXPECT_EQ(ErrorOf([&] { o.SetExtOption("vpre", name); }), "") << name;
  }
  // The codec name completes a short preset name.
  TFFmpegOptions o(&Host);
  o.SetExtOption("vcodec", "libx264");
  o.SetExtOption("vpre", "slow");
  EXPECT_EQ(StoreValue(o.Store(), "preset"), "slow");
  const AVCodec* x264 = FF.avcodec_find_encoder_by_name("libx264");
  if (!x264) GTEST_SKIP() << "libx264 encoder not available";
  AVCodecContext* v = FF.avcodec_alloc_context3(x264);
  o.Store().ApplyCodec(v, AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
  uint8_t* preset = nullptr;
  ASSERT_GE(FF.av_opt_get(v->priv_data, "preset", 0, &preset), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(preset), "slow");
  FF.av_free(preset);
  FF.avcodec_free_context(&v);
}

struct TTargetCase {
  const char* Value;
  const char* Rate; // set by "r" first; null: left at 25/0
  std::vector<AVRational> InputRates;
  int W, H;
  AVRational FrameRate;
  int64_t Gop; // -1: not set by the target
  int64_t VideoBitRate;
  int64_t AudioBitRate;
  int SampleRate;
  const char* Format;
  const char* VideoCodec; // null: unchanged (none)
  const char* AudioCodec;
  float Aspect;
  AVPixelFormat PixFmt;
  const char* Error;
};

TEST_F(Options, Targets) {
  const AVRational PAL{25, 1}, NTSC{30000, 1001}, FILM{24000, 1001};
  const float A43 = 4.0f / 3.0f, A169 = 16.0f / 9.0f;
  const TTargetCase cases[] = {
      {"pal-vcd",
       nullptr,
       {},
       352,
       288,
       PAL,
       15,
       1150000,
       224000,
       44100,
       "vcd",
       "mpeg1video",
       "mp2",
       A43,
       AV_PIX_FMT_NONE,
       nullptr},
      {"ntsc-vcd",
       nullptr,
       {},
       352,
       240,
       NTSC,
       18,
       1150000,
       224000,
       44100,
       "vcd",
       "mpeg1video",
       "mp2",
       A43,
       AV_PIX_FMT_NONE,
       nullptr},
      {"pal-svcd",
       nullptr,
       {},
       480,
       576,
       PAL,
       15,
       2040000,
       224000,
       44100,
       "svcd",
       "mpeg2video",
       "mp2",
       A43,
       AV_PIX_FMT_NONE,
       nullptr},
      {"ntsc-dvd",
       nullptr,
       {},
       720,
       480,
       NTSC,
       18,
       6000000,
       448000,
       48000,
       "dvd",
       "mpeg2video",
       "ac3",
       A169,
       AV_PIX_FMT_NONE,
       nullptr},
      {"film-dvd",
       nullptr,
       {},
       720,
       480,
       FILM,
       18,
       6000000,
       448000,
       48000,
       "dvd",
       "mpeg2video",
       "ac3",
       A169,
       AV_PIX_FMT_NONE,
       nullptr},
      {"pal-dv",
       nullptr,
       {},
       720,
       576,
       PAL,
       -1,
       -1,
       -1,
       48000,
       "dv",
       nullptr,
       nullptr,
       0,
       AV_PIX_FMT_YUV420P,
       nullptr},
      {"ntsc-dv",
       nullptr,
       {},
       720,
       480,
       NTSC,
       -1,
       -1,
       -1,
       48000,
       "dv",
       nullptr,
       nullptr,
       0,
       AV_PIX_FMT_YUV411P,
       nullptr},
      {"pal-dv50",
       nullptr,
       {},
       720,
       576,
       PAL,
       -1,
       -1,
       -1,
       48000,
       "dv",
       nullptr,
       nullptr,
       0,
       AV_PIX_FMT_YUV422P,
       nullptr},
      // Without a norm it follows the job's frame rate...
      {"vcd",
       "25",
       {},
       352,
       288,
       PAL,
       15,
       1150000,
       224000,
       44100,
       "vcd",
       "mpeg1video",
       "mp2",
       A43,
       AV_PIX_FMT_NONE,
       nullptr},
      {"dvd",
       "29.97",
       {},
       720,
       480,
       NTSC,
       18,
       6000000,
       448000,
       48000,
       "dvd",
       "mpeg2video",
       "ac3",
       A169,
       AV_PIX_FMT_NONE,
       nullptr},
      // ...then the video streams of the inputs (an unknown rate is skipped)...
      {"svcd",
       "10",
       {{0, 0}, {25, 1}},
       480,
       576,
       PAL,
       15,
       2040000,
       224000,
       44100,
       "svcd",
       "mpeg2video",
       "mp2",
       A43,
       AV_PIX_FMT_NONE,
       nullptr},
      // ...then the option's default norm, NTSC.
      {"vcd",
       "10",
       {{12, 1}},
       352,
       240,
       NTSC,
       18,
       1150000,
       224000,
       44100,
       "vcd",
       "mpeg1video",
       "mp2",
       A43,
       AV_PIX_FMT_NONE,
       nullptr},
      {"vcd",
       nullptr,
       {},
       0,
       0,
       {},
       0,
       0,
       0,
       0,
       nullptr,
       nullptr,
       nullptr,
       0,
       AV_PIX_FMT_NONE,
       "frame_rate is invalid."},
      {"pal-cd",
       nullptr,
       {},
       0,
       0,
       {},
       0,
       0,
       0,
       0,
       nullptr,
       nullptr,
       nullptr,
       0,
       AV_PIX_FMT_NONE,
       "Unknown target type"},
  };
  for (const auto& c : cases) {
    TFakeHost host;
    host.Rates = c.InputRates;
    TFFmpegOptions o(&host);
    o.SetExtOption("ac", "1");
    if (c.Rate) o.SetExtOption("r", c.Rate);
    std::string err = ErrorOf([&] { o.SetExtOption("target", c.Value); });
    if (c.Error) {
      EXPECT_EQ(err, c.Error) << c.Value;
      continue;
    }
    ASSERT_EQ(err, "") << c.Value;
    EXPECT_EQ(o.Fframe_width, c.W) << c.Value;
    EXPECT_EQ(o.Fframe_height, c.H) << c.Value;
    EXPECT_TRUE(o.Fframe_rate.num == c.FrameRate.num && o.Fframe_rate.den == c.FrameRate.den) << c.Value;
    EXPECT_EQ(o.Faudio_sample_rate, c.SampleRate) << c.Value;
    EXPECT_EQ(o.Faudio_channels, 2) << c.Value; // 1 becomes 2 for every target
    EXPECT_EQ(o.Flast_asked_format, c.Format) << c.Value;
    EXPECT_EQ(o.Fvideo_codec_name.value_or(""), c.VideoCodec ? c.VideoCodec : "") << c.Value;
    EXPECT_EQ(o.Faudio_codec_name.value_or(""), c.AudioCodec ? c.AudioCodec : "") << c.Value;
    EXPECT_EQ(o.Fframe_aspect_ratio, c.Aspect) << c.Value;
    EXPECT_EQ(o.Fframe_pix_fmt, c.PixFmt) << c.Value;
    if (c.Gop >= 0) {
      EXPECT_EQ(StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO], "g"), c.Gop) << c.Value;
      EXPECT_EQ(StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO], "b"), c.VideoBitRate) << c.Value;
      EXPECT_EQ(StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO], "ab"), c.AudioBitRate) << c.Value;
    } else {
      EXPECT_EQ(o.Store().opt_name_count(), 0) << c.Value;
    }
  }
}

TEST_F(Options, TargetDetails) {
  TFFmpegOptions o(&Host);
  o.SetExtOption("target", " pal-vcd ");
  EXPECT_EQ(o.Fmux_preload, 0.44f);
  EXPECT_EQ(StoreValue(o.Store(), "muxrate"), "1411200");
  EXPECT_EQ(StoreInt(o.Store().avcodec_opts[AVMEDIA_TYPE_VIDEO], "minrate"), 1150000);
  EXPECT_EQ(o.Store().avformat_opts->packet_size, 2324u);
  EXPECT_TRUE(Logged("Assuming 4:3 for aspect ratio"));

  // A set aspect ratio stays; svcd asks the encoder for its scan offset.
  TFFmpegOptions s(&Host);
  s.SetExtOption("aspect", "16:9");
  s.SetExtOption("r", "10");
  s.SetTarget("svcd", "auto", "pal"); // the record's default norm decides
  EXPECT_EQ(s.Fframe_aspect_ratio, 1.7777778f);
  EXPECT_EQ(s.Fframe_width, 480);
  EXPECT_EQ(s.Fframe_height, 576);
  EXPECT_EQ(StoreValue(s.Store(), "scan_offset"), "1");
  EXPECT_TRUE(Logged("Assuming PAL for target."));
}

TEST_F(Options, DirectSetters) {
  TFFmpegOptions o(&Host);
  o.SetForceFormat("");
  o.SetStartTime(INT64_MIN);
  o.SetProgramID(-1);
  o.SetRecordingTime(INT64_MIN);
  o.SetAudioVolume(-1);
  o.SetAudioChannels(0);
  o.SetAudioSampleRate(-1);
  o.SetMuxDelay(0);
  o.SetMuxPreload(-1);
  o.SetAudioCodec("");
  o.SetFrameRate("");
  EXPECT_EQ(o.Flast_asked_format, "");
  EXPECT_EQ(o.Fstart_time, 0);
  EXPECT_EQ(o.Fopt_programid, 0);
  EXPECT_EQ(o.Frecording_time, INT64_MAX);
  EXPECT_EQ(Host.Total, -1);
  EXPECT_EQ(o.Faudio_volume, 256);
  EXPECT_EQ(o.Faudio_channels, 2);
  EXPECT_EQ(o.Faudio_sample_rate, 44100);
  EXPECT_EQ(o.Fmux_max_delay, 0.7f);
  EXPECT_EQ(o.Fmux_preload, 0.5f);
  EXPECT_FALSE(o.Faudio_codec_name);
  EXPECT_EQ(o.Fframe_rate.den, 0);

  o.SetForceFormat("mp3");
  o.SetStartTime(2000000);
  o.SetProgramID(0);
  o.SetRecordingTime(5000000);
  o.SetAudioVolume(0);
  o.SetAudioChannels(1);
  o.SetAudioSampleRate(8000);
  o.SetAudioCodec("libmp3lame");
  o.SetCodecTag("atag", "0x55");
  o.SetMetadata("title", "a");
  o.SetMetadata("title", "b");
  o.SetGenericOption("ab", 128000);
  o.SetGenericOption("no_such_generic", 1); // result ignored
  EXPECT_EQ(o.Flast_asked_format, "mp3");
  EXPECT_EQ(o.Fstart_time, 2000000);
  EXPECT_EQ(o.Frecording_time, 5000000);
  EXPECT_EQ(Host.Total, 5000000);
  EXPECT_EQ(o.Faudio_volume, 0);
  EXPECT_EQ(o.Faudio_channels, 1);
  EXPECT_EQ(o.Faudio_sample_rate, 8000);
  EXPECT_EQ(o.Faudio_codec_name, "libmp3lame");
  EXPECT_EQ(o.Faudio_codec_tag, 0x55u);
  ASSERT_EQ(o.Fmetadata.size(), 1u);
  EXPECT_EQ(o.Fmetadata[0].second, "b");
  EXPECT_EQ(o.Store().avcodec_opts[AVMEDIA_TYPE_AUDIO]->bit_rate, 128000);

  // What the job consumes when it opens an input, a stream, an output.
  o.SetExtOptions("vc=2\nitsscale=0:2\nalang=eng\nabsf=aac_adtstoasc\nstreamid=0:5");
  o.ConsumeInputOptions();
  EXPECT_EQ(o.Flast_asked_format, "");
  EXPECT_EQ(o.Fstart_time, 0);
  EXPECT_EQ(o.Fvideo_channel, 0);
  EXPECT_FALSE(o.Faudio_codec_name);
  EXPECT_TRUE(o.Fnext_input_ts_scale.empty());
  o.ConsumeStreamOptions(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(o.Faudio_language, "");
  EXPECT_TRUE(o.Faudio_bitstream_filters.empty());
  o.ConsumeOutputOptions();
  EXPECT_TRUE(o.Fmetadata.empty());
  EXPECT_TRUE(o.Fstreamid_map.empty());
  EXPECT_EQ(o.Frecording_time, 5000000); // job-wide
}

} // namespace
