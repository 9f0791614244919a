// The generic option store of a job.
#include "engine/OptionsStore.h"

#include <fmt/printf.h>

#include "log/FFLog.h"

namespace {

// Option flags that select the store context of each media type, in the
// library's media-type order (video, audio, data, subtitle, attachment).
constexpr int TypeFlags[AVMEDIA_TYPE_NB] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                            AV_OPT_FLAG_SUBTITLE_PARAM, 0};

bool HasClass(const void* AObj) {
  return AObj && *static_cast<const AVClass* const*>(AObj);
}

const AVOption* Find(void* AObj, const std::string& AName, int AFlags = 0) {
  if (!AObj) return nullptr;
  return FF.av_opt_find(AObj, AName.c_str(), nullptr, AFlags, 0);
}

} // namespace

TFFOptions::~TFFOptions() {
  Free();
}

void TFFOptions::Free() {
  if (FF.avcodec_free_context)
    for (auto& c : avcodec_opts) FF.avcodec_free_context(&c);
  for (auto& c : avcodec_opts) c = nullptr;
  if (avformat_opts && FF.avformat_free_context) FF.avformat_free_context(avformat_opts);
  avformat_opts = nullptr;
  if (sws_opts && FF.sws_freeContext) FF.sws_freeContext(sws_opts);
  sws_opts = nullptr;
  if (swr_opts && FF.swr_free) FF.swr_free(&swr_opts);
  swr_opts = nullptr;
  opt_names.clear();
  opt_values.clear();
}

void TFFOptions::Reset(int ASwsFlags) {
  Free();
  FLastError.clear();
  if (FF.avcodec_alloc_context3) {
    for (int t = 0; t < AVMEDIA_TYPE_NB; ++t) {
      avcodec_opts[t] = FF.avcodec_alloc_context3(nullptr);
      if (avcodec_opts[t]) avcodec_opts[t]->codec_type = static_cast<AVMediaType>(t);
    }
  }
  if (FF.avformat_alloc_context) avformat_opts = FF.avformat_alloc_context();
  if (FF.sws_getContext)
    sws_opts = FF.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P, ASwsFlags, nullptr,
                                 nullptr, nullptr);
  if (FF.swr_alloc) swr_opts = FF.swr_alloc();
}

void TFFOptions::Refuse(std::string AText) {
  FLastError = std::move(AText);
  if (FF.av_log) FF.av_log(nullptr, AV_LOG_ERROR, "%s\n", FLastError.c_str());
}

bool TFFOptions::KnownAsPrivate(const std::string& AName) const {
  if (FF.av_codec_iterate) {
    void* it = nullptr;
    while (const AVCodec* c = FF.av_codec_iterate(&it))
      if (c->priv_class && FF.av_opt_find(const_cast<AVClass**>(&c->priv_class), AName.c_str(), nullptr, 0,
                                          AV_OPT_SEARCH_FAKE_OBJ))
        return true;
  }
  if (FF.av_muxer_iterate) {
    void* it = nullptr;
    while (const AVOutputFormat* f = FF.av_muxer_iterate(&it))
      if (f->priv_class && FF.av_opt_find(const_cast<AVClass**>(&f->priv_class), AName.c_str(), nullptr, 0,
                                          AV_OPT_SEARCH_FAKE_OBJ))
        return true;
  }
  return false;
}

