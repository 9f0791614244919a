// A conversion job with its media work: opening inputs and outputs from the
// option state, the transcode set-up, the packet loop with its decode,
// stream-copy and write paths, and the audio output pipeline.
//
// TFFmpegJob is the job the encoder component creates. Its lifecycle
// (threads, stop, pause, termination) is TCustomFFmpeg's; its option
// vocabulary is TFFmpegOptions (SetExtOption / the setters of Options()).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/AudioPipeline.h"
#include "engine/FFmpeg.h"
#include "engine/Options.h"
#include "util/FFUtils.h"

struct TAVInputFile {
  bool eof_reached = false;
  int ist_index = 0;
  int nb_streams = 0;
};

struct TAVInputStream {
  int file_index = 0;
  int index = 0;
  AVStream* st = nullptr;
  AVCodecContext* dec = nullptr; // owned; opened when decoding is needed
  const AVCodec* forced_codec = nullptr;
  bool discard = true;
  bool decoding_needed = false;
  int64_t next_pts = AV_NOPTS_VALUE; // microseconds
  int64_t pts = 0;                   // microseconds
  TPtsCorrectionContext pts_ctx;
  bool is_past_recording_time = false;
  bool decoder_flushed = false;
  bool showed_multi_packet_warning = false;
  int64_t trim_start = AV_NOPTS_VALUE; // drop decoded samples before this time (microseconds)
};

struct TAVOutputStream {
  int file_index = 0;
  int index = 0;
  AVStream* st = nullptr;
  bool stream_copy = false;
  const AVCodec* codec = nullptr; // the encoder (found by name or guessed)
  // The encoder context and audio pipeline; segments of a joined output
  // share them (one encoder for the whole output).
  std::shared_ptr<AVCodecContext> enc;
  std::shared_ptr<TAudioPipeline> audio;
  std::vector<std::string> bitstream_filters;
  std::shared_ptr<AVBSFContext> bsf;
  float quality = 0;

  int source_index = -1;
  TAVInputStream* sync_ist = nullptr;
  bool encoding_needed = false;
  int64_t frame_number = 0;
  int64_t sync_opts = 0;
  bool show_fps = true;
  // End of the last packet written to st, in st's time base (shared by the
  // segments of a joined output).
  std::shared_ptr<int64_t> end_pts;
};

class TFFmpegJob : public TCustomFFmpeg, public IOptionHost {
public:
  explicit TFFmpegJob(int AMaxFiles = 32);
  ~TFFmpegJob() override;

  TFFmpegOptions& Options() { return FOptions; }
  void SetExtOption(const std::string& AName, const std::string& AValue) {
    FOptions.SetExtOption(AName, AValue);
  }
  void SetExtOptions(const std::string& AText) { FOptions.SetExtOptions(AText); }

  // Opens an input with the pending input options. False with LastErrMsg.
  bool OpenInputFile(const std::string& AFileName);
  // Creates an output with the pending output options; AJoin makes it the
  // joined output of every input. The new number of outputs, or -1 with
  // LastErrMsg.
  int OpenOutputFile(const std::string& AFileName, bool AJoin);
  // Sets up the joined output after OpenOutputFile(..., true).
  void JoinSetup();
  bool JoinMode() const { return FJoinMode; }

  AVFormatContext* InputFile(int AIndex) const;
  AVFormatContext* OutputFile(int AIndex) const;
  std::string InputFileName(int AIndex) const;
  std::string OutputFileName(int AIndex) const;

  // Totals of the last run.
  int64_t AudioSize() const { return Faudio_size; }
  int64_t VideoSize() const { return Fvideo_size; }

  // IOptionHost
  int OutputFileCount() const override { return nb_output_files(); }
  void NewOutputStream(AVMediaType AType) override;
  std::vector<AVRational> InputVideoFrameRates() const override;
  bool AddFrameHook(const std::vector<std::string>& AArgs) override;
  void SetTotalOutputDuration(int64_t ADuration) override;

protected:
  void Transcode() override;
  void FreeStreamRecords() override {
    ReleaseTables();
    FreeOutputStreams();
  }

private:
  TFFmpegOptions FOptions;
  bool FJoinMode = false;
  std::vector<std::string> FInputNames;
  std::vector<std::string> FOutputNames;
  std::vector<bool> FInputTrim; // the input was opened at a start position

  // Transcode tables.
  std::vector<TAVInputFile> FInputFileTable;
  std::vector<std::unique_ptr<TAVInputStream>> FInputStreams;
  std::vector<TAVOutputStream*> FOutputStreams; // owned by Foutput_streams_for_file
  int FSegmentSize = 0;
  int64_t Ftimer_start = 0;
  int64_t Faudio_size = 0, Fvideo_size = 0, Fextra_size = 0;
  AVFrame* FFrame = nullptr;

  bool LookupCodec(const std::optional<std::string>& AName, AVMediaType AType, bool AEncoder,
                   const AVCodec** ACodec);
  TAVOutputStream* AddOutputStream(AVFormatContext* AOutput, int AFileIndex, AVMediaType AType);
  void NewAudioStream(AVFormatContext* AOutput, int AFileIndex);
  void NewVideoStream(AVFormatContext* AOutput, int AFileIndex);
  void NewSubtitleStream(AVFormatContext* AOutput, int AFileIndex);
  void FreeOutputStreams();
  void ReleaseTables();

  void TranscodeSetup();
  void TranscodeLoop();
  void OpenEncoder(TAVOutputStream* AOst);
  void SetupCopy(TAVOutputStream* AOst, TAVInputStream* AIst);
  int OutputPacket(TAVInputStream* AIst, const AVPacket* APacket);
  void DispatchAudio(TAVInputStream* AIst, AVFrame* AFrame);
  void CopyPacket(TAVOutputStream* AOst, TAVInputStream* AIst, const AVPacket* APacket);
  void WriteFrame(TAVOutputStream* AOst, AVPacket* APacket);
  void PrintReport(bool AIsLast, int AFileIndex);
  double OutputTime(const TAVOutputStream* AOst) const;
  void EndSegment(int AFileIndex);
  void DumpAll();
};
