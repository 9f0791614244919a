// The audio path of one encoded output stream: decoded frames are converted
// to the encoder's sample format, layout and rate (one SwrContext, built only
// when something differs), corrected for timestamp drift, collected in an
// AVAudioFifo and fed to the encoder in frames of exactly its frame size.
// Encoder input is timed by a running sample counter in 1/(encoder rate), so
// the output is contiguous; packets come out rescaled to the stream's time
// base.
//
// One TAudioPipeline lives for the whole output stream: when several inputs
// are joined into one output, every segment feeds the same pipeline and only
// the end of the output drains the encoder, which keeps the joins gapless.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "util/FFApi.h"

struct TAudioPipelineSettings {
  int AudioSyncMethod = 0;          // 0 none, 1 pad/trim, >1 also stretch by at most that many samples/s
  float AudioDriftThreshold = 0.1f; // seconds
  int Verbose = 1;
  int64_t StartTime = 0; // microseconds, subtracted from input times for drift handling
  bool ExitOnError = false;
  // Identifies the input in the "frame changed" line.
  int InputFileIndex = 0;
  int InputStreamIndex = 0;
};

class TAudioPipeline {
public:
  // Receives every encoded packet (stream index and time stamps set); the
  // packet is unreferenced after the call.
  using TPacketSink = std::function<void(AVPacket* APacket)>;
  // Receives log lines: (level as the log sink's TLogLevel ordinal, text).
  using TLogSink = std::function<void(int ALevel, const std::string& AText)>;

  // AEncoder must be opened; its time base is 1/sample rate. AStream is the
  // output stream whose time base packets are rescaled to (read per packet:
  // the muxer may change it when writing the header).
  TAudioPipeline(AVCodecContext* AEncoder, AVStream* AStream, const TAudioPipelineSettings& ASettings,
                 TPacketSink ASink, TLogSink ALog = nullptr);
  ~TAudioPipeline();
  TAudioPipeline(const TAudioPipeline&) = delete;
  TAudioPipeline& operator=(const TAudioPipeline&) = delete;

  // One decoded frame; AInputTime is the frame's time in microseconds (used
  // for drift handling only). AFirst/ACount select a part of the frame's
  // samples (ACount < 0: to the end).
  void Process(const AVFrame* AFrame, int64_t AInputTime, int AFirst = 0, int ACount = -1);
  // The end of one input: the resampler's delayed samples go into the FIFO.
  // The FIFO and the encoder stay (the next joined input continues them).
  void EndOfInput();
  // The end of the output: the rest of the FIFO (a short last frame) and the
  // encoder's delayed packets.
  void Finish();

  int64_t SamplesSent() const { return FNextPts; } // samples handed to the encoder
  int64_t EncodedBytes() const { return FEncodedBytes; }
  int64_t PacketCount() const { return FPackets; }
  bool ResamplerInUse() const { return FSwr != nullptr; }
  int ResamplerBuilds() const { return FSwrBuilds; }
  bool Finished() const { return FFinished; }

private:
  AVCodecContext* FEnc;
  AVStream* FStream;
  TAudioPipelineSettings FSet;
  TPacketSink FSink;
  TLogSink FLog;

  SwrContext* FSwr = nullptr;
  int FSwrBuilds = 0;
  bool FHaveInputFormat = false;
  int FInFormat = -1;
  int FInRate = 0;
  AVChannelLayout FInLayout{};
  bool FPassThrough = true;

  AVAudioFifo* FFifo = nullptr;
  AVFrame* FEncFrame = nullptr;
  AVPacket* FPacket = nullptr;
  uint8_t** FConvBuf = nullptr; // converted samples, grows only
  int FConvCapacity = 0;
  bool FIsStart = true;
  int64_t FNextPts = 0;
  int64_t FEncodedBytes = 0;
  int64_t FPackets = 0;
  bool FFinished = false;

  void Log(int ALevel, const std::string& AText);
  void CheckInputFormat(const AVFrame* AFrame);
  void BuildResampler();
  uint8_t** ConvBuffer(int ASamples);
  void WriteToFifo(uint8_t* const* AData, int ASamples);
  void WriteSilence(int ASamples);
  void EncodeFromFifo(bool AFlushAll);
  void SendFrame(AVFrame* AFrame);
  void ReceivePackets();
  int FrameSize() const;
};

// Scales decoded samples in place by AVolume/256 in their own sample format
// (every plane); 256 leaves them untouched. Integer formats round as
// (s * v + 128) >> 8 and clip, float formats clip to [-1, 1].
void ApplyVolume(AVFrame* AFrame, int AVolume);
