#include "engine/AudioPipeline.h"

#include <algorithm>
#include <cmath>

#include <fmt/printf.h>

#include "engine/FFmpegJobError.h"

namespace {

// Log levels (the log sink's ordinals).
constexpr int KInfo = 5, KVerbose = 6, KError = 3;

std::string SampleFmtName(int AFormat) {
  const char* n = AFormat >= 0 ? FF.av_get_sample_fmt_name(AVSampleFormat(AFormat)) : nullptr;
  return n ? n : "none";
}

// A layout we can hand to the resampler (decoders may leave the order unspecified).
void UsableLayout(const AVChannelLayout& AIn, AVChannelLayout* AOut) {
  if (AIn.order == AV_CHANNEL_ORDER_UNSPEC || AIn.nb_channels <= 0)
    FF.av_channel_layout_default(AOut, std::max(AIn.nb_channels, 1));
  else
    FF.av_channel_layout_copy(AOut, &AIn);
}

template <typename T> void ScaleInt(uint8_t* AData, size_t ACount, int AVolume, int64_t AMin, int64_t AMax) {
  auto p = reinterpret_cast<T*>(AData);
  for (size_t i = 0; i < ACount; ++i) {
    int64_t v = (int64_t(p[i]) * AVolume + 128) >> 8;
    p[i] = T(std::clamp(v, AMin, AMax));
  }
}

template <typename T> void ScaleFloat(uint8_t* AData, size_t ACount, int AVolume) {
  auto p = reinterpret_cast<T*>(AData);
  T f = T(AVolume) / T(256);
  for (size_t i = 0; i < ACount; ++i) p[i] = std::clamp(p[i] * f, T(-1), T(1));
}

} // namespace

void ApplyVolume(AVFrame* AFrame, int AVolume) {
  if (AVolume == 256 || !AFrame || AFrame->nb_samples <= 0) return;
  auto fmt = AVSampleFormat(AFrame->format);
  int channels = AFrame->ch_layout.nb_channels;
  bool planar = FF.av_sample_fmt_is_planar(fmt);
  int planes = planar ? channels : 1;
  size_t count = size_t(AFrame->nb_samples) * (planar ? 1 : channels);
  for (int p = 0; p < planes; ++p) {
    uint8_t* d = AFrame->extended_data[p];
    switch (FF.av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8: {
      for (size_t i = 0; i < count; ++i) {
        int64_t v = ((int64_t(d[i]) - 128) * AVolume + 128) >> 8;
        d[i] = uint8_t(std::clamp<int64_t>(v, -128, 127) + 128);
      }
      break;
    }
    case AV_SAMPLE_FMT_S16:
      ScaleInt<int16_t>(d, count, AVolume, INT16_MIN, INT16_MAX);
      break;
    case AV_SAMPLE_FMT_S32:
      ScaleInt<int32_t>(d, count, AVolume, INT32_MIN, INT32_MAX);
      break;
    case AV_SAMPLE_FMT_S64: {
      auto q = reinterpret_cast<int64_t*>(d);
      for (size_t i = 0; i < count; ++i) {
        long double v = (long double)q[i] * AVolume / 256;
        q[i] = int64_t(std::clamp<long double>(v, (long double)INT64_MIN, (long double)INT64_MAX));
      }
      break;
    }
    case AV_SAMPLE_FMT_FLT:
      ScaleFloat<float>(d, count, AVolume);
      break;
    case AV_SAMPLE_FMT_DBL:
      ScaleFloat<double>(d, count, AVolume);
      break;
    default:
      break;
    }
  }
}

TAudioPipeline::TAudioPipeline(AVCodecContext* AEncoder, AVStream* AStream,
                               const TAudioPipelineSettings& ASettings, TPacketSink ASink, TLogSink ALog)
    : FEnc(AEncoder), FStream(AStream), FSet(ASettings), FSink(std::move(ASink)), FLog(std::move(ALog)) {
  FFifo = FF.av_audio_fifo_alloc(FEnc->sample_fmt, FEnc->ch_layout.nb_channels, std::max(FrameSize(), 1024));
  FEncFrame = FF.av_frame_alloc();
  FPacket = FF.av_packet_alloc();
  if (!FFifo || !FEncFrame || !FPacket) RaiseFFmpeg("Out of memory in do_audio_out");
}