bool TFFOptions::Offer(const std::string& AName, const std::string& AValue) {
  size_t b = AName.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) {
    // An empty name gets its own text instead of leaving an older one.
    Refuse(fmt::sprintf("Unrecognized option \"%s\"", AName));
    return false;
  }
  if (!Ready()) {
    Refuse(fmt::sprintf("Unrecognized option \"%s\"", AName));
    return false;
  }
  const char* name = AName.c_str();
  const char* value = AValue.c_str();
  const AVOption* o = nullptr;
  int ret = 0;
  for (int t = 0; t < AVMEDIA_TYPE_NB && ret >= 0; ++t) {
    // "b" carries the audio flag as well on these libraries; it stays the
    // video bit rate ("ab" is the audio one).
    if (AName == "b" && t != AVMEDIA_TYPE_VIDEO) continue;
    const AVOption* o2 = Find(avcodec_opts[0], AName, TypeFlags[t]);
    if (o2) {
      o = o2;
      ret = FF.av_opt_set(avcodec_opts[t], name, value, 0);
    }
  }
  if (!o && (o = Find(avformat_opts, AName))) ret = FF.av_opt_set(avformat_opts, name, value, 0);
  if (!o && (o = Find(sws_opts, AName))) ret = FF.av_opt_set(sws_opts, name, value, 0);
  if (!o && (o = Find(swr_opts, AName))) ret = FF.av_opt_set(swr_opts, name, value, 0);
  if (!o && AName.size() > 1) {
    int t = AName[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
            : AName[0] == 'v' ? AVMEDIA_TYPE_VIDEO
            : AName[0] == 's' ? AVMEDIA_TYPE_SUBTITLE
                              : -1;
    if (t >= 0 && (o = Find(avcodec_opts[t], AName.substr(1))))
      ret = FF.av_opt_set(avcodec_opts[t], name + 1, value, 0);
  }
  if (o && ret < 0) {
    Refuse(fmt::sprintf("Invalid value \"%s\" for option \"%s\"", AValue, AName));
    return false;
  }
  if (!o) {
    if (!KnownAsPrivate(AName)) {
      Refuse(fmt::sprintf("Unrecognized option \"%s\"", AName));
      return false;
    }
    opt_names.push_back(AName);
    opt_values.emplace_back(AValue);
  } else {
    opt_names.emplace_back(o->name);
    opt_values.emplace_back(std::nullopt);
  }
  int64_t debug = 0, fdebug = 0;
  FF.av_opt_get_int(avcodec_opts[0], "debug", 0, &debug);
  if (avformat_opts) FF.av_opt_get_int(avformat_opts, "fdebug", 0, &fdebug);
  if (debug || fdebug) Logger().SetLogLevel(llDebug);
  return true;
}

void TFFOptions::Apply(void* ATarget, void* AStoreCtx, void* APrivate, int AFlags) const {
  if (!ATarget || !AStoreCtx) return;
  for (size_t i = 0; i < opt_names.size(); ++i) {
    const std::string& name = opt_names[i];
    const AVOption* o = opt_values[i] ? nullptr : Find(AStoreCtx, name);
    if (o) {
      if ((o->flags & AFlags) != AFlags) continue;
      uint8_t* text = nullptr;
      if (FF.av_opt_get(AStoreCtx, name.c_str(), 0, &text) >= 0 && text)
        FF.av_opt_set(ATarget, name.c_str(), reinterpret_cast<const char*>(text), 0);
      FF.av_free(text);
    } else if (opt_values[i] && HasClass(APrivate) && Find(APrivate, name)) {
      FF.av_opt_set(APrivate, name.c_str(), opt_values[i]->c_str(), 0);
    }
  }
}

void TFFOptions::ApplyCodec(AVCodecContext* ATarget, AVMediaType AType, int AFlags) const {
  if (!ATarget || AType < 0 || AType >= AVMEDIA_TYPE_NB) return;
  Apply(ATarget, avcodec_opts[AType],
        ATarget->codec && ATarget->codec->priv_class ? ATarget->priv_data : nullptr, AFlags);
}

void TFFOptions::ApplyFormat(AVFormatContext* ATarget, int AFlags) const {
  if (!ATarget) return;
  bool priv = (ATarget->oformat && ATarget->oformat->priv_class) ||
              (ATarget->iformat && ATarget->iformat->priv_class);
  Apply(ATarget, avformat_opts, priv ? ATarget->priv_data : nullptr, AFlags);
}

void TFFOptions::ApplyScaler(SwsContext* ATarget) const {
  Apply(ATarget, sws_opts, nullptr, 0);
}

void TFFOptions::ApplyResampler(SwrContext* ATarget) const {
  Apply(ATarget, swr_opts, nullptr, 0);
}
