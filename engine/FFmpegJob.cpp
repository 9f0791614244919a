#include "engine/FFmpegJob.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "medialib/UnicodeProtocol.h"
#include "util/MainThread.h"

namespace {

// Generic store masks (encoding/decoding x media kind).
constexpr int KEncoding = AV_OPT_FLAG_ENCODING_PARAM;
constexpr int KDecoding = AV_OPT_FLAG_DECODING_PARAM;

int64_t NowMicro() {
  return FF.av_gettime_relative ? FF.av_gettime_relative() : 0;
}

const char* KindName(bool AEncoder) {
  return AEncoder ? "encoder" : "decoder";
}

struct TCodecContextDeleter {
  void operator()(AVCodecContext* ACtx) const {
    if (ACtx && FF.avcodec_free_context) FF.avcodec_free_context(&ACtx);
  }
};

struct TBSFDeleter {
  void operator()(AVBSFContext* ACtx) const {
    if (ACtx && FF.av_bsf_free) FF.av_bsf_free(&ACtx);
  }
};

bool SameFile(const std::string& A, const std::string& B) {
  struct stat sa {
  }, sb{};
  std::string a = IsUnicodeURL(A) ? FromLibraryName(A) : A;
  std::string b = IsUnicodeURL(B) ? FromLibraryName(B) : B;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

TFFmpegJob::TFFmpegJob(int AMaxFiles) : TCustomFFmpeg(AMaxFiles), FOptions(this, this) {
  FOptions.HaltOnInvalidOption = HaltOnInvalidOption;
}

TFFmpegJob::~TFFmpegJob() {
  Stop(true);
  ReleaseTables();
  FreeOutputStreams();
}

AVFormatContext* TFFmpegJob::InputFile(int AIndex) const {
  return AIndex >= 0 && AIndex < nb_input_files() ? Finput_files[AIndex] : nullptr;
}

AVFormatContext* TFFmpegJob::OutputFile(int AIndex) const {
  return AIndex >= 0 && AIndex < nb_output_files() ? Foutput_files[AIndex] : nullptr;
}

std::string TFFmpegJob::InputFileName(int AIndex) const {
  return AIndex >= 0 && AIndex < int(FInputNames.size()) ? FInputNames[AIndex] : std::string();
}

std::string TFFmpegJob::OutputFileName(int AIndex) const {
  return AIndex >= 0 && AIndex < int(FOutputNames.size()) ? FOutputNames[AIndex] : std::string();
}

std::vector<AVRational> TFFmpegJob::InputVideoFrameRates() const {
  std::vector<AVRational> r;
  for (int i = 0; i < nb_input_files(); ++i)
    for (unsigned s = 0; s < Finput_files[i]->nb_streams; ++s)
      if (Finput_files[i]->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        r.push_back(Finput_files[i]->streams[s]->r_frame_rate);
  return r;
}

bool TFFmpegJob::AddFrameHook(const std::vector<std::string>&) {
  return false;
}

void TFFmpegJob::SetTotalOutputDuration(int64_t ADuration) {
  FTotalOutputDuration = ADuration;
}

// ---------------------------------------------------------------------------
// Codec lookup by name.
bool TFFmpegJob::LookupCodec(const std::optional<std::string>& AName, AVMediaType AType, bool AEncoder,
                             const AVCodec** ACodec) {
  *ACodec = nullptr;
  if (!AName || AName->empty()) return true;
  const AVCodec* codec = AEncoder ? FF.avcodec_find_encoder_by_name(AName->c_str())
                                  : FF.avcodec_find_decoder_by_name(AName->c_str());
  if (!codec) {
    SetLastErrMsgF("Unknown %s '%s'", KindName(AEncoder), *AName);
    return false;
  }
  if (codec->type != AType) {
    SetLastErrMsgF("Invalid %s type '%s'", KindName(AEncoder), *AName);
    return false;
  }
  AVCodecContext* store = FOptions.Store().avcodec_opts[AType];
  int strict = store ? store->strict_std_compliance : 0;
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strict > FF_COMPLIANCE_EXPERIMENTAL) {
    std::string msg = fmt::sprintf("%s '%s' is experimental and might produce bad results.\r\nAdd '-strict "
                                   "experimental' if you want to use it.",
                                   KindName(AEncoder), codec->name);
    const AVCodec* other = AEncoder ? FF.avcodec_find_encoder(codec->id) : FF.avcodec_find_decoder(codec->id);
    if (other && !(other->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
      msg += "\r\n" + fmt::sprintf("Or use the non experimental %s '%s'.", KindName(AEncoder), other->name);
    SetLastErrMsg(msg);
    return false;
  }
  *ACodec = codec;
  return true;
}

// ---------------------------------------------------------------------------
// Inputs.
bool TFFmpegJob::OpenInputFile(const std::string& AFileName) {
  if (nb_input_files() >= MaxFiles()) {
    SetLastErrMsgF("Too many input files (at most %d)", MaxFiles());
    return false;
  }
  auto& o = FOptions;
  const AVInputFormat* format = nullptr;
  if (!o.Flast_asked_format.empty()) {
    format = FF.av_find_input_format(o.Flast_asked_format.c_str());
    if (!format) {
      std::string name = o.Flast_asked_format;
      o.Flast_asked_format.clear();
      RaiseFFmpeg("Unknown input format: \"%s\"", name);
    }
    o.Flast_asked_format.clear();
  }
  bool ok = false;
  AVFormatContext* ic = nullptr;
  auto failure = [&] {
    o.ConsumeInputOptions();
    return false;
  };
  const AVCodec *vcodec = nullptr, *acodec = nullptr, *scodec = nullptr;
  if (!LookupCodec(o.Fvideo_codec_name, AVMEDIA_TYPE_VIDEO, false, &vcodec) ||
      !LookupCodec(o.Faudio_codec_name, AVMEDIA_TYPE_AUDIO, false, &acodec) ||
      !LookupCodec(o.Fsubtitle_codec_name, AVMEDIA_TYPE_SUBTITLE, false, &scodec))
    return failure();

  // Format parameters of raw inputs go to the demuxer as options.
  AVDictionary* opts = nullptr;
  if (format && (format->flags & AVFMT_NOFILE || !format->extensions || true)) {
    if (o.Faudio_sample_rate > 0) FF.av_dict_set_int(&opts, "sample_rate", o.Faudio_sample_rate, 0);
    if (o.Faudio_channels > 0) FF.av_dict_set_int(&opts, "channels", o.Faudio_channels, 0);
    if (o.Fframe_width > 0 && o.Fframe_height > 0)
      FF.av_dict_set(&opts, "video_size", fmt::format("{}x{}", o.Fframe_width, o.Fframe_height).c_str(), 0);
  }
  int ret;
  {
    TReadTimeoutGuard guard(*this);
    std::string libName = ToLibraryName(AFileName);
    ret = FFOpenInput(&ic, libName.empty() ? AFileName : libName, format, &opts);
    FF.av_dict_free(&opts);
    if (ret < 0) {
      SetLastErrMsg(MediaErrorText(AFileName, ret));
      Logger().Log(this, llError, LastErrMsg());
      return failure();
    }
    if (vcodec) ic->video_codec_id = vcodec->id;
    if (acodec) ic->audio_codec_id = acodec->id;
    if (scodec) ic->subtitle_codec_id = scodec->id;
    o.Store().ApplyFormat(ic, KDecoding);

    if (o.Fopt_programid) {
      bool found = false;
      for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
      for (unsigned p = 0; p < ic->nb_programs; ++p) {
        AVProgram* prog = ic->programs[p];
        if (prog->id != o.Fopt_programid) {
          prog->discard = AVDISCARD_ALL;
        } else {
          found = true;
          for (unsigned k = 0; k < prog->nb_stream_indexes; ++k)
            ic->streams[prog->stream_index[k]]->discard = AVDISCARD_DEFAULT;
        }
      }
      if (!found) {
        SetLastErrMsg("Specified program id not found");
        FFCloseInput(&ic);
        return failure();
      }
      o.Fopt_programid = 0;
    }

    guard.Restart();
    ret = FF.avformat_find_stream_info(ic, nullptr);
    if (ret < 0 && o.Fverbose >= 0) {
      SetLastErrMsgF("%s: could not find codec parameters", AFileName);
      Logger().Log(this, llVerbose, LastErrMsg());
      FFCloseInput(&ic);
      return failure();
    }
  }

  int64_t target = o.Fstart_time;
  if (ic->start_time != AV_NOPTS_VALUE) target += ic->start_time;
  bool trimmed = o.Fstart_time != 0;
  if (o.Fstart_time != 0) {
    TReadTimeoutGuard guard(*this);
    ret = FF.av_seek_frame(ic, -1, target, AVSEEK_FLAG_BACKWARD);
    if (ret < 0 && o.Fverbose > 0)
      Logger().Log(this, llVerbose, "%s: could not seek to position %0.3f", AFileName,
                   double(target) / 1000000.0);
  }

  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    AVCodecParameters* par = st->codecpar;
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      o.Fframe_width = par->width;
      o.Fframe_height = par->height;
      {
        AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
        double r = sar.num && sar.den ? double(sar.num) / sar.den : 0;
        if (par->width && par->height)
          o.Fframe_aspect_ratio = float((r ? r : 1.0) * par->width / par->height);
        else
          o.Fframe_aspect_ratio = r ? float(r) : 4.0f / 3.0f;
      }
      o.Fframe_pix_fmt = par->format < 0 ? AVPixelFormat(0) : AVPixelFormat(par->format);
      if (st->r_frame_rate.num) o.Fframe_rate = st->r_frame_rate;
      if (o.Fvideo_disable)
        st->discard = AVDISCARD_ALL;
      else if (o.Fvideo_discard)
        st->discard = AVDiscard(o.Fvideo_discard);
      break;
    case AVMEDIA_TYPE_AUDIO:
      o.Fchannel_layout =
          par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? int64_t(par->ch_layout.u.mask) : 0;
      o.Faudio_channels = par->ch_layout.nb_channels;
      o.Faudio_sample_rate = par->sample_rate;
      o.Faudio_sample_fmt = AVSampleFormat(par->format);
      if (o.Faudio_disable) st->discard = AVDISCARD_ALL;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      if (o.Fsubtitle_disable) st->discard = AVDISCARD_ALL;
      break;
    default:
      break;
    }
  }
  if (ic->duration != AV_NOPTS_VALUE && ic->duration > FTotalOutputDuration)
    FTotalOutputDuration = ic->duration;

  int n = nb_input_files();
  Finput_files[n] = ic;
  Finput_files_ts_offset[n] = o.Finput_ts_offset - (o.Fcopy_ts ? 0 : target);
  Finput_files_ts_scale[n] = o.Fnext_input_ts_scale;
  if (FInputNames.size() <= size_t(n)) FInputNames.resize(n + 1);
  FInputNames[n] = AFileName;
  if (FInputTrim.size() <= size_t(n)) FInputTrim.resize(n + 1);
  FInputTrim[n] = trimmed;
  if (o.Fverbose >= 0) FF.av_dump_format(ic, n, ic->url ? ic->url : "", 0);
  Fnb_input_files = n + 1;
  o.Finput_ts_offset = 0;
  ok = true;
  o.ConsumeInputOptions();
  return ok;
}

// ---------------------------------------------------------------------------
// Outputs.
TAVOutputStream* TFFmpegJob::AddOutputStream(AVFormatContext* AOutput, int AFileIndex, AVMediaType AType) {
  auto& o = FOptions;
  AVStream* st = FF.avformat_new_stream(AOutput, nullptr);
  if (!st) RaiseFFmpeg("Could not alloc stream");
  int pos = int(AOutput->nb_streams) - 1;
  if (pos < o.Fnb_streamid_map() && o.Fstreamid_map[pos]) st->id = o.Fstreamid_map[pos];
  st->codecpar->codec_type = AType;
  auto ost = new TAVOutputStream;
  ost->file_index = AFileIndex;
  ost->index = st->index;
  ost->st = st;
  ost->end_pts = std::make_shared<int64_t>(AV_NOPTS_VALUE);
  Foutput_streams_for_file[AFileIndex].push_back(ost);
  return ost;
}

void TFFmpegJob::NewAudioStream(AVFormatContext* AOutput, int AFileIndex) {
  auto& o = FOptions;
  TAVOutputStream* ost = AddOutputStream(AOutput, AFileIndex, AVMEDIA_TYPE_AUDIO);
  AVStream* st = ost->st;
  ost->bitstream_filters = o.Faudio_bitstream_filters;
  if (o.Faudio_stream_copy) {
    ost->stream_copy = true;
  } else {
    const AVCodec* codec = nullptr;
    if (!LookupCodec(o.Faudio_codec_name, AVMEDIA_TYPE_AUDIO, true, &codec)) {
      o.ConsumeStreamOptions(AVMEDIA_TYPE_AUDIO);
      RaiseFFmpeg(LastErrMsg());
    }
    if (!codec) {
      AVCodecID id = FF.av_guess_codec(AOutput->oformat, nullptr, AOutput->url, nullptr, AVMEDIA_TYPE_AUDIO);
      codec = FF.avcodec_find_encoder(id);
      if (!codec) {
        o.ConsumeStreamOptions(AVMEDIA_TYPE_AUDIO);
        RaiseFFmpeg("Encoder (codec id %d) not found for output stream #%d.%d (%s)", int(id), AFileIndex,
                    st->index, "Audio");
      }
    }
    ost->codec = codec;
    AVCodecContext* enc = FF.avcodec_alloc_context3(codec);
    if (!enc) RaiseFFmpeg("Could not alloc stream");
    ost->enc.reset(enc, TCodecContextDeleter{});
    enc->thread_count = std::max(o.Fthread_count, 1);
    if (AOutput->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (o.Faudio_codec_tag) enc->codec_tag = o.Faudio_codec_tag;
    o.Store().ApplyCodec(enc, AVMEDIA_TYPE_AUDIO, KEncoding | AV_OPT_FLAG_AUDIO_PARAM);
    if (o.Faudio_qscale > -99999.0f) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      ost->quality = FF_QP2LAMBDA * o.Faudio_qscale;
      enc->global_quality = int(ost->quality);
    }
    // Channels, sample format and rate as asked, adjusted to what the
    // encoder supports.
    int channels = std::max(o.Faudio_channels, 1);
    if (o.Fchannel_layout &&
        FF.av_channel_layout_from_mask(&enc->ch_layout, uint64_t(o.Fchannel_layout)) == 0 &&
        enc->ch_layout.nb_channels == channels) {
    } else {
      FF.av_channel_layout_uninit(&enc->ch_layout);
      FF.av_channel_layout_default(&enc->ch_layout, channels);
    }
    if (codec->ch_layouts) {
      bool supported = false;
      for (auto l = codec->ch_layouts; l->nb_channels; ++l)
        if (FF.av_channel_layout_compare(l, &enc->ch_layout) == 0) supported = true;
      if (!supported) {
        // Same channel count in another order, else the encoder's first layout.
        const AVChannelLayout* pick = nullptr;
        for (auto l = codec->ch_layouts; l->nb_channels; ++l)
          if (l->nb_channels == channels) {
            pick = l;
            break;
          }
        if (!pick) pick = codec->ch_layouts;
        FF.av_channel_layout_uninit(&enc->ch_layout);
        FF.av_channel_layout_copy(&enc->ch_layout, pick);
      }
    }
    enc->sample_fmt = o.Faudio_sample_fmt != AV_SAMPLE_FMT_NONE ? o.Faudio_sample_fmt : AV_SAMPLE_FMT_S16;
    if (codec->sample_fmts) {
      bool supported = false;
      for (auto f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == enc->sample_fmt) supported = true;
      if (!supported) {
        // Prefer the same format in the other layout (planar/packed), else the first.
        AVSampleFormat alt = FF.av_sample_fmt_is_planar(enc->sample_fmt)
                                 ? FF.av_get_packed_sample_fmt(enc->sample_fmt)
                                 : FF.av_get_planar_sample_fmt(enc->sample_fmt);
        AVSampleFormat pick = codec->sample_fmts[0];
        for (auto f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
          if (*f == alt) pick = alt;
        enc->sample_fmt = pick;
      }
    }
    enc->sample_rate = o.Faudio_sample_rate > 0 ? o.Faudio_sample_rate : 44100;
    if (codec->supported_samplerates) {
      int best = codec->supported_samplerates[0];
      for (auto r = codec->supported_samplerates; *r; ++r)
        if (std::abs(*r - enc->sample_rate) < std::abs(best - enc->sample_rate)) best = *r;
      if (best != enc->sample_rate) {
        Logger().Log(this, llWarning, "Requested sampling rate unsupported using closest supported (%d)",
                     best);
        enc->sample_rate = best;
      }
    }
    enc->time_base = AVRational{1, enc->sample_rate};
  }
  if (!o.Faudio_language.empty()) FF.av_dict_set(&st->metadata, "language", o.Faudio_language.c_str(), 0);
  o.ConsumeStreamOptions(AVMEDIA_TYPE_AUDIO);
}

void TFFmpegJob::NewVideoStream(AVFormatContext* AOutput, int AFileIndex) {
  auto& o = FOptions;
  TAVOutputStream* ost = AddOutputStream(AOutput, AFileIndex, AVMEDIA_TYPE_VIDEO);
  ost->bitstream_filters = o.Fvideo_bitstream_filters;
  if (o.Fvideo_stream_copy) {
    ost->stream_copy = true;
  } else {
    o.ConsumeStreamOptions(AVMEDIA_TYPE_VIDEO);
    RaiseFFmpeg("Video encoding is not available in this version; use stream copy or disable video");
  }
  if (!o.Fvideo_language.empty())
    FF.av_dict_set(&ost->st->metadata, "language", o.Fvideo_language.c_str(), 0);
  o.ConsumeStreamOptions(AVMEDIA_TYPE_VIDEO);
}

void TFFmpegJob::NewSubtitleStream(AVFormatContext* AOutput, int AFileIndex) {
  auto& o = FOptions;
  TAVOutputStream* ost = AddOutputStream(AOutput, AFileIndex, AVMEDIA_TYPE_SUBTITLE);
  ost->bitstream_filters = o.Fsubtitle_bitstream_filters;
  if (o.Fsubtitle_stream_copy) {
    ost->stream_copy = true;
  } else {
    o.ConsumeStreamOptions(AVMEDIA_TYPE_SUBTITLE);
    RaiseFFmpeg("Subtitle encoding is not available in this version; use stream copy or disable subtitles");
  }
  if (!o.Fsubtitle_language.empty())
    FF.av_dict_set(&ost->st->metadata, "language", o.Fsubtitle_language.c_str(), 0);
  o.ConsumeStreamOptions(AVMEDIA_TYPE_SUBTITLE);
}

void TFFmpegJob::NewOutputStream(AVMediaType AType) {
  int n = nb_output_files();
  if (n <= 0) RaiseFFmpeg("At least one output file must be specified");
  AVFormatContext* oc = Foutput_files[n - 1];
  switch (AType) {
  case AVMEDIA_TYPE_AUDIO:
    NewAudioStream(oc, n - 1);
    break;
  case AVMEDIA_TYPE_VIDEO:
    NewVideoStream(oc, n - 1);
    break;
  case AVMEDIA_TYPE_SUBTITLE:
    NewSubtitleStream(oc, n - 1);
    break;
  default:
    RaiseFFmpeg("invalid codec_type");
  }
}

int TFFmpegJob::OpenOutputFile(const std::string& AFileName, bool AJoin) {
  auto& o = FOptions;
  if (FJoinMode) {
    SetLastErrMsg("Cannot join more than one output file.");
    return -1;
  }
  if (nb_output_files() >= MaxFiles()) {
    SetLastErrMsgF("Too many output files (at most %d)", MaxFiles());
    return -1;
  }
  // An output must never be one of the inputs: opening it would destroy it.
  for (int i = 0; i < nb_input_files(); ++i)
    if (SameFile(AFileName, FInputNames[i])) {
      SetLastErrMsgF("Output file '%s' is the same as input file '%s'", AFileName, FInputNames[i]);
      o.ConsumeOutputOptions();
      return -1;
    }
  std::string libName = ToLibraryName(AFileName);
  if (libName.empty()) libName = AFileName;
  const AVOutputFormat* format = nullptr;
  if (!o.Flast_asked_format.empty()) {
    format = FF.av_guess_format(o.Flast_asked_format.c_str(), nullptr, nullptr);
    if (!format) {
      SetLastErrMsgF("Requested output format '%s' is not a suitable output format", o.Flast_asked_format);
      o.ConsumeOutputOptions();
      return -1;
    }
    o.Flast_asked_format.clear();
  } else {
    format = FF.av_guess_format(nullptr, FromLibraryName(libName).c_str(), nullptr);
    if (!format) {
      SetLastErrMsgF("Unable to find a suitable output format for '%s'", AFileName);
      o.ConsumeOutputOptions();
      return -1;
    }
  }
  AVFormatContext* oc = nullptr;
  if (FF.avformat_alloc_output_context2(&oc, format, nullptr, libName.c_str()) < 0 || !oc)
    RaiseFFmpeg("avformat_alloc_context failed");
  int fileIndex = nb_output_files();
  Foutput_streams_for_file[fileIndex].clear();
  auto fail = [&](const std::string& AMsg) {
    SetLastErrMsg(AMsg);
    for (auto ost : Foutput_streams_for_file[fileIndex]) delete ost;
    Foutput_streams_for_file[fileIndex].clear();
    FFCloseOutputIO(oc);
    FF.avformat_free_context(oc);
    o.ConsumeOutputOptions();
    return -1;
  };

  // Which kinds of streams the file gets.
  bool useVideo = o.Fvideo_stream_copy || format->video_codec != AV_CODEC_ID_NONE || o.Fvideo_codec_name;
  bool useAudio = o.Faudio_stream_copy || format->audio_codec != AV_CODEC_ID_NONE || o.Faudio_codec_name;
  bool useSubtitle =
      o.Fsubtitle_stream_copy || format->subtitle_codec != AV_CODEC_ID_NONE || o.Fsubtitle_codec_name;
  if (nb_input_files() > 0) {
    bool hasVideo = false, hasAudio = false, hasSubtitle = false;
    int last = AJoin ? 1 : nb_input_files();
    for (int i = 0; i < last; ++i)
      for (unsigned s = 0; s < Finput_files[i]->nb_streams; ++s) {
        switch (Finput_files[i]->streams[s]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
          hasVideo = true;
          break;
        case AVMEDIA_TYPE_AUDIO:
          hasAudio = true;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          hasSubtitle = true;
          break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN:
          break;
        default:
          return fail("check_audio_video_sub_inputs fail: invalid codec_type of input file");
        }
      }
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  if (o.Fvideo_disable) useVideo = false;
  if (o.Faudio_disable) useAudio = false;
  if (o.Fsubtitle_disable) useSubtitle = false;
  // Pictures and subtitles are only copied here; when they would have to be
  // encoded the output goes without them.
  if (useVideo && !o.Fvideo_stream_copy) {
    Logger().Log(this, llWarning, "%s: video is not converted (only copied); the output gets no video stream",
                 AFileName);
    useVideo = false;
  }
  if (useSubtitle && !o.Fsubtitle_stream_copy) {
    Logger().Log(this, llWarning,
                 "%s: subtitles are not converted (only copied); the output gets no subtitle stream",
                 AFileName);
    useSubtitle = false;
  }

  try {
    if (useVideo) NewVideoStream(oc, fileIndex);
  } catch (const FFmpegException& e) {
    return fail(fmt::sprintf("new_video_stream fail: %s", e.what()));
  }
  try {
    if (useAudio) NewAudioStream(oc, fileIndex);
  } catch (const FFmpegException& e) {
    return fail(fmt::sprintf("new_audio_stream fail: %s", e.what()));
  }
  try {
    if (useSubtitle) NewSubtitleStream(oc, fileIndex);
  } catch (const FFmpegException& e) {
    return fail(fmt::sprintf("new_subtitle_stream fail: %s", e.what()));
  }
  // The kinds not created still consume their pending per-stream options.
  if (!useVideo) o.ConsumeStreamOptions(AVMEDIA_TYPE_VIDEO);
  if (!useAudio) o.ConsumeStreamOptions(AVMEDIA_TYPE_AUDIO);
  if (!useSubtitle) o.ConsumeStreamOptions(AVMEDIA_TYPE_SUBTITLE);

  for (auto& kv : o.Fmetadata) FF.av_dict_set(&oc->metadata, kv.first.c_str(), kv.second.c_str(), 0);
  if (o.Frecording_timestamp)
    FF.av_dict_set(&oc->metadata, "creation_time", fmt::format("{}", o.Frecording_timestamp).c_str(),
                   AV_DICT_DONT_OVERWRITE);

  if ((format->flags & AVFMT_NEEDNUMBER) && !FF.av_filename_number_test(oc->url))
    return fail(MediaErrorText(AFileName, AVERROR(EINVAL)).substr(0, AFileName.size() + 2) +
                "Number syntax expected in filename");

  if (!(format->flags & AVFMT_NOFILE)) {
    std::string plain = FromLibraryName(libName);
    struct stat sb {};
    bool existed = stat(plain.c_str(), &sb) == 0;
    TReadTimeoutGuard guard(*this);
    int ret = FFOpenOutputIO(oc, libName, AVIO_FLAG_WRITE, nullptr);
    if (ret < 0) return fail(MediaErrorText(AFileName, ret));
    // Only a regular file that this job created may be removed when empty.
    if (!existed && stat(plain.c_str(), &sb) == 0 && S_ISREG(sb.st_mode)) {
      std::error_code ec;
      auto abs = std::filesystem::absolute(plain, ec);
      Foutput_created_paths[fileIndex] = ec ? plain : abs.string();
    } else {
      Foutput_created_paths[fileIndex].clear();
    }
  }
  oc->max_delay = int(o.Fmux_max_delay * 1000000);
  oc->flags |= AVFMT_FLAG_NONBLOCK;
  o.Store().ApplyFormat(oc, KEncoding);

  Foutput_files[fileIndex] = oc;
  if (FOutputNames.size() <= size_t(fileIndex)) FOutputNames.resize(fileIndex + 1);
  FOutputNames[fileIndex] = AFileName;
  Fnb_output_files = fileIndex + 1;
  o.ConsumeOutputOptions();
  if (AJoin && nb_input_files() > 1) FJoinMode = true;
  return nb_output_files();
}

void TFFmpegJob::JoinSetup() {
  if (!FJoinMode) return;
  int64_t sum = 0;
  for (int i = 0; i < nb_input_files(); ++i)
    if (Finput_files[i]->duration != AV_NOPTS_VALUE && Finput_files[i]->duration > 0)
      sum += Finput_files[i]->duration;
  FTotalOutputDuration = sum ? sum : -1;
  AVFormatContext* oc = Foutput_files[0];
  auto& first = Foutput_streams_for_file[0];
  for (int i = 1; i < nb_input_files(); ++i) {
    if (nb_output_files() >= MaxFiles()) RaiseFFmpeg("Could not alloc output stream");
    int n = nb_output_files();
    Foutput_files[n] = oc;
    Foutput_streams_for_file[n].clear();
    for (auto src : first) {
      auto ost = new TAVOutputStream(*src); // shares the stream, encoder, pipeline and end time
      ost->file_index = n;
      Foutput_streams_for_file[n].push_back(ost);
    }
    Fnb_output_files = n + 1;
  }
}

void TFFmpegJob::FreeOutputStreams() {
  for (auto& list : Foutput_streams_for_file) {
    for (auto ost : list) delete ost;
    list.clear();
  }
}

// ---------------------------------------------------------------------------
// Transcode.
void TFFmpegJob::Transcode() {
  try {
    TranscodeSetup();
    TranscodeLoop();
  } catch (...) {
    ReleaseTables();
    throw;
  }
  ReleaseTables();
}

void TFFmpegJob::DumpAll() {
  for (int i = 0; i < nb_input_files(); ++i) FF.av_dump_format(Finput_files[i], i, Finput_files[i]->url, 0);
  int last = FJoinMode ? std::min(1, nb_output_files()) : nb_output_files();
  for (int i = 0; i < last; ++i) FF.av_dump_format(Foutput_files[i], i, Foutput_files[i]->url, 1);
}

void TFFmpegJob::SetupCopy(TAVOutputStream* AOst, TAVInputStream* AIst) {
  AVCodecParameters* in = AIst->st->codecpar;
  AVStream* st = AOst->st;
  if (in->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (FOptions.Faudio_volume != 256)
      RaiseFFmpeg("-acodec copy and -vol are incompatible (frames are not decoded)");
  }
  if (FF.avcodec_parameters_copy(st->codecpar, in) < 0) RaiseFFmpeg("av_mallocz fail");
  // Keep the codec tag only when the container agrees with it.
  const AVOutputFormat* of = Foutput_files[AOst->file_index]->oformat;
  unsigned tag = in->codec_tag;
  if (tag) {
    if (!of->codec_tag || FF.av_codec_get_id(of->codec_tag, tag) == in->codec_id ||
        !FF.av_codec_get_tag(of->codec_tag, in->codec_id))
      st->codecpar->codec_tag = tag;
    else
      st->codecpar->codec_tag = 0;
  }
  if (in->codec_type == AVMEDIA_TYPE_AUDIO &&
      ((in->codec_id == AV_CODEC_ID_MP3 && in->block_align == 1) || in->codec_id == AV_CODEC_ID_AC3))
    st->codecpar->block_align = 0;
  st->time_base = AIst->st->time_base;
  st->avg_frame_rate = AIst->st->avg_frame_rate;
  st->r_frame_rate = AIst->st->r_frame_rate;
  st->sample_aspect_ratio = AIst->st->sample_aspect_ratio;
}

void TFFmpegJob::OpenEncoder(TAVOutputStream* AOst) {
  AVCodecContext* enc = AOst->enc.get();
  TAVInputStream* ist = FInputStreams[AOst->source_index].get();
  AVDictionary* opts = nullptr;
  int ret = FF.avcodec_open2(enc, AOst->codec, &opts);
  FF.av_dict_free(&opts);
  if (ret < 0) {
    DumpAll();
    std::string msg = fmt::sprintf(
        "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters such as "
        "bit_rate, "
        "rate, width or height. Please check error log message to find out more detail information.",
        AOst->file_index, AOst->index, MediaTypeName(enc->codec_type));
    Logger().Log(this, llError, msg);
    RaiseFFmpeg(msg);
  }
  AddEncoder(AOst, enc);
  Fextra_size += enc->extradata_size;
  FF.avcodec_parameters_from_context(AOst->st->codecpar, enc);
  AOst->st->time_base = enc->time_base;
  if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
    TAudioPipelineSettings s;
    s.AudioSyncMethod = FOptions.Faudio_sync_method;
    s.AudioDriftThreshold = FOptions.Faudio_drift_threshold;
    s.Verbose = FOptions.Fverbose;
    s.StartTime = 0;
    s.ExitOnError = FOptions.Fexit_on_error;
    s.InputFileIndex = ist->file_index;
    s.InputStreamIndex = ist->index;
    auto file = Foutput_files[AOst->file_index];
    TAVOutputStream* ost = AOst;
    AOst->audio = std::make_shared<TAudioPipeline>(
        enc, AOst->st, s,
        [this, ost, file](AVPacket* APacket) {
          // Packets of a joined output go through the first segment's stream.
          WriteFrame(ost, APacket);
          (void)file;
        },
        [this](int ALevel, const std::string& AText) { Logger().Log(this, TLogLevel(ALevel), AText); });
  }
}

void TFFmpegJob::TranscodeSetup() {
  auto& o = FOptions;
  FFrame = FF.av_frame_alloc();
  Faudio_size = Fvideo_size = Fextra_size = 0;
  // 1. Input tables.
  FInputFileTable.assign(nb_input_files(), {});
  FInputStreams.clear();
  for (int i = 0; i < nb_input_files(); ++i) {
    AVFormatContext* ic = Finput_files[i];
    FInputFileTable[i].ist_index = int(FInputStreams.size());
    FInputFileTable[i].nb_streams = int(ic->nb_streams);
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
      auto ist = std::make_unique<TAVInputStream>();
      ist->file_index = i;
      ist->index = int(s);
      ist->st = ic->streams[s];
      ResetPtsCorrection(ist->pts_ctx);
      if (FInputTrim.size() > size_t(i) && FInputTrim[i]) ist->trim_start = 0;
      FInputStreams.push_back(std::move(ist));
    }
  }
  // 2. Output table.
  FOutputStreams.clear();
  for (int f = 0; f < nb_output_files(); ++f) {
    AVFormatContext* oc = Foutput_files[f];
    if (Foutput_streams_for_file[f].empty() && !(oc->oformat->flags & AVFMT_NOSTREAMS)) {
      FF.av_dump_format(oc, f, oc->url, 1);
      RaiseFFmpeg("Output file #%d does not contain any stream", f);
    }
    for (auto ost : Foutput_streams_for_file[f]) FOutputStreams.push_back(ost);
  }
  FSegmentSize = nb_output_files() > 0 ? int(Foutput_streams_for_file[0].size()) : 0;
  if (o.Fnb_stream_maps() > 0 && o.Fnb_stream_maps() != int(FOutputStreams.size()))
    RaiseFFmpeg("Number of stream maps must match number of output streams");
  for (auto& m : o.Fstream_maps) {
    if (m.file_index < 0 || m.file_index >= nb_input_files() || m.stream_index < 0 ||
        m.stream_index >= int(Finput_files[m.file_index]->nb_streams))
      RaiseFFmpeg("Could not find input stream #%d.%d", m.file_index, m.stream_index);
    if (m.sync_file_index < 0 || m.sync_file_index >= nb_input_files() || m.sync_stream_index < 0 ||
        m.sync_stream_index >= int(Finput_files[m.sync_file_index]->nb_streams))
      RaiseFFmpeg("Could not find sync stream #%d.%d", m.sync_file_index, m.sync_stream_index);
  }
  for (size_t i = 0; i < FOutputStreams.size(); ++i) {
    TAVOutputStream* ost = FOutputStreams[i];
    AVMediaType type = ost->st->codecpar->codec_type;
    if (o.Fnb_stream_maps() > 0) {
      auto& m = o.Fstream_maps[i];
      int idx = FInputFileTable[m.file_index].ist_index + m.stream_index;
      TAVInputStream* ist = FInputStreams[idx].get();
      if (ist->st->codecpar->codec_type != type) {
        FF.av_dump_format(Foutput_files[ost->file_index], ost->file_index,
                          Foutput_files[ost->file_index]->url, 1);
        RaiseFFmpeg("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.file_index,
                    m.stream_index, MediaTypeName(ist->st->codecpar->codec_type), ost->file_index, ost->index,
                    MediaTypeName(type));
      }
      ost->source_index = idx;
      ost->sync_ist = FInputStreams[FInputFileTable[m.sync_file_index].ist_index + m.sync_stream_index].get();
    } else {
      int best = -1;
      int bestFrames = -1;
      for (size_t j = 0; j < FInputStreams.size(); ++j) {
        TAVInputStream* ist = FInputStreams[j].get();
        if (!ist->discard || ist->st->discard == AVDISCARD_ALL || ist->st->codecpar->codec_type != type)
          continue;
        if (FJoinMode && ist->file_index != ost->file_index) continue;
        // The stream the library itself would pick ranks first (it weighs
        // what probing saw); otherwise the first one.
        AVFormatContext* ic = Finput_files[ist->file_index];
        int frames = FF.av_find_best_stream(ic, type, -1, -1, nullptr, 0) == ist->index ? 1 : 0;
        if (frames > bestFrames) {
          bestFrames = frames;
          best = int(j);
        }
      }
      if (best < 0 && !FJoinMode) {
        for (size_t j = 0; j < FInputStreams.size(); ++j) {
          TAVInputStream* ist = FInputStreams[j].get();
          if (ist->st->discard != AVDISCARD_ALL && ist->st->codecpar->codec_type == type) best = int(j);
        }
      }
      if (best < 0) {
        FF.av_dump_format(Foutput_files[ost->file_index], ost->file_index,
                          Foutput_files[ost->file_index]->url, 1);
        RaiseFFmpeg("Could not find input stream matching output stream #%d.%d (%s)", ost->file_index,
                    ost->index, MediaTypeName(type));
      }
      ost->source_index = best;
      ost->sync_ist = FInputStreams[best].get();
    }
    TAVInputStream* ist = FInputStreams[ost->source_index].get();
    ist->discard = false;
    ost->show_fps = true;
  }
  // 3. Per output stream: metadata, copy parameters or encoding needs.
  for (size_t i = 0; i < FOutputStreams.size(); ++i) {
    TAVOutputStream* ost = FOutputStreams[i];
    TAVInputStream* ist = FInputStreams[ost->source_index].get();
    bool firstSegment = !FJoinMode || int(i) < FSegmentSize;
    if (firstSegment) {
      if (o.Fmetadata_streams_autocopy)
        FF.av_dict_copy(&ost->st->metadata, ist->st->metadata, AV_DICT_DONT_OVERWRITE);
      ost->st->disposition = ist->st->disposition;
    }
    if (ost->stream_copy) {
      if (firstSegment) SetupCopy(ost, ist);
    } else {
      if (ost->st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        RaiseFFmpeg("invalid codec_type of output stream");
      ost->encoding_needed = true;
      ist->decoding_needed = true;
    }
  }
  // 4. Encoders (a joined output opens its encoders once).
  for (size_t i = 0; i < FOutputStreams.size(); ++i) {
    TAVOutputStream* ost = FOutputStreams[i];
    if (!ost->encoding_needed || (FJoinMode && int(i) >= FSegmentSize)) continue;
    OpenEncoder(ost);
  }
  if (FJoinMode)
    for (size_t i = size_t(FSegmentSize); i < FOutputStreams.size(); ++i)
      FOutputStreams[i]->audio = FOutputStreams[i % FSegmentSize]->audio;
  // 5. Decoders.
  for (auto& ist : FInputStreams) {
    if (!ist->decoding_needed) continue;
    const AVCodec* codec = FF.avcodec_find_decoder(ist->st->codecpar->codec_id);
    if (!codec) {
      DumpAll();
      std::string msg = fmt::sprintf("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                     int(ist->st->codecpar->codec_id), ist->file_index, ist->index,
                                     MediaTypeName(ist->st->codecpar->codec_type));
      Logger().Log(this, llError, msg);
      RaiseFFmpeg(msg);
    }
    ist->dec = FF.avcodec_alloc_context3(codec);
    if (!ist->dec || FF.avcodec_parameters_to_context(ist->dec, ist->st->codecpar) < 0)
      RaiseFFmpeg("av_mallocz fail");
    ist->dec->pkt_timebase = ist->st->time_base;
    o.Store().ApplyCodec(ist->dec, ist->st->codecpar->codec_type, KDecoding | AV_OPT_FLAG_AUDIO_PARAM);
    if (FF.avcodec_open2(ist->dec, codec, nullptr) < 0) {
      DumpAll();
      std::string msg =
          fmt::sprintf("Error while opening decoder for input stream #%d.%d (%s)", ist->file_index,
                       ist->index, MediaTypeName(ist->st->codecpar->codec_type));
      Logger().Log(this, llError, msg);
      RaiseFFmpeg(msg);
    }
    AddDecoder(ist.get(), ist->dec);
    // A stream that claims audio without a rate or channels has nothing a
    // conversion could produce; converting it would report a hollow success.
    if (ist->dec->codec_type == AVMEDIA_TYPE_AUDIO &&
        (ist->dec->sample_rate <= 0 || ist->dec->ch_layout.nb_channels <= 0)) {
      std::string msg = fmt::sprintf("Error while opening decoder for input stream #%d.%d (%s)",
                                     ist->file_index, ist->index, MediaTypeName(AVMEDIA_TYPE_AUDIO));
      Logger().Log(this, llError, "%s: invalid sample rate %d or channel count %d",
                   InputFileName(ist->file_index), ist->dec->sample_rate, ist->dec->ch_layout.nb_channels);
      RaiseFFmpeg(msg);
    }
  }
  // Streams nobody reads are skipped by the demuxers.
  for (auto& ist : FInputStreams)
    if (ist->discard) ist->st->discard = AVDISCARD_ALL;
  // 6. Initial input times.
  for (auto& ist : FInputStreams) {
    ist->pts = 0;
    ist->next_pts = AV_NOPTS_VALUE;
    ResetPtsCorrection(ist->pts_ctx);
  }
  // 7. Metadata.
  if (o.Fmetadata_global_autocopy && nb_input_files() > 0)
    for (int f = 0; f < nb_output_files(); ++f)
      FF.av_dict_copy(&Foutput_files[f]->metadata, Finput_files[0]->metadata, AV_DICT_DONT_OVERWRITE);
  // 8. Chapters of the first input that has any.
  if (o.Fmetadata_chapters_autocopy)
    for (int i = 0; i < nb_input_files(); ++i) {
      AVFormatContext* ic = Finput_files[i];
      if (!ic->nb_chapters) continue;
      int last = FJoinMode ? 1 : nb_output_files();
      for (int f = 0; f < last; ++f) {
        AVFormatContext* oc = Foutput_files[f];
        if (!(oc->oformat->flags & AVFMT_NOFILE) && oc->nb_chapters == 0) {
          for (unsigned c = 0; c < ic->nb_chapters; ++c) {
            AVChapter* in = ic->chapters[c];
            int64_t offset = FF.av_rescale_q(-Finput_files_ts_offset[i], AV_TIME_BASE_Q, in->time_base);
            int64_t limit = o.Frecording_time == INT64_MAX
                                ? INT64_MAX
                                : FF.av_rescale_q(o.Frecording_time, AV_TIME_BASE_Q, in->time_base);
            if (in->end < offset) continue;
            if (limit != INT64_MAX && in->start > limit + offset) break;
            auto out = static_cast<AVChapter*>(FF.av_mallocz(sizeof(AVChapter)));
            if (!out) RaiseFFmpeg("av_mallocz fail");
            out->id = in->id;
            out->time_base = in->time_base;
            out->start = std::max<int64_t>(0, in->start - offset);
            out->end = std::min(limit, in->end - offset);
            FF.av_dict_copy(&out->metadata, in->metadata, 0);
            auto list = static_cast<AVChapter**>(
                FF.av_realloc(oc->chapters, sizeof(AVChapter*) * (oc->nb_chapters + 1)));
            if (!list) {
              FF.av_dict_free(&out->metadata);
              FF.av_free(out);
              RaiseFFmpeg("av_realloc fail");
            }
            oc->chapters = list;
            oc->chapters[oc->nb_chapters++] = out;
          }
        }
      }
      break;
    }
  // 9. Headers.
  int last = FJoinMode ? std::min(1, nb_output_files()) : nb_output_files();
  for (int f = 0; f < last; ++f) {
    AVDictionary* opts = nullptr;
    TReadTimeoutGuard guard(*this);
    int ret = FF.avformat_write_header(Foutput_files[f], &opts);
    FF.av_dict_free(&opts);
    if (ret < 0) {
      DumpAll();
      std::string msg =
          fmt::sprintf("Could not write header for output file #%d (incorrect codec parameters ?)", f);
      Logger().Log(this, llError, msg + ": " + MediaErrorDescription(ret));
      RaiseFFmpeg(msg);
    }
  }
  // Bitstream filters (after the header: the stream parameters are final).
  for (size_t i = 0; i < FOutputStreams.size(); ++i) {
    TAVOutputStream* ost = FOutputStreams[i];
    if (ost->bitstream_filters.empty() || (FJoinMode && int(i) >= FSegmentSize)) continue;
    std::string chain;
    for (auto& b : ost->bitstream_filters) chain += (chain.empty() ? "" : ",") + b;
    AVBSFContext* bsf = nullptr;
    if (FF.av_bsf_list_parse_str(chain.c_str(), &bsf) < 0 ||
        FF.avcodec_parameters_copy(bsf->par_in, ost->st->codecpar) < 0 ||
        (bsf->time_base_in = ost->st->time_base, FF.av_bsf_init(bsf)) < 0) {
      if (bsf) FF.av_bsf_free(&bsf);
      RaiseFFmpeg("%s failed for stream %d, codec %s", chain, ost->index,
                  ost->enc ? ost->enc->codec->name : "copy");
    }
    ost->bsf.reset(bsf, TBSFDeleter{});
  }
  if (FJoinMode)
    for (size_t i = size_t(FSegmentSize); i < FOutputStreams.size(); ++i)
      FOutputStreams[i]->bsf = FOutputStreams[i % FSegmentSize]->bsf;
  // 10. Mapping.
  for (int f = 0; f < last; ++f) FF.av_dump_format(Foutput_files[f], f, Foutput_files[f]->url, 1);
  if (o.Fverbose >= 0) {
    Logger().Log(this, llVerbose, "Stream mapping:");
    for (auto ost : FOutputStreams) {
      TAVInputStream* ist = FInputStreams[ost->source_index].get();
      std::string line = fmt::sprintf("  Stream #%d.%d -> #%d.%d (%s)", ist->file_index, ist->index,
                                      FJoinMode ? 0 : ost->file_index, ost->index,
                                      MediaTypeName(ost->st->codecpar->codec_type));
      if (ost->sync_ist != ist)
        line += fmt::sprintf(" [sync #%d.%d (%s)]", ost->sync_ist->file_index, ost->sync_ist->index,
                             MediaTypeName(ost->sync_ist->st->codecpar->codec_type));
      Logger().Log(this, llVerbose, line);
    }
  }
}

double TFFmpegJob::OutputTime(const TAVOutputStream* AOst) const {
  int64_t end = *AOst->end_pts;
  if (end == AV_NOPTS_VALUE) return 0;
  return double(end) * AOst->st->time_base.num / AOst->st->time_base.den;
}

void TFFmpegJob::WriteFrame(TAVOutputStream* AOst, AVPacket* APacket) {
  AVFormatContext* oc = Foutput_files[AOst->file_index];
  auto write = [&](AVPacket* APkt) {
    // An empty packet may still carry side data the muxer needs at the end
    // (a lossless encoder's final stream header); one with nothing is dropped.
    if (APkt->size <= 0 && APkt->side_data_elems == 0) return;
    int64_t end = (APkt->pts != AV_NOPTS_VALUE ? APkt->pts : APkt->dts);
    if (end != AV_NOPTS_VALUE) {
      end += std::max<int64_t>(APkt->duration, 0);
      if (*AOst->end_pts == AV_NOPTS_VALUE || end > *AOst->end_pts) *AOst->end_pts = end;
    }
    if (APkt->size > 0) ++AOst->frame_number;
    int ret = FF.av_interleaved_write_frame(oc, APkt);
    if (ret < 0) RaiseFFmpeg("av_interleaved_write_frame(): %s", MediaErrorDescription(ret));
  };
  if (!AOst->bsf) {
    write(APacket);
    return;
  }
  AVBSFContext* bsf = AOst->bsf.get();
  int ret = FF.av_bsf_send_packet(bsf, APacket);
  if (ret < 0) {
    std::string msg =
        fmt::sprintf("%s failed for stream %d, codec %s: %s", bsf->filter->name, APacket->stream_index,
                     AOst->enc ? AOst->enc->codec->name : "copy", MediaErrorDescription(ret));
    if (FOptions.Fexit_on_error) RaiseFFmpeg(msg);
    Logger().Log(this, llError, msg);
    write(APacket);
    return;
  }
  AVPacket* out = FF.av_packet_alloc();
  while (FF.av_bsf_receive_packet(bsf, out) == 0) {
    out->stream_index = AOst->index;
    FF.av_packet_rescale_ts(out, bsf->time_base_out, AOst->st->time_base);
    try {
      write(out);
    } catch (...) {
      FF.av_packet_free(&out);
      throw;
    }
    FF.av_packet_unref(out);
  }
  FF.av_packet_free(&out);
}

void TFFmpegJob::CopyPacket(TAVOutputStream* AOst, TAVInputStream* AIst, const AVPacket* APacket) {
  if (AOst->frame_number == 0 && !(APacket->flags & AV_PKT_FLAG_KEY) && !FOptions.Fcopy_initial_nonkeyframes)
    return;
  AVPacket* pkt = FF.av_packet_clone(APacket);
  if (!pkt) RaiseFFmpeg("av_mallocz fail");
  int64_t offset = FF.av_rescale_q(FOptions.Fstart_time, AV_TIME_BASE_Q, AOst->st->time_base);
  pkt->stream_index = AOst->index;
  if (pkt->pts != AV_NOPTS_VALUE)
    pkt->pts = FF.av_rescale_q(pkt->pts, AIst->st->time_base, AOst->st->time_base) - offset;
  if (pkt->dts != AV_NOPTS_VALUE)
    pkt->dts = FF.av_rescale_q(pkt->dts, AIst->st->time_base, AOst->st->time_base) - offset;
  else
    pkt->dts = FF.av_rescale_q(AIst->pts, AV_TIME_BASE_Q, AOst->st->time_base) - offset;
  pkt->duration = FF.av_rescale_q(pkt->duration, AIst->st->time_base, AOst->st->time_base);
  if (AIst->st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
    Faudio_size += pkt->size;
  else if (AIst->st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
    Fvideo_size += pkt->size;
  try {
    WriteFrame(AOst, pkt);
  } catch (...) {
    FF.av_packet_free(&pkt);
    throw;
  }
  FF.av_packet_free(&pkt);
}

void TFFmpegJob::DispatchAudio(TAVInputStream* AIst, AVFrame* AFrame) {
  auto& o = FOptions;
  int64_t frameTime = AIst->pts; // microseconds, offsets applied
  int rate = AFrame->sample_rate > 0 ? AFrame->sample_rate : 1;
  int first = 0, count = AFrame->nb_samples;
  // Sample-accurate trimming: nothing before the start position, nothing at
  // or after the end of the recording time.
  int64_t start =
      std::max<int64_t>(o.Fstart_time, AIst->trim_start == AV_NOPTS_VALUE ? INT64_MIN : AIst->trim_start);
  if (start != INT64_MIN && frameTime < start) {
    int64_t skip = FF.av_rescale(start - frameTime, rate, 1000000);
    first = int(std::min<int64_t>(skip, count));
    count -= first;
  }
  if (o.Frecording_time != INT64_MAX) {
    int64_t end = o.Fstart_time + o.Frecording_time;
    int64_t keep = FF.av_rescale(end - frameTime, rate, 1000000);
    if (keep < first + count) count = int(std::max<int64_t>(0, keep - first));
    if (frameTime + FF.av_rescale(AFrame->nb_samples, 1000000, rate) >= end)
      AIst->is_past_recording_time = true;
  }
  if (count <= 0) return;
  ApplyVolume(AFrame, o.Faudio_volume);
  int ist_index = FInputFileTable[AIst->file_index].ist_index + AIst->index;
  for (auto ost : FOutputStreams) {
    if (ost->source_index != ist_index || !ost->encoding_needed || !ost->audio) continue;
    int64_t syncTime = ost->sync_ist ? ost->sync_ist->pts : frameTime;
    ost->audio->Process(AFrame, syncTime + FF.av_rescale(first, 1000000, rate), first, count);
  }
}

int TFFmpegJob::OutputPacket(TAVInputStream* AIst, const AVPacket* APacket) {
  if (AIst->next_pts == AV_NOPTS_VALUE) AIst->next_pts = AIst->pts;
  if (APacket && APacket->dts != AV_NOPTS_VALUE)
    AIst->next_pts = AIst->pts = FF.av_rescale_q(APacket->dts, AIst->st->time_base, AV_TIME_BASE_Q);
  int ist_index = FInputFileTable[AIst->file_index].ist_index + AIst->index;
  AVMediaType type = AIst->st->codecpar->codec_type;

  if (AIst->decoding_needed && type == AVMEDIA_TYPE_AUDIO) {
    int ret = FF.avcodec_send_packet(AIst->dec, APacket);
    if (ret < 0 && ret != AVERROR_EOF) return -1;
    int frames = 0;
    for (;;) {
      ret = FF.avcodec_receive_frame(AIst->dec, FFrame);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
      if (ret < 0) return -1;
      if (++frames == 2 && !AIst->showed_multi_packet_warning && FOptions.Fverbose > 1) {
        AIst->showed_multi_packet_warning = true;
      }
      int64_t t = FFrame->best_effort_timestamp;
      if (t != AV_NOPTS_VALUE) {
        int64_t offset =
            FF.av_rescale_q(Finput_files_ts_offset[AIst->file_index], AV_TIME_BASE_Q, AIst->st->time_base);
        (void)offset; // packet time stamps carry the offset already
        AIst->pts = FF.av_rescale_q(t, AIst->st->time_base, AV_TIME_BASE_Q);
      } else {
        AIst->pts = AIst->next_pts;
      }
      int rate = FFrame->sample_rate > 0 ? FFrame->sample_rate : 1;
      AIst->next_pts = AIst->pts + FF.av_rescale(FFrame->nb_samples, 1000000, rate);
      DispatchAudio(AIst, FFrame);
      FF.av_frame_unref(FFrame);
    }
    if (!APacket) {
      // Drain: the resampler's tail goes to the pipelines; the encoders stay
      // open until the end of the output (a joined output continues them).
      for (auto ost : FOutputStreams)
        if (ost->source_index == ist_index && ost->audio) ost->audio->EndOfInput();
    }
    return 0;
  }
  if (!APacket) return 0;
  if (AIst->decoding_needed) return 0; // other decoded kinds are not produced by this engine
  if (type == AVMEDIA_TYPE_AUDIO && AIst->st->codecpar->sample_rate > 0 && AIst->st->codecpar->frame_size > 0)
    AIst->next_pts += int64_t(1000000) * AIst->st->codecpar->frame_size / AIst->st->codecpar->sample_rate;
  if (FOptions.Fstart_time != 0 && AIst->pts < FOptions.Fstart_time) return 0;
  for (auto ost : FOutputStreams)
    if (ost->source_index == ist_index && ost->stream_copy) CopyPacket(ost, AIst, APacket);
  return 0;
}

void TFFmpegJob::PrintReport(bool AIsLast, int AFileIndex) {
  AVFormatContext* oc = nb_output_files() > 0 ? Foutput_files[0] : nullptr;
  int64_t total = 0;
  if (oc && oc->pb) {
    total = FF.avio_size(oc->pb);
    if (total < 0) total = FF.avio_seek(oc->pb, 0, SEEK_CUR);
    if (total < 0) total = 0;
  }
  double ti = 1e10;
  for (auto ost : FOutputStreams) {
    double t = OutputTime(ost);
    if (t > 0 && t < ti) ti = t;
  }
  if (ti == 1e10) ti = 0; // nothing written yet
  double bitrate = ti > 0.01 ? double(total) * 8 / ti / 1000 : 0;
  std::string text =
      fmt::sprintf("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", double(total) / 1024, ti, bitrate);
  if (OnProgress) {
    TJobProgress p;
    p.FileIndex = AIsLast ? -1 : AFileIndex;
    p.FrameNumber = -1;
    p.FPS = -1;
    p.Quality = -1.0f;
    p.BitRate = float(bitrate);
    p.CurrentSize = total;
    p.CurrentDuration = int64_t(ti * 1000000);
    p.TotalDuration = TotalOutputDuration();
    DoProgress(p);
  } else if (FOptions.Fverbose >= 0 && (FOptions.Fverbose > 0 || AIsLast)) {
    Logger().Log(this, llVerbose, text);
  }
  if (AIsLast && FOptions.Fverbose >= 0) {
    double sum = double(Fvideo_size + Faudio_size + Fextra_size);
    Logger().Log(this, llVerbose,
                 "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                 double(Fvideo_size) / 1024, double(Faudio_size) / 1024, double(Fextra_size) / 1024,
                 sum > 0 ? (double(total) - sum) * 100 / sum : 0.0);
  }
}

void TFFmpegJob::EndSegment(int AFileIndex) {
  // Drain this file's decoders; the shared encoders go on with the next file.
  for (auto& ist : FInputStreams) {
    if (ist->file_index != AFileIndex || !ist->decoding_needed || ist->decoder_flushed) continue;
    OutputPacket(ist.get(), nullptr);
    ist->decoder_flushed = true;
  }
  if (AFileIndex + 1 >= nb_input_files()) return;
  // The next file's time stamps continue where this one's output ended.
  double end = 0;
  int base = AFileIndex * FSegmentSize;
  for (int i = base; i < base + FSegmentSize && i < int(FOutputStreams.size()); ++i) {
    end = std::max(end, OutputTime(FOutputStreams[i]));
    FOutputStreams[i]->show_fps = false;
  }
  Finput_files_ts_offset[AFileIndex + 1] += int64_t(std::llround(end * 1000000));
}

void TFFmpegJob::TranscodeLoop() {
  auto& o = FOptions;
  Ftimer_start = NowMicro();
  int64_t lastReport = Ftimer_start;
  int fileIndex = 0;
  std::vector<bool> noPacket(nb_input_files(), false);
  int noPacketCount = 0;
  std::unique_ptr<TBrokenGuard> broken;
  if (!IsMainThread()) broken = std::make_unique<TBrokenGuard>(*this);
  AVPacket* pkt = FF.av_packet_alloc();
  if (!pkt) RaiseFFmpeg("av_mallocz fail");
  struct TPacketFree {
    AVPacket** P;
    ~TPacketFree() { FF.av_packet_free(P); }
  } pktFree{&pkt};

  while (CheckPauseAndStop()) {
    // 1. Choose the file.
    if (FJoinMode) {
      int base = fileIndex * FSegmentSize;
      for (int i = base; i < base + FSegmentSize && i < int(FOutputStreams.size()); ++i) {
        auto ost = FOutputStreams[i];
        if (ost->frame_number >= o.Fmax_frames[ost->st->codecpar->codec_type]) fileIndex = -1;
      }
    } else {
      fileIndex = -1;
      double ipts_min = 1e100, opts_min = 1e100;
      for (auto ost : FOutputStreams) {
        TAVInputStream* ist = FInputStreams[ost->source_index].get();
        if (ist->is_past_recording_time || noPacket[ist->file_index]) continue;
        double opts = OutputTime(ost);
        double ipts = double(ist->pts);
        if (!FInputFileTable[ist->file_index].eof_reached) {
          if (ipts < ipts_min) {
            ipts_min = ipts;
            if (o.Finput_sync) fileIndex = ist->file_index;
          }
          if (opts < opts_min) {
            opts_min = opts;
            if (!o.Finput_sync) fileIndex = ist->file_index;
          }
        }
        if (ost->frame_number >= o.Fmax_frames[ost->st->codecpar->codec_type]) {
          fileIndex = -1;
          break;
        }
      }
    }
    // 2. Nothing to read.
    if (fileIndex < 0) {
      if (FJoinMode || noPacketCount == 0) break;
      std::fill(noPacket.begin(), noPacket.end(), false);
      noPacketCount = 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // 3. Size limit.
    if (o.Flimit_filesize && Foutput_files[0]->pb &&
        FF.avio_seek(Foutput_files[0]->pb, 0, SEEK_CUR) >= o.Flimit_filesize)
      break;
    // 4. Read.
    AVFormatContext* ic = Finput_files[fileIndex];
    int ret = FF.av_read_frame(ic, pkt);
    if (ret == AVERROR(EAGAIN)) {
      noPacket[fileIndex] = true;
      ++noPacketCount;
      continue;
    }
    if (ret < 0) {
      if (ret != AVERROR_EOF) {
        // A read error ends the input but is not its end: say so.
        std::string msg = MediaErrorText(InputFileName(fileIndex), ret);
        Logger().Log(this, llError, msg);
        if (o.Fexit_on_error) RaiseFFmpeg(msg);
      }
      FInputFileTable[fileIndex].eof_reached = true;
      if (FJoinMode) {
        EndSegment(fileIndex);
        if (fileIndex + 1 >= nb_input_files()) break;
        ++fileIndex;
        continue;
      }
      if (o.Fopt_shortest) break;
      continue;
    }
    std::fill(noPacket.begin(), noPacket.end(), false);
    noPacketCount = 0;
    if (pkt->stream_index >= FInputFileTable[fileIndex].nb_streams) {
      FF.av_packet_unref(pkt);
      continue;
    }
    TAVInputStream* ist = FInputStreams[FInputFileTable[fileIndex].ist_index + pkt->stream_index].get();
    if (ist->discard) {
      FF.av_packet_unref(pkt);
      continue;
    }
    // 6. Time stamps.
    int64_t offset = Finput_files_ts_offset[fileIndex];
    int64_t stOffset = FF.av_rescale_q(offset, AV_TIME_BASE_Q, ist->st->time_base);
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += stOffset;
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += stOffset;
    auto& scales = Finput_files_ts_scale[fileIndex];
    if (pkt->stream_index < int(scales.size()) && scales[pkt->stream_index] != 0) {
      double s = scales[pkt->stream_index];
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(pkt->pts * s);
      if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(pkt->dts * s);
    }
    if (pkt->dts != AV_NOPTS_VALUE && ist->next_pts != AV_NOPTS_VALUE &&
        (ic->iformat->flags & AVFMT_TS_DISCONT) && !o.Fcopy_ts) {
      int64_t pktDts = FF.av_rescale_q(pkt->dts, ist->st->time_base, AV_TIME_BASE_Q);
      int64_t delta = pktDts - ist->next_pts;
      if (std::llabs(delta) > int64_t(o.Fdts_delta_threshold * 1000000) || pktDts + 1 < ist->pts) {
        Finput_files_ts_offset[fileIndex] -= delta;
        if (o.Fverbose > 2)
          Logger().Log(this, llVerbose, "timestamp discontinuity %d, new offset= %d", delta,
                       Finput_files_ts_offset[fileIndex]);
        int64_t d = FF.av_rescale_q(delta, AV_TIME_BASE_Q, ist->st->time_base);
        pkt->dts -= d;
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= d;
      }
    }
    // 7. Recording time.
    if (o.Frecording_time != INT64_MAX) {
      int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      if (t != AV_NOPTS_VALUE &&
          FF.av_compare_ts(t, ist->st->time_base, o.Fstart_time + o.Frecording_time, AV_TIME_BASE_Q) >= 0) {
        ist->is_past_recording_time = true;
        FF.av_packet_unref(pkt);
        continue;
      }
    }
    // 8. Decode and dispatch.
    if (OutputPacket(ist, pkt) < 0) {
      std::string msg = fmt::sprintf("Error while decoding stream #%d.%d (%s)", ist->file_index, ist->index,
                                     MediaTypeName(ist->st->codecpar->codec_type));
      if (o.Fexit_on_error) RaiseFFmpeg(msg);
      if (o.Fverbose >= 0) Logger().Log(this, llVerbose, msg);
      FF.av_packet_unref(pkt);
      continue;
    }
    FF.av_packet_unref(pkt);
    int64_t now = NowMicro();
    if (now - lastReport > ReportInterval) {
      lastReport = now;
      PrintReport(false, fileIndex);
    }
  }
  broken.reset();

  // The end: drain decoders and encoders, trailers, the last report.
  for (auto& ist : FInputStreams)
    if (ist->decoding_needed && !ist->decoder_flushed) {
      OutputPacket(ist.get(), nullptr);
      ist->decoder_flushed = true;
    }
  // Encoders shared by the segments of a joined output finish once.
  for (auto ost : FOutputStreams)
    if (ost->audio) ost->audio->Finish();
  int64_t encoded = 0;
  std::vector<TAudioPipeline*> counted;
  for (auto ost : FOutputStreams)
    if (ost->audio && std::find(counted.begin(), counted.end(), ost->audio.get()) == counted.end()) {
      counted.push_back(ost->audio.get());
      encoded += ost->audio->EncodedBytes();
    }
  Faudio_size += encoded;
  int last = FJoinMode ? std::min(1, nb_output_files()) : nb_output_files();
  for (int f = 0; f < last; ++f) {
    int ret = FF.av_write_trailer(Foutput_files[f]);
    if (ret < 0) RaiseFFmpeg("av_write_trailer(): %s", MediaErrorDescription(ret));
    if (Foutput_files[f]->pb) {
      FF.avio_flush(Foutput_files[f]->pb);
      if (Foutput_files[f]->pb->error < 0)
        RaiseFFmpeg("%s: %s", OutputFileName(f), MediaErrorDescription(Foutput_files[f]->pb->error));
    }
  }
  PrintReport(true, -1);
}

void TFFmpegJob::ReleaseTables() {
  if (!FF.av_frame_free) return;
  FF.av_frame_free(&FFrame);
  for (auto& ist : FInputStreams) {
    if (ist->dec) {
      RemoveDecoder(ist.get());
      FF.avcodec_free_context(&ist->dec);
    }
  }
  FInputStreams.clear();
  FInputFileTable.clear();
  for (auto& list : Foutput_streams_for_file)
    for (auto ost : list) {
      ost->audio.reset();
      ost->bsf.reset();
      if (ost->enc) RemoveEncoder(ost);
    }
  FOutputStreams.clear();
}
