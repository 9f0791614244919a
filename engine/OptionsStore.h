// The generic option store of a job.
//
// Every option name the job's own vocabulary does not know is offered here.
// The store keeps one library context per kind (five codec contexts in the
// library's media-type order, one format context, one scaler and one
// resampler context) holding the library defaults; an accepted option is set
// on the matching context and its name remembered. When a real context is
// created later, Apply copies the remembered options onto it, filtered by
// the option flags of that use (encoding/decoding, audio/video/...).
// Options that belong to one codec or muxer only (private options) are
// remembered with their text and set on a real context that knows them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "util/FFApi.h"

class TFFOptions {
public:
  TFFOptions() = default;
  ~TFFOptions();
  TFFOptions(const TFFOptions&) = delete;
  TFFOptions& operator=(const TFFOptions&) = delete;

  // Frees every context and forgets the accepted options; then, when the
  // libraries are loaded, creates the contexts again with library defaults
  // (the scaler context for a 16x16 picture with ASwsFlags).
  void Reset(int ASwsFlags);
  void Free();
  bool Ready() const { return avcodec_opts[0] != nullptr; }

  // Sets a generic option. False with LastError() when no context knows the
  // name or the value is refused.
  bool Offer(const std::string& AName, const std::string& AValue);

  // Copies the accepted options onto a real object: those found in AStoreCtx
  // whose flags contain all of AFlags; the others onto APrivate (a codec's
  // or muxer's private options, may be null) when it knows them.
  void Apply(void* ATarget, void* AStoreCtx, void* APrivate, int AFlags) const;
  // Apply for a codec context with the store context of its media type.
  void ApplyCodec(AVCodecContext* ATarget, AVMediaType AType, int AFlags) const;
  // Apply for a format context (its muxer's private options included).
  void ApplyFormat(AVFormatContext* ATarget, int AFlags) const;
  void ApplyScaler(SwsContext* ATarget) const;
  void ApplyResampler(SwrContext* ATarget) const;

  // The text of the last refusal of this store.
  const std::string& LastError() const { return FLastError; }

  // The accepted names in order, with their text for private options
  // (nullopt when the value lives in a store context).
  std::vector<std::string> opt_names;
  std::vector<std::optional<std::string>> opt_values;
  int opt_name_count() const { return static_cast<int>(opt_names.size()); }

  AVCodecContext* avcodec_opts[AVMEDIA_TYPE_NB] = {};
  AVFormatContext* avformat_opts = nullptr;
  SwsContext* sws_opts = nullptr;
  SwrContext* swr_opts = nullptr;

  // Sender of the store's log lines (the job).
  void* LogSender = nullptr;

private:
  std::string FLastError;
  void Refuse(std::string AText);
  bool KnownAsPrivate(const std::string& AName) const;
};
