// The option state of a conversion job and its option vocabulary.
//
// A job is configured like a command-line transcoder: a sequence of named
// options with text values, applied in order. SetExtOption is the single
// entry point; names it does not know go to the generic option store
// (engine/OptionsStore.h). The fields keep the transcoder's variable names
// with an F prefix; per-input, per-output and per-stream fields are consumed
// by the job when it opens inputs, outputs and streams (the Consume* helpers).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/FFmpegJobError.h"
#include "engine/OptionsStore.h"
#include "log/FFLog.h"
#include "util/FFApi.h"

// What the option handlers need from the job they configure.
class IOptionHost {
public:
  virtual ~IOptionHost() = default;
  // Number of output files opened so far.
  virtual int OutputFileCount() const = 0;
  // Adds a stream of AType (video, audio or subtitle) to the most recently opened output; raises
  // FFmpegException on failure.
  virtual void NewOutputStream(AVMediaType AType) = 0;
  // Frame rates of the video streams of the inputs opened so far, in order ({0,0} when unknown).
  virtual std::vector<AVRational> InputVideoFrameRates() const = 0;
  // Adds a frame hook (AArgs[0] names the module); false when it cannot be added.
  virtual bool AddFrameHook(const std::vector<std::string>& AArgs) = 0;
  // Sets the job's expected output duration in microseconds (the "t" option).
  virtual void SetTotalOutputDuration(int64_t ADuration) = 0;
};

// ---------------------------------------------------------------------------
// Option text.

struct TOptionLine {
  std::string Name;
  std::string Value;
  bool operator==(const TOptionLine&) const = default;
};

// Trims the text, turns every line break form and the literal "<CRLF>" into
// line ends, skips lines that are blank, and splits each line at its first
// "=" (a line without "=" is a name with an empty value).
std::vector<TOptionLine> SplitOptionText(const std::string& AText);

// Trims blanks and control characters at both ends.
std::string TrimText(const std::string& AText);

// Number conversion independent of the locale: optional sign, decimal
// digits or a "0x"/"$" hexadecimal prefix; floats with "." only. Blanks at
// both ends are allowed. Failures raise FFmpegException with
// "'%s' is not a valid integer value" / "'%s' is not a valid floating point value".
int32_t StrToIntStrict(const std::string& AText);
int64_t StrToInt64Strict(const std::string& AText);
double StrToFloatStrict(const std::string& AText);
bool TryStrToInt(const std::string& AText, int32_t& AResult);
bool TryStrToInt64(const std::string& AText, int64_t& AResult);

// The library's date parser: microseconds, or "Invalid %s specification for
// %s: %s" ("duration" or "date", AContext, AText) raised as FFmpegException.
int64_t ParseTimeOrFail(const std::string& AContext, const std::string& AText, bool ADuration);

// ---------------------------------------------------------------------------

struct TAVStreamMap {
  int file_index = 0;
  int stream_index = 0;
  int sync_file_index = 0;
  int sync_stream_index = 0;
};

struct TAVMetaDataMap {
  int file_idx = 0;
  char type_ = 'g'; // 'g' global, 's' stream, 'c' chapter, 'p' program
  int index = 0;
};

struct TAVChapterMap {
  int in_file = 0;
  int out_file = 0;
};

enum class TOptionType { otIgnore, otBool, otInt, otInt64, otFloat, otText, otTime, otSpecial };

class TFFmpegOptions;
using TOptionHandler = void (*)(TFFmpegOptions& AOpts, const std::string& AName, const std::string& AValue);

// One row of the vocabulary.
struct TOptionDef {
  const char* Name;
  TOptionType Type;
  TOptionHandler Handler;
};

// The whole vocabulary, in dispatch order.
const std::vector<TOptionDef>& OptionTable();
const TOptionDef* FindOptionDef(const std::string& AName);

// Target norms.
enum class TTargetNorm { tnPAL, tnNTSC, tnFILM };

constexpr int MAX_STREAMS = 20;

// ---------------------------------------------------------------------------

class TFFmpegOptions {
public:
  // AHost receives the actions on the job; ALogSender is the sender of log
  // lines (usually the job; the host when null).
  explicit TFFmpegOptions(IOptionHost* AHost, void* ALogSender = nullptr);
  virtual ~TFFmpegOptions();

