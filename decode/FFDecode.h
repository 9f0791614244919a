// The media probe and decoder.
//
// TCustomDecoder opens one media file (or adopts a format context that another
// component opened), and reports its container, streams, programs, chapters
// and tags as records and as a multi-line information text. TFFDecoder adds
// decoding on a file it opened itself.
//
// Everything a query reports is copied out of the format context when the file
// is opened or adopted (ScanStreams). Queries never touch the context again,
// so a context adopted from a player stays untouched while the player's read
// thread works on it (demuxers may add streams while they read). The probe has
// no lock: use one instance from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log/FFLog.h"
#include "util/FFApi.h"
#include "util/FFBaseComponent.h"

// Before a record is filled, its strings are empty and every number is -1, so
// a failed query leaves exactly that.
struct TFileStreamInfo {
  int64_t StartTime = -1; // µs, -1 when unset
  int64_t Duration = -1;  // µs, -1 when unset
  int64_t BitRate = -1;   // bit/s, 0 when unknown
  int64_t TimeStamp = -1; // creation time, seconds since 1970-01-01 UTC; 0 when absent
  int Year = -1;          // 0 when absent
  int Track = -1;         // 0 when absent
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

struct TAudioStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;       // stream units, may be AV_NOPTS_VALUE
  int64_t StartTimeScaled = -1; // µs, -1 when unset
  int64_t Duration = -1;        // stream units, may be AV_NOPTS_VALUE
  int64_t DurationScaled = -1;  // µs, -1 when unset
  int64_t BitRate = -1;
  int Channels = -1;
  int SampleRate = -1;
  AVSampleFormat SampleFormat = static_cast<AVSampleFormat>(-1);
};

struct TVideoStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;
  int64_t StartTimeScaled = -1;
  int64_t Duration = -1;
  int64_t DurationScaled = -1;
  int64_t BitRate = -1;
  int Height = -1;
  int Width = -1;
  float AspectRatio = -1; // display aspect ratio; 0 when the sample aspect ratio is not set
  AVPixelFormat PixFmt = static_cast<AVPixelFormat>(-1);
  AVRational FrameRate{-1, -1};
};

struct TSubtitleStreamInfo {
  std::string Language;
  std::string CodecName;
};

using TTagList = std::vector<std::pair<std::string, std::string>>;

// The display key of a tag key in the information text ("INAM" -> "title");
// keys without a translation come back as they are. Exact, case-sensitive.
std::string MetadataDisplayKey(const std::string& AKey);

class TCustomDecoder : public TFFBaseComponent {
public:
  explicit TCustomDecoder(TFFBaseComponent* AOwner = nullptr);
  ~TCustomDecoder() override;

  // The process-wide loader has the probe's library set loaded.
  bool AVLibLoaded() const;
  // Sets the loader's library path and loads the probe's set; false with
  // the loader's text in LastErrMsg. Every successful load is undone by
  // UnloadAVLib or by the destructor.
  bool LoadAVLib(const std::string& APath);
  void UnloadAVLib();

  // Opens and probes AFileName (UTF-8), forcing the input format AFormatName
  // when it is not empty. Throws std::runtime_error when a library is missing.
  bool LoadFile(const std::string& AFileName, const std::string& AFormatName = std::string());
  virtual void CloseFile();

  bool IsAudioStream(int AStreamIndex);
  bool IsVideoStream(int AStreamIndex);
  bool IsSubtitleStream(int AStreamIndex);

  // A negative index means the first stream of that kind. False (and a record
  // of -1 values) on failure.
  bool GetAudioStreamInfo(int AStreamIndex, TAudioStreamInfo& AInfo);
  bool GetVideoStreamInfo(int AStreamIndex, TVideoStreamInfo& AInfo);
  bool GetSubtitleStreamInfo(int AStreamIndex, TSubtitleStreamInfo& AInfo);

  AVFormatContext* FileHandle() const { return FFileHandle; }
  // Adopts a context opened by another component, which stays its owner: it
  // must keep the context open until it assigns null (or calls CloseFile),
  // and must call this at a moment where no other thread changes the context.
  // Throws std::runtime_error when a library is missing.
  virtual void SetFileHandle(AVFormatContext* AValue);

  std::string FileName();
  int64_t FileSize() const { return FFileSize; }
  const std::string& ForceFormat() const { return FForceFormat; }
  std::string FormatName();
  std::string FormatLongName();
  int StreamCount() const { return FStreamCount; }
  int ProgramCount() const { return FProgramCount; }
  int AudioStreamCount() const { return FAudioStreamCount; }
  int VideoStreamCount() const { return FVideoStreamCount; }
  int SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
  int FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
  int FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }

  TFileStreamInfo FileStreamInfo();
  TAudioStreamInfo FirstAudioStreamInfo();
  TVideoStreamInfo FirstVideoStreamInfo();
  TSubtitleStreamInfo FirstSubtitleStreamInfo();
  // Lines ended by CR LF; empty without a file.
  std::string FileInfoText();

protected:
  // Recomputes size, counts and first indices and copies everything the
  // queries report out of the current context.
  virtual void ScanStreams();
  void ReportError(TLogLevel ALevel, const std::string& AText);
  template <typename... Args> void ReportErrorF(TLogLevel ALevel, const char* AFormat, const Args&... AArgs) {
    ReportError(ALevel, fmt::sprintf(AFormat, AArgs...));
  }
  // Raises when one of the libraries the probe calls is not loaded.
  void CheckLibraries() const;
  bool OwnHandle() const { return FOwnHandle; }

  AVFormatContext* FFileHandle = nullptr;
  bool FOwnHandle = false;
  std::string FForceFormat;
  int64_t FFileSize = -1;
  int FStreamCount = -1;
  int FProgramCount = -1;
  int FAudioStreamCount = -1, FVideoStreamCount = -1, FSubtitleStreamCount = -1;
  int FFirstAudioStreamIndex = -1, FFirstVideoStreamIndex = -1, FFirstSubtitleStreamIndex = -1;

private:
  struct TStreamCopy;
  struct TChapterCopy;
  struct TProgramCopy;
  struct TFileCopy;
  std::unique_ptr<TFileCopy> FCopy;
  int FLibLoads = 0;

  void CloseContext();
  const TStreamCopy* StreamForInfo(int AStreamIndex, AVMediaType AType, int AFirst, const char* AKind);
  bool IsStreamOfType(int AStreamIndex, AVMediaType AType);
  std::string StreamLine(const TStreamCopy& AStream) const;
};

// The probe with decoding on files it opened itself.
class TFFDecoder : public TCustomDecoder {
public:
  explicit TFFDecoder(TFFBaseComponent* AOwner = nullptr);
  ~TFFDecoder() override;
};