TAudioPipeline::~TAudioPipeline() {
  if (FF.swr_free) FF.swr_free(&FSwr);
  if (FFifo) FF.av_audio_fifo_free(FFifo);
  FF.av_frame_free(&FEncFrame);
  FF.av_packet_free(&FPacket);
  if (FConvBuf) {
    FF.av_freep(&FConvBuf[0]);
    FF.av_freep(&FConvBuf);
  }
  FF.av_channel_layout_uninit(&FInLayout);
}

void TAudioPipeline::Log(int ALevel, const std::string& AText) {
  if (FLog) FLog(ALevel, AText);
}

int TAudioPipeline::FrameSize() const {
  // Encoders that take any number of samples get whole buffers.
  if (FEnc->frame_size <= 1 ||
      (FEnc->codec && (FEnc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)))
    return 0;
  return FEnc->frame_size;
}

void TAudioPipeline::CheckInputFormat(const AVFrame* AFrame) {
  bool changed = !FHaveInputFormat || AFrame->format != FInFormat || AFrame->sample_rate != FInRate ||
                 FF.av_channel_layout_compare(&AFrame->ch_layout, &FInLayout) != 0;
  if (!changed) return;
  if (FHaveInputFormat) {
    Log(KInfo,
        fmt::sprintf("Input stream #%d.%d frame changed from rate:%d fmt:%s ch:%d to rate:%d fmt:%s ch:%d",
                     FSet.InputFileIndex, FSet.InputStreamIndex, FInRate, SampleFmtName(FInFormat),
                     FInLayout.nb_channels, AFrame->sample_rate, SampleFmtName(AFrame->format),
                     AFrame->ch_layout.nb_channels));
    // What the old resampler still holds belongs to the old format.
    if (FSwr) EndOfInput();
  }
  FHaveInputFormat = true;
  FInFormat = AFrame->format;
  FInRate = AFrame->sample_rate;
  FF.av_channel_layout_uninit(&FInLayout);
  FF.av_channel_layout_copy(&FInLayout, &AFrame->ch_layout);
  FF.swr_free(&FSwr);
  AVChannelLayout inLayout{}, outLayout{};
  UsableLayout(FInLayout, &inLayout);
  UsableLayout(FEnc->ch_layout, &outLayout);
  bool same = FInFormat == FEnc->sample_fmt && FInRate == FEnc->sample_rate &&
              inLayout.nb_channels == outLayout.nb_channels;
  FF.av_channel_layout_uninit(&inLayout);
  FF.av_channel_layout_uninit(&outLayout);
  FPassThrough = same && FSet.AudioSyncMethod <= 1;
  if (!FPassThrough) BuildResampler();
}

void TAudioPipeline::BuildResampler() {
  AVChannelLayout inLayout{}, outLayout{};
  UsableLayout(FInLayout, &inLayout);
  UsableLayout(FEnc->ch_layout, &outLayout);
  int ret = FF.swr_alloc_set_opts2(&FSwr, &outLayout, FEnc->sample_fmt, FEnc->sample_rate, &inLayout,
                                   AVSampleFormat(FInFormat), FInRate, 0, nullptr);
  FF.av_channel_layout_uninit(&inLayout);
  FF.av_channel_layout_uninit(&outLayout);
  if (ret >= 0) {
    FF.av_opt_set_int(FSwr, "filter_size", 16, 0);
    FF.av_opt_set_int(FSwr, "phase_shift", 10, 0);
    FF.av_opt_set_int(FSwr, "linear_interp", 0, 0);
    FF.av_opt_set_double(FSwr, "cutoff", 0.8, 0);
    ret = FF.swr_init(FSwr);
  }
  if (ret < 0) {
    FF.swr_free(&FSwr);
    RaiseFFmpeg("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", FInLayout.nb_channels, FInRate,
                FEnc->ch_layout.nb_channels, FEnc->sample_rate);
  }
  ++FSwrBuilds;
}