  // Puts every field to its default and resets the generic store (contexts
  // only when the libraries are loaded).
  void InitOptionDefaults();

  // The single entry point of the vocabulary (names compared exactly).
  void SetExtOption(const std::string& AName, const std::string& AValue);
  // SetExtOption for every line of an option text, in order.
  void SetExtOptions(const std::string& AText);

  // Raise an option error when the generic store refuses a name.
  bool HaltOnInvalidOption = true;

  // Direct setters for the fields of the option records.
  void SetForceFormat(const std::string& AFormat); // only when non-empty
  void SetStartTime(int64_t AStart);               // only when not INT64_MIN
  void SetProgramID(int AID);                      // only when >= 0
  void SetRecordingTime(int64_t ATime);            // only when not INT64_MIN
  void SetAudioVolume(int AVolume);                // only when >= 0
  void SetAudioChannels(int AChannels);            // only when > 0
  void SetAudioSampleRate(int ARate);              // only when > 0
  void SetMuxDelay(float ASeconds);                // only when > 0
  void SetMuxPreload(float ASeconds);              // only when > 0
  void SetAudioCodec(const std::string& AName);    // only when non-empty
  void SetVideoCodec(const std::string& AName);
  void SetSubtitleCodec(const std::string& AName);
  void SetPreset(const std::string& AOption, const std::string& AName); // apre/vpre/spre/fpre
  void SetFrameRate(const std::string& ARate);                          // only when non-empty
  void SetFrameSize(const std::string& ASize);
  void SetAspectRatio(const std::string& AAspect);
  void SetVideoFilters(const std::string& AFilters);
  void SetCodecTag(const std::string& AOption, const std::string& ATag); // atag/vtag/stag, non-empty
  void SetMetadata(const std::string& AKey, const std::string& AValue);
  void SetGenericOption(const std::string& AName, int64_t AValue); // result ignored
  // Applies the target ATarget ("vcd", "svcd", "dvd", "dv", "dv50") with the
  // norm "pal", "ntsc", "film" or anything else (detected), falling back to
  // ADefaultNorm when detection is undecided.
  void SetTarget(const std::string& ATarget, const std::string& ANorm, const std::string& ADefaultNorm);

  // Offers a generic option; on refusal raises the store's error when
  // HaltOnInvalidOption is set. Returns whether the store accepted it.
  bool OfferGeneric(const std::string& AName, const std::string& AValue);
  // The text of the last refusal of the generic store (per job).
  const std::string& LastOptionError() const { return FStore.LastError(); }
  TFFOptions& Store() { return FStore; }
  const TFFOptions& Store() const { return FStore; }
  IOptionHost* Host() const { return FHost; }
  void* LogSender() const { return FLogSender; }

  // Consumed by the job: after each input open (success or failure), after
  // each new output stream of a kind, and by each output open.
  void ConsumeInputOptions();
  void ConsumeStreamOptions(AVMediaType AType);
  void ConsumeOutputOptions();

