// The "target" option: fixed settings of the disc formats.
#include <cmath>

#include "engine/Options.h"

namespace {

// Rate x 1000, rounded (half to even); 0 when the rate is unknown.
long Milli(AVRational ARate) {
  if (ARate.den == 0 || ARate.num == 0) return 0;
  return std::lrint(ARate.num * 1000.0 / ARate.den);
}

bool NormOfRate(AVRational ARate, TTargetNorm& ANorm) {
  long m = Milli(ARate);
  if (m == 23976 || m == 29970) {
    ANorm = TTargetNorm::tnNTSC;
    return true;
  }
  if (m == 25000) {
    ANorm = TTargetNorm::tnPAL;
    return true;
  }
  return false;
}

struct TTargetSettings {
  const char* Type;
  const char* VideoCodec; // null: unchanged
  const char* AudioCodec;
  const char* Format;
  const char* SizePAL;
  const char* SizeOther;
  int Rate;
  // Offered to the generic store in this order; null ends the list.
  const char* Generic[10][2];
  float MuxPreload; // 0: unchanged
  float Aspect;     // used when the aspect ratio is not set; 0: none
  const char* AspectText;
};

// "g" depends on the norm and comes first; "%g" marks it.
const TTargetSettings Targets[] = {
    {"vcd",
     "mpeg1video",
     "mp2",
     "vcd",
     "352x288",
     "352x240",
     44100,
     {{"g", "%g"},
      {"b", "1150000"},
      {"maxrate", "1150000"},
      {"minrate", "1150000"},
      {"bufsize", "327680"},
      {"ab", "224000"},
      {"packetsize", "2324"},
      {"muxrate", "1411200"}},
     0.44f,
     4.0f / 3.0f,
     "Assuming 4:3 for aspect ratio"},
    // The old "flags=+scan_offset" is the encoder's own scan_offset option now.
    {"svcd",
     "mpeg2video",
     "mp2",
     "svcd",
     "480x576",
     "480x480",
     44100,
     {{"g", "%g"},
      {"b", "2040000"},
      {"maxrate", "2516000"},
      {"minrate", "0"},
      {"bufsize", "1835008"},
      {"scan_offset", "1"},
      {"ab", "224000"},
      {"packetsize", "2324"}},
     0,
     4.0f / 3.0f,
     "Assuming 4:3 for aspect ratio"},
    {"dvd",
     "mpeg2video",
     "ac3",
     "dvd",
     "720x576",
     "720x480",
     48000,
     {{"g", "%g"},
      {"b", "6000000"},
      {"maxrate", "9000000"},
      {"minrate", "0"},
      {"bufsize", "1835008"},
      {"ab", "448000"},
      {"packetsize", "2048"},
      {"muxrate", "10080000"}},
     0,
     16.0f / 9.0f,
     "Assuming 16:9 for aspect ratio"},
    {"dv", nullptr, nullptr, "dv", "720x576", "720x480", 48000, {}, 0, 0, nullptr},
    {"dv50", nullptr, nullptr, "dv", "720x576", "720x480", 48000, {}, 0, 0, nullptr},
};

} // namespace

TTargetNorm TFFmpegOptions::DetectNorm(const std::string& ANorm, const std::string& ADefaultNorm) {
  if (ANorm == "pal") return TTargetNorm::tnPAL;
  if (ANorm == "ntsc") return TTargetNorm::tnNTSC;
  if (ANorm == "film") return TTargetNorm::tnFILM;
  if (Fframe_rate.den == 0) throw FFmpegException("frame_rate is invalid.");
  TTargetNorm norm = TTargetNorm::tnPAL;
  bool known = NormOfRate(Fframe_rate, norm);
  if (!known && FHost)
    for (AVRational r : FHost->InputVideoFrameRates())
      if ((known = NormOfRate(r, norm))) break;
  if (!known)
    norm = ADefaultNorm == "film"   ? TTargetNorm::tnFILM
           : ADefaultNorm == "ntsc" ? TTargetNorm::tnNTSC
                                    : TTargetNorm::tnPAL;
  if (Fverbose > 0)
    Log(llVerbose, fmt::sprintf("Assuming %s for target.", norm == TTargetNorm::tnPAL ? "PAL" : "NTSC"));
  return norm;
}

void TFFmpegOptions::SetTarget(const std::string& ATarget, const std::string& ANorm,
                               const std::string& ADefaultNorm) {
  const TTargetNorm norm = DetectNorm(ANorm, ADefaultNorm);
  const bool pal = norm == TTargetNorm::tnPAL;
  const TTargetSettings* t = nullptr;
  for (const auto& s : Targets)
    if (ATarget == s.Type) t = &s;
  if (!t) throw FFmpegException("Unknown target type");

  if (t->VideoCodec) SetCodecName(AVMEDIA_TYPE_VIDEO, t->VideoCodec);
  if (t->AudioCodec) SetCodecName(AVMEDIA_TYPE_AUDIO, t->AudioCodec);
  Flast_asked_format = t->Format;
  SetFrameSize(pal ? t->SizePAL : t->SizeOther);
  Fframe_rate = norm == TTargetNorm::tnPAL    ? AVRational{25, 1}
                : norm == TTargetNorm::tnNTSC ? AVRational{30000, 1001}
                                              : AVRational{24000, 1001};
  if (ATarget == "dv50")
    Fframe_pix_fmt = AV_PIX_FMT_YUV422P;
  else if (ATarget == "dv")
    Fframe_pix_fmt = pal ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
  for (const auto& g : t->Generic) {
    if (!g[0]) break;
    std::string value = std::string(g[1]) == "%g" ? (pal ? "15" : "18") : g[1];
    FStore.Offer(g[0], value);
  }
  Faudio_sample_rate = t->Rate;
  if (ATarget == "vcd" || ATarget == "dv" || ATarget == "dv50")
    Faudio_channels = 2;
  else if (Faudio_channels == 1)
    Faudio_channels = 2;
  if (t->MuxPreload > 0) Fmux_preload = t->MuxPreload;
  if (t->Aspect > 0 && Fframe_aspect_ratio == 0) {
    Log(llInfo, t->AspectText);
    Fframe_aspect_ratio = t->Aspect;
  }
}
