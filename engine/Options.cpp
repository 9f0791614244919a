// The option vocabulary of a job: state, dispatch table and handlers.
#include "engine/Options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <unordered_map>

#include "engine/Presets.h"

namespace {

using O = TFFmpegOptions;
using S = const std::string&;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

[[noreturn]] void Fail(const std::string& AMsg) {
  throw FFmpegException(AMsg);
}

// An option whose facility the bound libraries no longer have.
[[noreturn]] void Unsupported(S AName) {
  Fail(fmt::sprintf("Option \"%s\" is not supported by the bound media libraries", AName));
}

bool BoolOf(S AValue) {
  return AValue != "0";
}

// --- typed rows ------------------------------------------------------------

void Ignore(O& o, S n, S) {
  o.Log(llInfo, "Do nothing: option - " + n);
}

template <bool O::*F> void Bool(O& o, S, S v) {
  o.*F = BoolOf(v);
}
template <int O::*F> void Int(O& o, S, S v) {
  o.*F = StrToIntStrict(v);
}
template <int64_t O::*F> void Int64(O& o, S, S v) {
  o.*F = StrToInt64Strict(v);
}
template <float O::*F> void Float(O& o, S, S v) {
  o.*F = static_cast<float>(StrToFloatStrict(v));
}
template <std::string O::*F> void Text(O& o, S, S v) {
  o.*F = v;
}
template <int64_t O::*F> void Duration(O& o, S n, S v) {
  o.*F = ParseTimeOrFail(n, v, true);
}
template <int T> void MaxFrames(O& o, S, S v) {
  o.Fmax_frames[T] = StrToIntStrict(v);
}

// Accepted while they leave the default; the facility behind any other
// value is gone from the bound libraries.
template <bool O::*F> void GoneBool(O& o, S n, S v) {
  if (BoolOf(v)) Unsupported(n);
  o.*F = false;
}
template <int O::*F, int Default> void GoneInt(O& o, S n, S v) {
  int i = StrToIntStrict(v);
  if (i != Default) Unsupported(n);
  o.*F = i;
}

// --- rows with a rule ------------------------------------------------------

void AudioRate(O& o, S, S v) {
  int i = StrToIntStrict(v);
  if (i > 0) o.Faudio_sample_rate = i;
}
void AudioChannels(O& o, S, S v) {
  int i = StrToIntStrict(v);
  if (i > 0) o.Faudio_channels = i;
}
void Threads(O& o, S, S v) {
  o.Fthread_count = StrToIntStrict(v);
  if (o.Fverbose >= 0)
    o.Log(llVerbose, "Warning: if the ffmpeg libraries were not compiled with thread support, it would be "
                     "using thread emulation.");
}
void Pass(O& o, S, S v) {
  int i = StrToIntStrict(v);
  if (i != 1 && i != 2) Fail("pass number can be only 1 or 2");
  o.Fdo_pass = i;
}
void QScale(O& o, S, S v) {
  double q = StrToFloatStrict(v);
  if (q <= 0 || q > 255) Fail("qscale must be > 0.0 and <= 255");
  o.Fvideo_qscale = static_cast<float>(q);
}
void PassLogFile(O& o, S, S v) {
  o.Fpass_logfilename_prefix = v;
}
void VFilters(O& o, S, S v) {
  if (!v.empty()) o.Fvfilters = v;
}
void RecordingTime(O& o, S n, S v) {
  o.Frecording_time = ParseTimeOrFail(n, v, true);
  if (o.Host()) o.Host()->SetTotalOutputDuration(o.Frecording_time);
}
void Timestamp(O& o, S n, S v) {
  o.Frecording_timestamp = static_cast<int64_t>(std::nearbyint(ParseTimeOrFail(n, v, false) / 1000000.0));
}
void LogLevel(O&, S, S v) {
  try {
    Logger().OptLogLevel(v);
  } catch (const FFmpegException&) {
    throw;
  } catch (const std::exception& e) {
    Fail(e.what());
  }
}
void Format(O& o, S, S v) {
  if (!v.empty()) o.Flast_asked_format = v;
}

void Map(O& o, S, S v) {
  const char* p = v.c_str();
  char* e = nullptr;
  TAVStreamMap m;
  m.file_index = static_cast<int>(std::strtol(p, &e, 0));
  p = e;
  if (*p) ++p;
  m.stream_index = static_cast<int>(std::strtol(p, &e, 0));
  p = e;
  if (*p) {
    ++p;
    m.sync_file_index = static_cast<int>(std::strtol(p, &e, 0));
    p = e;
    if (*p) ++p;
    m.sync_stream_index = static_cast<int>(std::strtol(p, &e, 0));
  } else {
    m.sync_file_index = m.file_index;
    m.sync_stream_index = m.stream_index;
  }
  o.Fstream_maps.push_back(m);
}

// "file[,type[index]]"; returns the text after that part.
const char* MetaSpec(const char* p, TAVMetaDataMap& m) {
  char* e = nullptr;
  m.file_idx = static_cast<int>(std::strtol(p, &e, 0));
  p = e;
  m.type_ = 'g';
  m.index = 0;
  if (*p == ',') {
    ++p;
    m.type_ = *p;
    switch (*p) {
    case 'g':
      ++p;
      break;
    case 's':
    case 'c':
    case 'p':
      m.index = static_cast<int>(std::strtol(p + 1, &e, 0));
      p = e;
      break;
    default:
      Fail(fmt::sprintf("Invalid metadata type %s.", std::string(*p ? 1 : 0, *p)));
    }
  }
  return p;
}

void MapMetaData(O& o, S, S v) {
  std::array<TAVMetaDataMap, 2> pair;
  const char* p = MetaSpec(v.c_str(), pair[0]);
  if (*p) ++p;
  MetaSpec(p, pair[1]);
  o.Fmeta_data_maps.push_back(pair);
  for (const auto& m : pair) {
    if (m.type_ == 'g') o.Fmetadata_global_autocopy = 0;
    if (m.type_ == 's') o.Fmetadata_streams_autocopy = 0;
    if (m.type_ == 'c') o.Fmetadata_chapters_autocopy = 0;
  }
}

void MapChapters(O& o, S, S v) {
  const char* p = v.c_str();
  char* e = nullptr;
  TAVChapterMap c;
  c.out_file = static_cast<int>(std::strtol(p, &e, 0));
  p = e;
  if (*p) ++p;
  c.in_file = static_cast<int>(std::strtol(p, &e, 0));
  o.Fchapter_maps.push_back(c);
}

void Metadata(O& o, S, S v) {
  size_t eq = v.find('=');
  if (eq == std::string::npos) Fail("Missing =");
  o.SetMetadata(v.substr(0, eq), v.substr(eq + 1));
}

void ItsScale(O& o, S, S v) {
  size_t colon = v.find(':');
  int index = StrToIntStrict(v.substr(0, colon));
  double scale = StrToFloatStrict(colon == std::string::npos ? std::string() : v.substr(colon + 1));
  // A negative index would lie before the list.
  if (index < 0 || index >= MAX_STREAMS) Fail(fmt::sprintf("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
  if (o.Fnext_input_ts_scale.size() < static_cast<size_t>(index) + 1)
    o.Fnext_input_ts_scale.resize(static_cast<size_t>(index) + 1, 0.0);
  o.Fnext_input_ts_scale[static_cast<size_t>(index)] = scale;
}

void TimeLimit(O& o, S, S) {
  o.Log(llWarning, "Warning: -timelimit not implemented on Windows");
}

void Target(O& o, S, S v) {
  std::string value = TrimText(v);
  std::string norm = "auto";
  for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
    std::string p(prefix);
    if (value.rfind(p, 0) == 0) {
      norm = p.substr(0, p.size() - 1);
      value = value.substr(p.size());
      break;
    }
  }
  o.SetTarget(value, norm, "ntsc");
}

void BitRate(O& o, S n, S v) {
  if (!o.OfferGeneric(n, v)) return;
  AVCodecContext* ctx = o.Store().avcodec_opts[n[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
  int64_t b = 0;
  if (ctx && FF.av_opt_get_int(ctx, "b", 0, &b) >= 0 && b < 1000)
    o.Log(llWarning,
          "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

void FrameRate(O& o, S, S v) {
  AVRational r{0, 0};
  if (FF.av_parse_video_rate(&r, v.c_str()) < 0) Fail("Incorrect frame rate");
  o.Fframe_rate = r;
}

void FrameSize(O& o, S, S v) {
  int w = 0, h = 0;
  if (FF.av_parse_video_size(&w, &h, v.c_str()) < 0) Fail("Incorrect frame size");
  o.Fframe_width = w;
  o.Fframe_height = h;
}

void Aspect(O& o, S, S v) {
  double ar = 0;
  size_t colon = v.find(':');
  if (colon != std::string::npos) {
    int x = 0, y = 0;
    if (!TryStrToInt(v.substr(0, colon), x)) x = 0;
    if (!TryStrToInt(v.substr(colon + 1), y)) y = 0;
    ar = y > 0 ? static_cast<double>(x) / y : 0;
  } else {
    try {
      ar = StrToFloatStrict(v);
    } catch (const FFmpegException&) {
      ar = 0;
    }
  }
  // A negative ratio is as meaningless as 0.
  if (!(ar > 0)) Fail("Incorrect aspect ratio specification.");
  o.Fframe_aspect_ratio = static_cast<float>(ar);
}

void PixFmt(O& o, S, S v) {
  if (v == "list") {
    char buf[256];
    o.Log(llInfo, FF.av_get_pix_fmt_string(buf, sizeof buf, AV_PIX_FMT_NONE));
    for (const AVPixFmtDescriptor* d = FF.av_pix_fmt_desc_next(nullptr); d; d = FF.av_pix_fmt_desc_next(d))
      o.Log(llInfo, FF.av_get_pix_fmt_string(buf, sizeof buf, FF.av_pix_fmt_desc_get_id(d)));
    return;
  }
  AVPixelFormat f = FF.av_get_pix_fmt(v.c_str());
  if (f == AV_PIX_FMT_NONE) Fail(fmt::sprintf("Unknown pixel format requested: %s", v));
  o.Fframe_pix_fmt = f;
}

void SampleFmt(O& o, S, S v) {
  if (v == "list") {
    char buf[128];
    for (int i = -1; i < AV_SAMPLE_FMT_NB; ++i)
      o.Log(llInfo, FF.av_get_sample_fmt_string(buf, sizeof buf, static_cast<AVSampleFormat>(i)));
    return;
  }
  AVSampleFormat f = FF.av_get_sample_fmt(v.c_str());
  if (f == AV_SAMPLE_FMT_NONE) Fail(fmt::sprintf("Invalid sample format \"%s\"", v));
  o.Faudio_sample_fmt = f;
}

void Crop(O&, S, S) {
  Fail("Removed, use the crop filter instead");
}
void Pad(O&, S, S) {
  Fail("Removed, use the pad filter instead");
}

template <AVMediaType T> void Codec(O& o, S, S v) {
  o.SetCodecName(T, v);
}

void VStats(O& o, S, S v) {
  if (v == "0") {
    o.Fvstats_filename.clear();
    return;
  }
  // Written into the current folder: the program's own folder is not
  // writable on this system.
  std::error_code ec;
  std::string folder = std::filesystem::current_path(ec).string();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  o.Fvstats_filename =
      fmt::sprintf("%svstats_%s.log", folder, fmt::sprintf("%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec));
}

void VHook(O& o, S, S v) {
  std::vector<std::string> args;
  const char sep = v.find('|') != std::string::npos ? '|' : ' ';
  size_t start = 0;
  while (start <= v.size() && args.size() < 255) {
    size_t end = v.find(sep, start);
    if (end == std::string::npos) end = v.size();
    std::string arg = v.substr(start, end - start);
    if (!arg.empty() || sep == '|') args.push_back(arg);
    start = end + 1;
  }
  if (args.empty() || !o.Host() || !o.Host()->AddFrameHook(args))
    Fail("Failed to add video hook function: " + v);
  o.Fusing_vhook = true;
}

template <std::optional<std::array<uint16_t, 64>> O::*F> void Matrix(O& o, S, S v) {
  auto& m = o.*F;
  m.emplace();
  m->fill(0);
  const char* p = v.c_str();
  for (int i = 0; i < 64; ++i) {
    (*m)[static_cast<size_t>(i)] = static_cast<uint16_t>(std::strtol(p, nullptr, 10));
    const char* comma = std::strchr(p, ',');
    if (!comma) {
      if (i != 63) Fail(fmt::sprintf("Syntax error in matrix \"%s\" at coeff %d", v, i));
      break;
    }
    p = comma + 1;
  }
}

template <uint32_t O::*F> void Tag(O& o, S, S v) {
  int64_t i = 0;
  if (TryStrToInt64(v, i)) {
    o.*F = static_cast<uint32_t>(i);
    return;
  }
  if (v.size() != 4) Fail("tag parameter must be 4 chars or int value");
  const auto* b = reinterpret_cast<const unsigned char*>(v.data());
  o.*F = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

template <AVMediaType T> void NewStream(O& o, S, S) {
  if (!o.Host() || o.Host()->OutputFileCount() <= 0) Fail("At least one output file must be specified");
  o.Host()->NewOutputStream(T);
}

// Output streams a job can have at most; a larger index is a typing error.
constexpr int MaxStreamId = 1024;

void StreamId(O& o, S n, S v) {
  size_t colon = v.find(':');
  int index = 0, id = 0;
  if (colon == std::string::npos || !TryStrToInt(v.substr(0, colon), index) ||
      !TryStrToInt(v.substr(colon + 1), id) || index < 0 || index >= MaxStreamId)
    Fail(fmt::sprintf("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"", v, n));
  if (o.Fstreamid_map.size() < static_cast<size_t>(index) + 1)
    o.Fstreamid_map.resize(static_cast<size_t>(index) + 1, 0);
  o.Fstreamid_map[static_cast<size_t>(index)] = id;
}

// Bitstream filters renamed since the old names were current.
std::string BsfName(const std::string& AName) {
  static const std::pair<const char*, const char*> renamed[] = {
      {"imx_dump_header", "imxdump"},         {"mjpega_dump_header", "mjpegadump"},
      {"mp3_header_decompress", "mp3decomp"}, {"dump_extradata", "dump_extra"},
      {"remove_extradata", "remove_extra"},
  };
  for (const auto& [from, to] : renamed)
    if (AName == from) return to;
  return AName;
}

template <std::vector<std::string> O::*F> void Bsf(O& o, S, S v) {
  if (v.empty() || v[0] == '=') return;
  std::string value = TrimText(v);
  size_t eq = value.find('=');
  std::string name = BsfName(TrimText(value.substr(0, eq)));
  if (!FF.av_bsf_get_by_name(name.c_str())) Fail(fmt::sprintf("Unknown bitstream filter %s", value));
  (o.*F).push_back(eq == std::string::npos ? name : name + value.substr(eq));
}

void Preset(O& o, S n, S v) {
  o.ApplyPreset(n, v);
}

constexpr TOptionType I = TOptionType::otIgnore, B = TOptionType::otBool, N = TOptionType::otInt,
                      N64 = TOptionType::otInt64, F = TOptionType::otFloat, T = TOptionType::otText,
                      D = TOptionType::otTime, X = TOptionType::otSpecial;

const std::vector<TOptionDef> Table = {
    // Informational options of the command line: nothing to do here.
    {"L", I, Ignore},
    {"h", I, Ignore},
    {"version", I, Ignore},
    {"formats", I, Ignore},
    {"codecs", I, Ignore},
    {"bsfs", I, Ignore},
    {"protocols", I, Ignore},
    {"filters", I, Ignore},
    {"i", I, Ignore},
    {"y", I, Ignore},
    {"benchmark", I, Ignore},
    // Flags.
    {"dump", B, Bool<&O::Fdo_pkt_dump>},
    {"hex", B, Bool<&O::Fdo_hex_dump>},
    {"re", B, Bool<&O::Frate_emu>},
    {"loop_input", B, GoneBool<&O::Floop_input>},
    {"copyts", B, Bool<&O::Fcopy_ts>},
    {"copytb", B, Bool<&O::Fcopy_tb>},
    {"shortest", B, Bool<&O::Fopt_shortest>},
    {"xerror", B, Bool<&O::Fexit_on_error>},
    {"intra", B, Bool<&O::Fintra_only>},
    {"vn", B, Bool<&O::Fvideo_disable>},
    {"sameq", B, GoneBool<&O::Fsame_quality>},
    {"deinterlace", B, GoneBool<&O::Fdo_deinterlace>},
    {"psnr", B, Bool<&O::Fdo_psnr>},
    {"qphist", B, Bool<&O::Fqp_hist>},
    {"force_fps", B, Bool<&O::Fforce_fps>},
    {"an", B, Bool<&O::Faudio_disable>},
    {"sn", B, Bool<&O::Fsubtitle_disable>},
    {"isync", B, Bool<&O::Finput_sync>},
    // Integers.
    {"dframes", N, MaxFrames<AVMEDIA_TYPE_DATA>},
    {"loop_output", N, GoneInt<&O::Floop_output, -1>},
    {"v", N, Int<&O::Fverbose>},
    {"vsync", N, Int<&O::Fvideo_sync_method>},
    {"async", N, Int<&O::Faudio_sync_method>},
    {"vglobal", N, Int<&O::Fvideo_global_header>},
    {"programid", N, Int<&O::Fopt_programid>},
    {"copyinkf", N, Int<&O::Fcopy_initial_nonkeyframes>},
    {"vframes", N, MaxFrames<AVMEDIA_TYPE_VIDEO>},
    {"vdt", N, Int<&O::Fvideo_discard>},
    {"me_threshold", N, GoneInt<&O::Fme_threshold, 0>},
    {"top", N, Int<&O::Ftop_field_first>},
    {"dc", N, Int<&O::Fintra_dc_precision>},
    {"aframes", N, MaxFrames<AVMEDIA_TYPE_AUDIO>},
    {"vol", N, Int<&O::Faudio_volume>},
    {"vc", N, Int<&O::Fvideo_channel>},
    {"ar", N, AudioRate},
    {"ac", N, AudioChannels},
    {"threads", N, Threads},
    {"pass", N, Pass},
    {"fs", N64, Int64<&O::Flimit_filesize>},
    // Floats.
    {"adrift_threshold", F, Float<&O::Faudio_drift_threshold>},
    {"dts_delta_threshold", F, Float<&O::Fdts_delta_threshold>},
    {"aq", F, Float<&O::Faudio_qscale>},
    {"muxdelay", F, Float<&O::Fmux_max_delay>},
    {"muxpreload", F, Float<&O::Fmux_preload>},
    {"qscale", F, QScale},
    // Texts.
    {"passlogfile", T, PassLogFile},
    {"vlang", T, Text<&O::Fvideo_language>},
    {"alang", T, Text<&O::Faudio_language>},
    {"slang", T, Text<&O::Fsubtitle_language>},
    {"force_key_frames", T, Text<&O::Fforced_key_frames>},
    {"vfilters", T, VFilters},
    {"vf", T, VFilters},
    {"tvstd", T, Text<&O::Fvideo_standard>},
    {"rc_override", T, Text<&O::Fvideo_rc_override_string>},
    {"vstats_file", T, Text<&O::Fvstats_filename>},
    // Times.
    {"t", D, RecordingTime},
    {"ss", D, Duration<&O::Fstart_time>},
    {"itsoffset", D, Duration<&O::Finput_ts_offset>},
    {"timestamp", D, Timestamp},
    // Options with their own rules.
    {"loglevel", X, LogLevel},
    {"f", X, Format},
    {"map", X, Map},
    {"map_meta_data", X, MapMetaData},
    {"map_chapters", X, MapChapters},
    {"metadata", X, Metadata},
    {"itsscale", X, ItsScale},
    {"timelimit", X, TimeLimit},
    {"target", X, Target},
    {"b", X, BitRate},
    {"vb", X, BitRate},
    {"ab", X, BitRate},
    {"r", X, FrameRate},
    {"s", X, FrameSize},
    {"aspect", X, Aspect},
    {"pix_fmt", X, PixFmt},
    {"sample_fmt", X, SampleFmt},
    {"croptop", X, Crop},
    {"cropbottom", X, Crop},
    {"cropleft", X, Crop},
    {"cropright", X, Crop},
    {"padtop", X, Pad},
    {"padbottom", X, Pad},
    {"padleft", X, Pad},
    {"padright", X, Pad},
    {"padcolor", X, Pad},
    {"vcodec", X, Codec<AVMEDIA_TYPE_VIDEO>},
    {"acodec", X, Codec<AVMEDIA_TYPE_AUDIO>},
    {"scodec", X, Codec<AVMEDIA_TYPE_SUBTITLE>},
    {"vstats", X, VStats},
    {"vhook", X, VHook},
    {"intra_matrix", X, Matrix<&O::Fintra_matrix>},
    {"inter_matrix", X, Matrix<&O::Finter_matrix>},
    {"vtag", X, Tag<&O::Fvideo_codec_tag>},
    {"atag", X, Tag<&O::Faudio_codec_tag>},
    {"stag", X, Tag<&O::Fsubtitle_codec_tag>},
    {"newvideo", X, NewStream<AVMEDIA_TYPE_VIDEO>},
    {"newaudio", X, NewStream<AVMEDIA_TYPE_AUDIO>},
    {"newsubtitle", X, NewStream<AVMEDIA_TYPE_SUBTITLE>},
    {"streamid", X, StreamId},
    {"absf", X, Bsf<&O::Faudio_bitstream_filters>},
    {"vbsf", X, Bsf<&O::Fvideo_bitstream_filters>},
    {"sbsf", X, Bsf<&O::Fsubtitle_bitstream_filters>},
    {"apre", X, Preset},
    {"vpre", X, Preset},
    {"spre", X, Preset},
    {"fpre", X, Preset},
};

} // namespace

const std::vector<TOptionDef>& OptionTable() {
  return Table;
}

const TOptionDef* FindOptionDef(const std::string& AName) {
  static const std::unordered_map<std::string, const TOptionDef*> index = [] {
    std::unordered_map<std::string, const TOptionDef*> m;
    for (const auto& d : Table) m.emplace(d.Name, &d);
    return m;
  }();
  auto it = index.find(AName);
  return it == index.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------

TFFmpegOptions::TFFmpegOptions(IOptionHost* AHost, void* ALogSender)
    : FHost(AHost), FLogSender(ALogSender ? ALogSender : AHost) {
  FStore.LogSender = FLogSender;
  InitOptionDefaults();
}

TFFmpegOptions::~TFFmpegOptions() = default;

void TFFmpegOptions::ResetState() {
  // Everything but the host, the sender, the halt flag and the store.
  Flast_asked_format.clear();
  Fframe_width = Fframe_height = 0;
  Fframe_aspect_ratio = 0;
  Fframe_pix_fmt = AV_PIX_FMT_NONE;
  Faudio_sample_fmt = AV_SAMPLE_FMT_NONE;
  for (int& m : Fmax_frames) m = INT32_MAX;
  Fframe_rate = {25, 0};
  Fvideo_qscale = 0;
  Fintra_matrix.reset();
  Finter_matrix.reset();
  Fvideo_rc_override_string.clear();
  Fvideo_disable = false;
  Fvideo_discard = 0;
  Fvideo_codec_name.reset();
  Fvideo_codec_tag = 0;
  Fvideo_language.clear();
  Fsame_quality = Fdo_deinterlace = false;
  Ftop_field_first = -1;
  Fme_threshold = 0;
  Fintra_dc_precision = 8;
  Floop_input = false;
  Floop_output = -1;
  Fqp_hist = false;
  Fvfilters.clear();
  Fintra_only = false;
  Faudio_sample_rate = 44100;
  Fchannel_layout = 0;
  Faudio_qscale = -99999.0f;
  Faudio_disable = false;
  Faudio_channels = 2;
  Faudio_codec_name.reset();
  Faudio_codec_tag = 0;
  Faudio_language.clear();
  Fsubtitle_disable = false;
  Fsubtitle_codec_name.reset();
  Fsubtitle_language.clear();
  Fsubtitle_codec_tag = 0;
  Fmux_preload = 0.5f;
  Fmux_max_delay = 0.7f;
  Frecording_time = INT64_MAX;
  Fstart_time = 0;
  Frecording_timestamp = 0;
  Finput_ts_offset = 0;
  Fmetadata.clear();
  Fdo_hex_dump = Fdo_pkt_dump = Fdo_psnr = false;
  Fdo_pass = 0;
  Fpass_logfilename_prefix.clear();
  Faudio_stream_copy = Fvideo_stream_copy = Fsubtitle_stream_copy = 0;
  Fvideo_sync_method = -1;
  Faudio_sync_method = 0;
  Faudio_drift_threshold = 0.1f;
  Fcopy_ts = Fcopy_tb = Fopt_shortest = false;
  Fvideo_global_header = 0;
  Fvstats_filename.clear();
  Fopt_programid = 0;
  Fcopy_initial_nonkeyframes = 0;
  Frate_emu = false;
  Fvideo_channel = 0;
  Fvideo_standard.clear();
  Faudio_volume = 256;
  Fexit_on_error = false;
  Fusing_vhook = false;
  Fverbose = 1;
  Fthread_count = 1;
  Flimit_filesize = 0;
  Fforce_fps = false;
  Fforced_key_frames.clear();
  Fdts_delta_threshold = 10.0f;
  Fsws_flags = SWS_BICUBIC;
  Finput_sync = false;
  Fvideo_bitstream_filters.clear();
  Faudio_bitstream_filters.clear();
  Fsubtitle_bitstream_filters.clear();
  Fstream_maps.clear();
  Fmeta_data_maps.clear();
  Fmetadata_global_autocopy = Fmetadata_streams_autocopy = Fmetadata_chapters_autocopy = 1;
  Fchapter_maps.clear();
  Fstreamid_map.clear();
  Fnext_input_ts_scale.clear();
}

void TFFmpegOptions::InitOptionDefaults() {
  ResetState();
  FStore.Reset(Fsws_flags);
}

void TFFmpegOptions::Log(TLogLevel ALevel, const std::string& AMsg) const {
  Logger().Log(FLogSender, ALevel, AMsg);
}

void TFFmpegOptions::SetExtOption(const std::string& AName, const std::string& AValue) {
  if (const TOptionDef* d = FindOptionDef(AName))
    d->Handler(*this, AName, AValue);
  else
    OfferGeneric(AName, AValue);
}

void TFFmpegOptions::SetExtOptions(const std::string& AText) {
  for (const auto& l : SplitOptionText(AText)) SetExtOption(l.Name, l.Value);
}

bool TFFmpegOptions::OfferGeneric(const std::string& AName, const std::string& AValue) {
  if (FStore.Offer(AName, AValue)) return true;
  if (HaltOnInvalidOption) throw FFmpegException(FStore.LastError());
  return false;
}

void TFFmpegOptions::SetCodecName(AVMediaType AType, const std::string& AName) {
  if (AName.empty()) return;
  std::optional<std::string>* name = AType == AVMEDIA_TYPE_VIDEO   ? &Fvideo_codec_name
                                     : AType == AVMEDIA_TYPE_AUDIO ? &Faudio_codec_name
                                                                   : &Fsubtitle_codec_name;
  int* copy = AType == AVMEDIA_TYPE_VIDEO   ? &Fvideo_stream_copy
              : AType == AVMEDIA_TYPE_AUDIO ? &Faudio_stream_copy
                                            : &Fsubtitle_stream_copy;
  name->reset();
  if (AName == "copy")
    *copy = 1;
  else
    *name = AName;
}

void TFFmpegOptions::ApplyPreset(const std::string& AOption, const std::string& AValue) {
  if (AValue.empty()) return;
  std::string text, presetName = AValue;
  bool found = false;
  if (AOption != "fpre") {
    const std::optional<std::string>& codec = AOption == "apre"   ? Faudio_codec_name
                                              : AOption == "vpre" ? Fvideo_codec_name
                                                                  : Fsubtitle_codec_name;
    if (const std::string* p = FindBuiltinPreset(AValue)) {
      text = *p;
      found = true;
    } else if (codec && !codec->empty()) {
      std::string combined = *codec + "-" + AValue;
      if (const std::string* p2 = FindBuiltinPreset(combined)) {
        text = *p2;
        presetName = combined;
        found = true;
      }
    }
  }
  if (!found && !ReadPresetFile(ResolvePresetPath(AValue), text))
    Fail(fmt::sprintf("Preset \"%s\" not found", AValue));

  std::string all = TrimText(text);
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find_first_of("\r\n", start);
    if (end == std::string::npos) end = all.size();
    std::string line = TrimText(all.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? line : line.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    if (key.empty() || value.empty()) Fail(fmt::sprintf("%s: Invalid syntax: \"%s\"", presetName, line));
    std::string lower = Lower(key);
    if (lower == "acodec")
      SetCodecName(AVMEDIA_TYPE_AUDIO, value);
    else if (lower == "vcodec")
      SetCodecName(AVMEDIA_TYPE_VIDEO, value);
    else if (lower == "scodec")
      SetCodecName(AVMEDIA_TYPE_SUBTITLE, value);
    else if (!FStore.Offer(key, value) && HaltOnInvalidOption)
      Fail(fmt::sprintf("%s\r\n%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                        FStore.LastError(), presetName, line, key, value));
  }
}

// --- direct setters ----------------------------------------------------------

void TFFmpegOptions::SetForceFormat(const std::string& AFormat) {
  Format(*this, "f", AFormat);
}
void TFFmpegOptions::SetStartTime(int64_t AStart) {
  if (AStart != INT64_MIN) Fstart_time = AStart;
}
void TFFmpegOptions::SetProgramID(int AID) {
  if (AID >= 0) Fopt_programid = AID;
}
void TFFmpegOptions::SetRecordingTime(int64_t ATime) {
  if (ATime == INT64_MIN) return;
  Frecording_time = ATime;
  if (FHost) FHost->SetTotalOutputDuration(ATime);
}
void TFFmpegOptions::SetAudioVolume(int AVolume) {
  if (AVolume >= 0) Faudio_volume = AVolume;
}
void TFFmpegOptions::SetAudioChannels(int AChannels) {
  if (AChannels > 0) Faudio_channels = AChannels;
}
void TFFmpegOptions::SetAudioSampleRate(int ARate) {
  if (ARate > 0) Faudio_sample_rate = ARate;
}
void TFFmpegOptions::SetMuxDelay(float ASeconds) {
  if (ASeconds > 0) Fmux_max_delay = ASeconds;
}
void TFFmpegOptions::SetMuxPreload(float ASeconds) {
  if (ASeconds > 0) Fmux_preload = ASeconds;
}
void TFFmpegOptions::SetAudioCodec(const std::string& AName) {
  SetCodecName(AVMEDIA_TYPE_AUDIO, AName);
}
void TFFmpegOptions::SetVideoCodec(const std::string& AName) {
  SetCodecName(AVMEDIA_TYPE_VIDEO, AName);
}
void TFFmpegOptions::SetSubtitleCodec(const std::string& AName) {
  SetCodecName(AVMEDIA_TYPE_SUBTITLE, AName);
}
void TFFmpegOptions::SetPreset(const std::string& AOption, const std::string& AName) {
  if (!AName.empty()) ApplyPreset(AOption, AName);
}
void TFFmpegOptions::SetFrameRate(const std::string& ARate) {
  if (!ARate.empty()) FrameRate(*this, "r", ARate);
}
void TFFmpegOptions::SetFrameSize(const std::string& ASize) {
  if (!ASize.empty()) FrameSize(*this, "s", ASize);
}
void TFFmpegOptions::SetAspectRatio(const std::string& AAspect) {
  if (!AAspect.empty()) Aspect(*this, "aspect", AAspect);
}
void TFFmpegOptions::SetVideoFilters(const std::string& AFilters) {
  VFilters(*this, "vf", AFilters);
}
void TFFmpegOptions::SetCodecTag(const std::string& AOption, const std::string& ATag) {
  if (!ATag.empty()) SetExtOption(AOption, ATag);
}
void TFFmpegOptions::SetMetadata(const std::string& AKey, const std::string& AValue) {
  if (AKey.empty()) Fail("wrong parameter of metadata");
  for (auto& kv : Fmetadata)
    if (kv.first == AKey) {
      kv.second = AValue;
      return;
    }
  Fmetadata.emplace_back(AKey, AValue);
}
void TFFmpegOptions::SetGenericOption(const std::string& AName, int64_t AValue) {
  FStore.Offer(AName, std::to_string(AValue));
}

// --- consumption by the job ----------------------------------------------------

void TFFmpegOptions::ConsumeInputOptions() {
  Flast_asked_format.clear();
  Fstart_time = 0;
  Fopt_programid = 0;
  Fvideo_channel = 0;
  Fvideo_codec_name.reset();
  Faudio_codec_name.reset();
  Fsubtitle_codec_name.reset();
  Fnext_input_ts_scale.clear();
}

void TFFmpegOptions::ConsumeStreamOptions(AVMediaType AType) {
  switch (AType) {
  case AVMEDIA_TYPE_VIDEO:
    Fvideo_language.clear();
    Fvideo_codec_name.reset();
    Fvideo_stream_copy = 0;
    Fvideo_disable = false;
    Fframe_pix_fmt = AV_PIX_FMT_NONE;
    Fforced_key_frames.clear();
    Fvideo_bitstream_filters.clear();
    break;
  case AVMEDIA_TYPE_AUDIO:
    Faudio_language.clear();
    Faudio_codec_name.reset();
    Faudio_stream_copy = 0;
    Faudio_disable = false;
    Faudio_bitstream_filters.clear();
    break;
  case AVMEDIA_TYPE_SUBTITLE:
    Fsubtitle_language.clear();
    Fsubtitle_codec_name.reset();
    Fsubtitle_stream_copy = 0;
    Fsubtitle_disable = false;
    Fsubtitle_bitstream_filters.clear();
    break;
  default:
    break;
  }
}

void TFFmpegOptions::ConsumeOutputOptions() {
  Flast_asked_format.clear();
  Fmetadata.clear();
  Fstreamid_map.clear();
  Fforced_key_frames.clear();
}