  // --- option state -------------------------------------------------------
  std::string Flast_asked_format;
  int Fframe_width = 0;
  int Fframe_height = 0;
  float Fframe_aspect_ratio = 0;
  AVPixelFormat Fframe_pix_fmt = AV_PIX_FMT_NONE;
  AVSampleFormat Faudio_sample_fmt = AV_SAMPLE_FMT_NONE;
  // Indexed by AVMEDIA_TYPE_VIDEO, _AUDIO, _DATA, _SUBTITLE.
  int Fmax_frames[4] = {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
  AVRational Fframe_rate = {25, 0};
  float Fvideo_qscale = 0;
  std::optional<std::array<uint16_t, 64>> Fintra_matrix;
  std::optional<std::array<uint16_t, 64>> Finter_matrix;
  std::string Fvideo_rc_override_string;
  bool Fvideo_disable = false;
  int Fvideo_discard = 0;
  std::optional<std::string> Fvideo_codec_name;
  uint32_t Fvideo_codec_tag = 0;
  std::string Fvideo_language;
  bool Fsame_quality = false;
  bool Fdo_deinterlace = false;
  int Ftop_field_first = -1;
  int Fme_threshold = 0;
  int Fintra_dc_precision = 8;
  bool Floop_input = false;
  int Floop_output = -1;
  bool Fqp_hist = false;
  std::string Fvfilters;
  bool Fintra_only = false;
  int Faudio_sample_rate = 44100;
  int64_t Fchannel_layout = 0;
  float Faudio_qscale = -99999.0f;
  bool Faudio_disable = false;
  int Faudio_channels = 2;
  std::optional<std::string> Faudio_codec_name;
  uint32_t Faudio_codec_tag = 0;
  std::string Faudio_language;
  bool Fsubtitle_disable = false;
  std::optional<std::string> Fsubtitle_codec_name;
  std::string Fsubtitle_language;
  uint32_t Fsubtitle_codec_tag = 0;
  float Fmux_preload = 0.5f;
  float Fmux_max_delay = 0.7f;
  int64_t Frecording_time = INT64_MAX;
  int64_t Fstart_time = 0;
  int64_t Frecording_timestamp = 0; // seconds since 1970
  int64_t Finput_ts_offset = 0;
  // Pending global metadata of the next output file (a key is set once).
  std::vector<std::pair<std::string, std::string>> Fmetadata;
  bool Fdo_hex_dump = false;
  bool Fdo_pkt_dump = false;
  bool Fdo_psnr = false;
  int Fdo_pass = 0;
  std::string Fpass_logfilename_prefix;
  int Faudio_stream_copy = 0;
  int Fvideo_stream_copy = 0;
  int Fsubtitle_stream_copy = 0;
  int Fvideo_sync_method = -1;
  int Faudio_sync_method = 0;
  float Faudio_drift_threshold = 0.1f;
  bool Fcopy_ts = false;
  bool Fcopy_tb = false;
  bool Fopt_shortest = false;
  int Fvideo_global_header = 0;
  std::string Fvstats_filename;
  int Fopt_programid = 0;
  int Fcopy_initial_nonkeyframes = 0;
  bool Frate_emu = false;
  int Fvideo_channel = 0;
  std::string Fvideo_standard;
  int Faudio_volume = 256;
  bool Fexit_on_error = false;
  bool Fusing_vhook = false;
  int Fverbose = 1;
  int Fthread_count = 1;
  int64_t Flimit_filesize = 0;
  bool Fforce_fps = false;
  std::string Fforced_key_frames;
  float Fdts_delta_threshold = 10.0f;
  int Fsws_flags = SWS_BICUBIC;
  bool Finput_sync = false;
  // Bitstream filter chains ("name" or "name=args", 5.1 names), handed to
  // the next stream of their kind.
  std::vector<std::string> Fvideo_bitstream_filters;
  std::vector<std::string> Faudio_bitstream_filters;
  std::vector<std::string> Fsubtitle_bitstream_filters;
  std::vector<TAVStreamMap> Fstream_maps;
  std::vector<std::array<TAVMetaDataMap, 2>> Fmeta_data_maps; // [0] output side, [1] input side
  int Fmetadata_global_autocopy = 1;
  int Fmetadata_streams_autocopy = 1;
  int Fmetadata_chapters_autocopy = 1;
  std::vector<TAVChapterMap> Fchapter_maps;
  std::vector<int> Fstreamid_map;
  // Per-stream time stamp scales of the next input file (itsscale).
  std::vector<double> Fnext_input_ts_scale;

  int Fnb_stream_maps() const { return static_cast<int>(Fstream_maps.size()); }
  int Fnb_meta_data_maps() const { return static_cast<int>(Fmeta_data_maps.size()); }
  int Fnb_chapter_maps() const { return static_cast<int>(Fchapter_maps.size()); }
  int Fnb_streamid_map() const { return static_cast<int>(Fstreamid_map.size()); }

  // Used by the handlers of the vocabulary.
  void Log(TLogLevel ALevel, const std::string& AMsg) const;
  void SetCodecName(AVMediaType AType, const std::string& AName);
  void ApplyPreset(const std::string& AOption, const std::string& AValue);
  TTargetNorm DetectNorm(const std::string& ANorm, const std::string& ADefaultNorm);

private:
  IOptionHost* FHost;
  void* FLogSender;
  TFFOptions FStore;
  void ResetState();
};