uint8_t** TAudioPipeline::ConvBuffer(int ASamples) {
  if (ASamples > FConvCapacity) {
    if (FConvBuf) {
      FF.av_freep(&FConvBuf[0]);
      FF.av_freep(&FConvBuf);
    }
    int cap = std::max(ASamples, 4096);
    if (FF.av_samples_alloc_array_and_samples(&FConvBuf, nullptr, FEnc->ch_layout.nb_channels, cap,
                                              FEnc->sample_fmt, 0) < 0) {
      FConvCapacity = 0;
      RaiseFFmpeg("Out of memory in do_audio_out");
    }
    FConvCapacity = cap;
  }
  return FConvBuf;
}

void TAudioPipeline::WriteToFifo(uint8_t* const* AData, int ASamples) {
  if (ASamples <= 0) return;
  if (FF.av_audio_fifo_write(FFifo, reinterpret_cast<void**>(const_cast<uint8_t**>(AData)), ASamples) <
      ASamples)
    RaiseFFmpeg("av_fifo_realloc2() failed");
}

void TAudioPipeline::WriteSilence(int ASamples) {
  while (ASamples > 0) {
    int n = std::min(ASamples, 65536);
    uint8_t** buf = ConvBuffer(n);
    FF.av_samples_set_silence(buf, 0, n, FEnc->ch_layout.nb_channels, FEnc->sample_fmt);
    WriteToFifo(buf, n);
    ASamples -= n;
  }
}

void TAudioPipeline::Process(const AVFrame* AFrame, int64_t AInputTime, int AFirst, int ACount) {
  if (FFinished) return;
  if (ACount < 0) ACount = AFrame->nb_samples - AFirst;
  ACount = std::min(ACount, AFrame->nb_samples - AFirst);
  if (ACount <= 0) return;
  CheckInputFormat(AFrame);

  int erate = FEnc->sample_rate;
  int bps = FF.av_get_bytes_per_sample(AVSampleFormat(FInFormat));
  bool planar = FF.av_sample_fmt_is_planar(AVSampleFormat(FInFormat));
  int inChannels = AFrame->ch_layout.nb_channels;
  int planes = planar ? inChannels : 1;

  // Drift: compare the input's time with the samples produced so far.
  if (FSet.AudioSyncMethod != 0 && AInputTime != AV_NOPTS_VALUE) {
    double ipts = double(AInputTime - FSet.StartTime) / 1000000.0;
    int64_t pending = FSwr ? FF.swr_get_delay(FSwr, erate) : 0;
    double delta = ipts * erate - double(FNextPts + FF.av_audio_fifo_size(FFifo) + pending);
    if (std::fabs(delta) > 50) {
      if (FIsStart || std::fabs(delta) > FSet.AudioDriftThreshold * erate) {
        if (delta < 0) {
          int64_t drop = int64_t(-delta * FInRate / erate);
          drop = std::min<int64_t>(drop, ACount);
          if (FSet.Verbose > 2) Log(KVerbose, fmt::sprintf("discarding %d audio samples", int(-delta)));
          AFirst += int(drop);
          ACount -= int(drop);
          FIsStart = false;
          if (ACount <= 0) return;
        } else {
          FIsStart = false;
          if (FSet.Verbose > 2) Log(KVerbose, fmt::sprintf("adding %d audio samples of silence", int(delta)));
          if (FSwr) {
            // Silence must pass the resampler in order with the data.
            EndOfInput();
          }
          WriteSilence(int(delta));
        }
      } else if (FSet.AudioSyncMethod > 1 && FSwr) {
        int comp = std::clamp(int(delta), -FSet.AudioSyncMethod, FSet.AudioSyncMethod);
        if (FSet.Verbose > 2)
          Log(KVerbose, fmt::sprintf("compensating audio timestamp drift:%f compensation:%d in:%d", delta,
                                     comp, erate));
        FF.swr_set_compensation(FSwr, comp, erate);
      }
    }
  }

  const uint8_t* in[AV_NUM_DATA_POINTERS * 8];
  for (int p = 0; p < planes && p < int(sizeof in / sizeof *in); ++p)
    in[p] = AFrame->extended_data[p] + size_t(AFirst) * bps * (planar ? 1 : inChannels);

  if (FPassThrough) {
    WriteToFifo(const_cast<uint8_t* const*>(in), ACount);
  } else {
    int outCount = FF.swr_get_out_samples(FSwr, ACount);
    if (outCount < 0) RaiseFFmpeg("Out of memory in do_audio_out");
    uint8_t** buf = ConvBuffer(outCount + 32);
    int got = FF.swr_convert(FSwr, buf, FConvCapacity, in, ACount);
    if (got < 0) {
      if (FSet.ExitOnError) RaiseFFmpeg("av_audio_convert() failed");
      Log(KError, "av_audio_convert() failed");
      return;
    }
    WriteToFifo(buf, got);
  }
  EncodeFromFifo(false);
}

void TAudioPipeline::EndOfInput() {
  if (FFinished || !FSwr) return;
  for (;;) {
    int pending = int(FF.swr_get_delay(FSwr, FEnc->sample_rate)) + 32;
    uint8_t** buf = ConvBuffer(pending);
    int got = FF.swr_convert(FSwr, buf, FConvCapacity, nullptr, 0);
    if (got <= 0) break;
    WriteToFifo(buf, got);
  }
  // A flushed resampler cannot take more input: the next buffer rebuilds it.
  FF.swr_free(&FSwr);
  FHaveInputFormat = false;
  EncodeFromFifo(false);
}

void TAudioPipeline::EncodeFromFifo(bool AFlushAll) {
  int fs = FrameSize();
  for (;;) {
    int avail = FF.av_audio_fifo_size(FFifo);
    int n;
    if (fs > 0) {
      if (avail >= fs)
        n = fs;
      else if (AFlushAll && avail > 0)
        n = avail; // a short last frame: the library pads it when the codec needs whole frames
      else
        return;
    } else {
      if (avail <= 0) return;
      n = std::min(avail, 16384);
    }
    // One encoder frame is reused while its size stays; it is copied only
    // when the encoder still holds a reference to its data.
    if (FEncFrame->nb_samples != n || !FEncFrame->buf[0]) {
      FF.av_frame_unref(FEncFrame);
      FEncFrame->nb_samples = n;
      FEncFrame->format = FEnc->sample_fmt;
      FEncFrame->sample_rate = FEnc->sample_rate;
      FF.av_channel_layout_copy(&FEncFrame->ch_layout, &FEnc->ch_layout);
      if (FF.av_frame_get_buffer(FEncFrame, 0) < 0) RaiseFFmpeg("Out of memory in do_audio_out");
    } else if (FF.av_frame_make_writable(FEncFrame) < 0) {
      RaiseFFmpeg("Out of memory in do_audio_out");
    }
    if (FF.av_audio_fifo_read(FFifo, reinterpret_cast<void**>(FEncFrame->extended_data), n) < n)
      RaiseFFmpeg("Audio encoding failed");
    FEncFrame->pts = FNextPts;
    FNextPts += n;
    SendFrame(FEncFrame);
    if (fs > 0 && n < fs) return; // that was the last one
  }
}

void TAudioPipeline::SendFrame(AVFrame* AFrame) {
  int ret = FF.avcodec_send_frame(FEnc, AFrame);
  if (ret < 0 && ret != AVERROR_EOF) RaiseFFmpeg("Audio encoding failed");
  ReceivePackets();
}

void TAudioPipeline::ReceivePackets() {
  for (;;) {
    int ret = FF.avcodec_receive_packet(FEnc, FPacket);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    if (ret < 0) RaiseFFmpeg("Audio encoding failed");
    FEncodedBytes += FPacket->size;
    ++FPackets;
    FPacket->stream_index = FStream->index;
    FPacket->flags |= AV_PKT_FLAG_KEY;
    FF.av_packet_rescale_ts(FPacket, FEnc->time_base, FStream->time_base);
    FSink(FPacket);
    FF.av_packet_unref(FPacket);
  }
}

void TAudioPipeline::Finish() {
  if (FFinished) return;
  EndOfInput();
  EncodeFromFifo(true);
  FFinished = true;
  SendFrame(nullptr);
}
