#include "decode/FFDecode.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "medialib/FFLoad.h"
#include "medialib/UnicodeProtocol.h"
#include "util/FFUtils.h"

// ---------------------------------------------------------------------------
// What the queries report, copied out of the format context.

struct TCustomDecoder::TStreamCopy {
  int Index = 0;
  int Id = 0;
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  AVRational TimeBase{0, 1};  // as stored
  AVRational ScaleBase{0, 1}; // the same, with a zero denominator repaired
  int64_t StartTime = AV_NOPTS_VALUE;
  int64_t Duration = AV_NOPTS_VALUE;
  AVRational StreamSAR{0, 1};
  AVRational CodecSAR{0, 1};
  AVRational AvgFrameRate{0, 0};
  AVRational RealFrameRate{0, 0};
  AVRational CodecTimeBase{0, 1};
  int Width = 0;
  int Height = 0;
  int Format = -1;
  int Channels = 0;
  int SampleRate = 0;
  int64_t BitRate = 0;
  std::string CodecName; // display name
  std::string CodecText; // the library's codec description
  TTagList Tags;
};

struct TCustomDecoder::TChapterCopy {
  int64_t Start = 0;
  int64_t End = 0;
  AVRational TimeBase{0, 1};
  TTagList Tags;
};

struct TCustomDecoder::TProgramCopy {
  int Id = 0;
  TTagList Tags;
  std::vector<unsigned> Streams;
};

struct TCustomDecoder::TFileCopy {
  std::string URL;
  std::string FormatName;
  std::string FormatLongName;
  int FormatFlags = 0;
  int64_t StartTime = AV_NOPTS_VALUE;
  int64_t Duration = AV_NOPTS_VALUE;
  int64_t BitRate = 0;
  TTagList Tags;
  std::vector<TStreamCopy> Streams;
  std::vector<TChapterCopy> Chapters;
  std::vector<TProgramCopy> Programs;
};

namespace {

const char* const cFileNotLoaded = "file not loaded.";

TTagList CopyTags(const AVDictionary* ADict) {
  TTagList tags;
  const AVDictionaryEntry* e = nullptr;
  while ((e = FF.av_dict_get(ADict, "", e, AV_DICT_IGNORE_SUFFIX)))
    tags.emplace_back(e->key ? e->key : "", e->value ? e->value : "");
  return tags;
}

// The library's metadata lookup: the first key equal without regard to case.
const std::string* FindTag(const TTagList& ATags, const char* AKey) {
  for (auto& t : ATags)
    if (strcasecmp(t.first.c_str(), AKey) == 0) return &t.second;
  return nullptr;
}

std::string TagValue(const TTagList& ATags, const char* AKey, const char* AFallbackKey = nullptr) {
  if (auto v = FindTag(ATags, AKey)) return *v;
  if (AFallbackKey)
    if (auto v = FindTag(ATags, AFallbackKey)) return *v;
  return std::string();
}

// The leading decimal number of a text ("3/12" -> 3, "2001-02-03" -> 2001),
// at most AMaxDigits digits; 0 when it does not start with a digit.
int LeadingNumber(const std::string& AText, size_t AMaxDigits) {
  size_t i = 0;
  while (i < AText.size() && std::isspace(static_cast<unsigned char>(AText[i]))) ++i;
  int v = 0;
  for (size_t n = 0; i < AText.size() && n < AMaxDigits && std::isdigit(static_cast<unsigned char>(AText[i]));
       ++i, ++n)
    v = v * 10 + (AText[i] - '0');
  return v;
}

AVRational RepairedTimeBase(AVRational ATimeBase) {
  if (ATimeBase.den == 0) ATimeBase.den = ATimeBase.num != 0 ? ATimeBase.num : 1;
  return ATimeBase;
}

int64_t ToMicroSeconds(int64_t AValue, AVRational ATimeBase) {
  return FF.av_rescale_q(AValue, ATimeBase, AVRational{1, AV_TIME_BASE});
}

// "%d.%.6d" of a time in µs; negative times keep their sign in front.
std::string SecondsText(int64_t AMicroSeconds) {
  const char* sign = AMicroSeconds < 0 ? "-" : "";
  uint64_t a =
      AMicroSeconds < 0 ? 0 - static_cast<uint64_t>(AMicroSeconds) : static_cast<uint64_t>(AMicroSeconds);
  return fmt::sprintf("%s%d.%.6d", sign, a / 1000000, a % 1000000);
}

std::string SizeText(int64_t ASize) {
  if (ASize <= 1024) return fmt::sprintf("%d Byte", ASize);
  if (ASize <= 1048576) return fmt::sprintf("%.2f KB", ASize / 1024.0);
  if (ASize <= 1073741824) return fmt::sprintf("%.2f MB", ASize / 1048576.0);
  return fmt::sprintf("%.2f GB", ASize / 1073741824.0);
}

// A frame rate or time base token of a stream line: "29.97 fps", "25 fps",
// "90k tbn".
std::string RateText(double ARate, const char* ALabel) {
  int64_t v = std::llround(ARate * 100);
  if (v % 100 != 0) return fmt::sprintf(", %3.2f %s", ARate, ALabel);
  if (v % 100000 != 0) return fmt::sprintf(", %1.0f %s", ARate, ALabel);
  return fmt::sprintf(", %1.0fk %s", ARate / 1000, ALabel);
}

void AddLine(std::string& AText, const std::string& ALine) {
  AText += ALine;
  AText += "\r\n";
}

void MetadataDump(std::string& AText, const TTagList& ATags, const char* AIndent) {
  if (ATags.empty() || (ATags.size() == 1 && ATags[0].first == "language")) return;
  AddLine(AText, fmt::sprintf("%sMetadata:", AIndent));
  for (auto& t : ATags) {
    if (t.first == "language") continue;
    AddLine(AText, fmt::sprintf("%s  %-16s: %s", AIndent, MetadataDisplayKey(t.first), t.second));
  }
}

std::string LocalTimeText(int64_t ASeconds) {
  time_t t = static_cast<time_t>(ASeconds);
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return std::string();
  return fmt::sprintf("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec);
}

struct TKeyName {
  const char* Key;
  const char* Display;
};

// Tag keys of the various containers and their common names.
const TKeyName cKeyNames[] = {
    {"LEAD_PERFORMER", "performer"},
    {"PART_NUMBER", "track"},
    {"ALBUMARTIST", "album_artist"},
    {"TRACKNUMBER", "track"},
    {"DISCNUMBER", "disc"},
    {"Author", "artist"},
    {"X-CreationTime", "date"},
    {"CreationTime", "date"},
    {"SourceFilename", "filename"},
    {"X-Language", "language"},
    {"X-Disposition", "disposition"},
    {"X-Replaces", "replaces"},
    {"X-Depends", "depends"},
    {"X-Uses", "uses"},
    {"X-UsesFont", "usesfont"},
    {"WM/AlbumArtist", "album_artist"},
    {"WM/AlbumTitle", "album"},
    {"Author", "artist"},
    {"Description", "comment"},
    {"WM/Composer", "composer"},
    {"WM/EncodedBy", "encoded_by"},
    {"WM/EncodingSettings", "encoder"},
    {"WM/Genre", "genre"},
    {"WM/Language", "language"},
    {"WM/OriginalFilename", "filename"},
    {"WM/PartOfSet", "disc"},
    {"WM/Publisher", "publisher"},
    {"WM/Tool", "encoder"},
    {"WM/TrackNumber", "track"},
    {"WM/Track", "track"},
    {"WM/MediaStationCallSign", "service_provider"},
    {"WM/MediaStationName", "service_name"},
    {"IART", "artist"},
    {"ICMT", "comment"},
    {"ICOP", "copyright"},
    {"ICRD", "date"},
    {"IGNR", "genre"},
    {"ILNG", "language"},
    {"INAM", "title"},
    {"IPRD", "album"},
    {"IPRT", "track"},
    {"ISFT", "encoder"},
    {"ITCH", "encoded_by"},
    {"strn", "title"},
    {"TALB", "album"},
    {"TCOM", "composer"},
    {"TCON", "genre"},
    {"TCOP", "copyright"},
    {"TENC", "encoded_by"},
    {"TIT2", "title"},
    {"TLAN", "language"},
    {"TPE1", "artist"},
    {"TPE2", "album_artist"},
    {"TPE3", "performer"},
    {"TPOS", "disc"},
    {"TPUB", "publisher"},
    {"TRCK", "track"},
    {"TSSE", "encoder"},
    {"TDRL", "date"},
    {"TDRC", "date"},
    {"TDEN", "creation_time"},
    {"TSOA", "album-sort"},
    {"TSOP", "artist-sort"},
    {"TSOT", "title-sort"},
    {"TAL", "album"},
    {"TCO", "genre"},
    {"TT2", "title"},
    {"TEN", "encoded_by"},
    {"TP1", "artist"},
    {"TP2", "album_artist"},
    {"TP3", "performer"},
    {"TRK", "track"},
};
static_assert(sizeof(cKeyNames) / sizeof(cKeyNames[0]) == 72);

} // namespace

std::string MetadataDisplayKey(const std::string& AKey) {
  for (auto& k : cKeyNames)
    if (AKey == k.Key) return k.Display;
  return AKey;
}

// ---------------------------------------------------------------------------

TCustomDecoder::TCustomDecoder(TFFBaseComponent* AOwner) : TFFBaseComponent(AOwner) {
  ScanStreams();
}

TCustomDecoder::~TCustomDecoder() {
  // Derived classes close their own state in their destructors first.
  CloseContext();
  FCopy.reset();
  for (; FLibLoads > 0; --FLibLoads) FFLoader().Unload(ProbeLibraries);
}

bool TCustomDecoder::AVLibLoaded() const {
  return FFLoader().Loaded(ProbeLibraries);
}

bool TCustomDecoder::LoadAVLib(const std::string& APath) {
  FFLoader().SetLibraryPath(APath);
  if (!FFLoader().Load(ProbeLibraries)) {
    SetLastErrMsg(FFLoader().LastErrMsg());
    return false;
  }
  ++FLibLoads;
  return true;
}

void TCustomDecoder::UnloadAVLib() {
  if (FLibLoads <= 0) return;
  // An open file must be closed while the libraries are still there.
  if (FFLoader().LoadCount(avFormat) <= 1 || FFLoader().LoadCount(avCodec) <= 1 ||
      FFLoader().LoadCount(avUtil) <= 1)
    CloseFile();
  --FLibLoads;
  FFLoader().Unload(ProbeLibraries);
}

void TCustomDecoder::CheckLibraries() const {
  static const std::pair<TLibrary, const char*> libs[] = {{avCodec, "LibAVCodec not loaded."},
                                                          {avFormat, "LibAVFormat not loaded."},
                                                          {avUtil, "LibAVUtil not loaded."},
                                                          {swScale, "LibSwScale not loaded."}};
  for (auto& l : libs)
    if (!FFLoader().Loaded(l.first)) throw std::runtime_error(l.second);
}

void TCustomDecoder::ReportError(TLogLevel ALevel, const std::string& AText) {
  SetLastErrMsg(AText);
  Logger().Log(this, ALevel, AText);
}

bool TCustomDecoder::LoadFile(const std::string& AFileName, const std::string& AFormatName) {
  CheckLibraries();
  CloseFile();

  const AVInputFormat* format = nullptr;
  if (!AFormatName.empty()) {
    format = FF.av_find_input_format(AFormatName.c_str());
    if (!format) {
      SetLastErrMsgF("Unknown input format: %s", AFormatName);
      return false;
    }
  }

  AVFormatContext* ctx = nullptr;
  // On failure the context is already freed and ctx is null.
  int ret = FFOpenInput(&ctx, ToLibraryName(AFileName), format, nullptr);
  if (ret < 0) {
    ReportError(llError, MediaErrorText(AFileName, ret));
    CloseFile();
    return false;
  }
  FFileHandle = ctx;
  FOwnHandle = true;
  // Reads must not block (there is no option for this flag).
  ctx->flags |= AVFMT_FLAG_NONBLOCK;

  ret = FF.avformat_find_stream_info(ctx, nullptr);
  if (ret < 0) {
    SetLastErrMsgF("%s: could not find codec parameters", AFileName);
    CloseFile();
    return false;
  }
  ScanStreams();
  FForceFormat = AFormatName;
  return true;
}

void TCustomDecoder::CloseContext() {
  // Without the library (unloaded by its last user) the context cannot be
  // closed any more; calling through the empty table would crash.
  if (FFileHandle && FOwnHandle && FF.avformat_close_input) FFCloseInput(&FFileHandle);
  FFileHandle = nullptr;
  FOwnHandle = false;
}

void TCustomDecoder::CloseFile() {
  FForceFormat.clear();
  CloseContext();
  ScanStreams();
}

void TCustomDecoder::SetFileHandle(AVFormatContext* AValue) {
  if (AValue == FFileHandle) return;
  if (AValue || FOwnHandle) CheckLibraries();
  CloseFile();
  FOwnHandle = false;
  FFileHandle = AValue;
  ScanStreams();
}

void TCustomDecoder::ScanStreams() {
  FFileSize = -1;
  FStreamCount = FProgramCount = -1;
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
  FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
  FCopy.reset();
  AVFormatContext* ctx = FFileHandle;
  if (!ctx) return;

  auto copy = std::make_unique<TFileCopy>();
  copy->URL = ctx->url ? ctx->url : "";
  if (ctx->iformat) {
    copy->FormatName = ctx->iformat->name ? ctx->iformat->name : "";
    copy->FormatLongName = ctx->iformat->long_name ? ctx->iformat->long_name : "";
    copy->FormatFlags = ctx->iformat->flags;
  }
  copy->StartTime = ctx->start_time;
  copy->Duration = ctx->duration;
  copy->BitRate = ctx->bit_rate;
  copy->Tags = CopyTags(ctx->metadata);

  AVCodecContext* codec = FF.avcodec_alloc_context3(nullptr);
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    const AVStream* st = ctx->streams[i];
    const AVCodecParameters* par = st->codecpar;
    TStreamCopy s;
    s.Index = static_cast<int>(i);
    s.Id = st->id;
    s.Type = par->codec_type;
    s.TimeBase = st->time_base;
    s.ScaleBase = RepairedTimeBase(st->time_base);
    s.StartTime = st->start_time;
    s.Duration = st->duration;
    s.StreamSAR = st->sample_aspect_ratio;
    s.CodecSAR = par->sample_aspect_ratio;
    s.AvgFrameRate = st->avg_frame_rate;
    s.RealFrameRate = st->r_frame_rate;
    s.Width = par->width;
    s.Height = par->height;
    s.Format = par->format;
    s.Channels = par->ch_layout.nb_channels;
    s.SampleRate = par->sample_rate;
    s.BitRate = par->bit_rate;
    s.Tags = CopyTags(st->metadata);
    if (codec && FF.avcodec_parameters_to_context(codec, par) >= 0) {
      s.CodecName = CodecDisplayName(codec, false);
      char buf[256] = {0};
      FF.avcodec_string(buf, sizeof buf, codec, 0);
      s.CodecText = buf;
      s.CodecTimeBase = codec->time_base;
    }
    copy->Streams.push_back(std::move(s));
  }
  FF.avcodec_free_context(&codec);

  for (unsigned i = 0; i < ctx->nb_chapters; ++i) {
    const AVChapter* ch = ctx->chapters[i];
    copy->Chapters.push_back(TChapterCopy{ch->start, ch->end, ch->time_base, CopyTags(ch->metadata)});
  }
  for (unsigned i = 0; i < ctx->nb_programs; ++i) {
    const AVProgram* p = ctx->programs[i];
    TProgramCopy pc;
    pc.Id = p->id;
    pc.Tags = CopyTags(p->metadata);
    if (p->stream_index) pc.Streams.assign(p->stream_index, p->stream_index + p->nb_stream_indexes);
    copy->Programs.push_back(std::move(pc));
  }

  // The size: the byte stream's own, else the file on disk, else what the
  // byte stream says (0 or less).
  int64_t size = ctx->pb ? FF.avio_size(ctx->pb) : 0;
  if (size <= 0) {
    std::string path = FromLibraryName(copy->URL);
    struct stat sb {};
    if (!path.empty() && stat(path.c_str(), &sb) == 0)
      size = S_ISREG(sb.st_mode) ? static_cast<int64_t>(sb.st_size) : -1;
  }
  FFileSize = size;

  FStreamCount = static_cast<int>(copy->Streams.size());
  FProgramCount = static_cast<int>(copy->Programs.size());
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
  for (auto& s : copy->Streams) {
    if (s.Type == AVMEDIA_TYPE_VIDEO) {
      ++FVideoStreamCount;
      if (FFirstVideoStreamIndex < 0) FFirstVideoStreamIndex = s.Index;
    } else if (s.Type == AVMEDIA_TYPE_AUDIO) {
      ++FAudioStreamCount;
      if (FFirstAudioStreamIndex < 0) FFirstAudioStreamIndex = s.Index;
    } else if (s.Type == AVMEDIA_TYPE_SUBTITLE) {
      ++FSubtitleStreamCount;
      if (FFirstSubtitleStreamIndex < 0) FFirstSubtitleStreamIndex = s.Index;
    }
  }
  FCopy = std::move(copy);
}

// ---------------------------------------------------------------------------
// Queries

std::string TCustomDecoder::FileName() {
  if (!FCopy) {
    ReportError(llWarning, cFileNotLoaded);
    return std::string();
  }
  return FromLibraryName(FCopy->URL);
}

std::string TCustomDecoder::FormatName() {
  if (!FCopy) {
    ReportError(llWarning, cFileNotLoaded);
    return std::string();
  }
  return FCopy->FormatName;
}

std::string TCustomDecoder::FormatLongName() {
  if (!FCopy) {
    ReportError(llWarning, cFileNotLoaded);
    return std::string();
  }
  return FCopy->FormatLongName;
}

bool TCustomDecoder::IsStreamOfType(int AStreamIndex, AVMediaType AType) {
  if (!FCopy) {
    ReportError(llWarning, cFileNotLoaded);
    return false;
  }
  if (AStreamIndex < 0 || AStreamIndex >= FStreamCount) {
    ReportErrorF(llError, "stream index #%d is invalid.", AStreamIndex);
    return false;
  }
  return FCopy->Streams[AStreamIndex].Type == AType;
}

bool TCustomDecoder::IsAudioStream(int AStreamIndex) {
  return IsStreamOfType(AStreamIndex, AVMEDIA_TYPE_AUDIO);
}
bool TCustomDecoder::IsVideoStream(int AStreamIndex) {
  return IsStreamOfType(AStreamIndex, AVMEDIA_TYPE_VIDEO);
}
bool TCustomDecoder::IsSubtitleStream(int AStreamIndex) {
  return IsStreamOfType(AStreamIndex, AVMEDIA_TYPE_SUBTITLE);
}

const TCustomDecoder::TStreamCopy* TCustomDecoder::StreamForInfo(int AStreamIndex, AVMediaType AType,
                                                                 int AFirst, const char* AKind) {
  if (!FCopy) {
    ReportError(llWarning, cFileNotLoaded);
    return nullptr;
  }
  if (AStreamIndex < 0) {
    AStreamIndex = AFirst;
    if (AStreamIndex < 0) {
      ReportErrorF(llError, "no %s stream.", AKind);
      return nullptr;
    }
  } else if (AStreamIndex >= FStreamCount) {
    ReportErrorF(llError, "stream index #%d is invalid.", AStreamIndex);
    return nullptr;
  }
  const TStreamCopy& s = FCopy->Streams[AStreamIndex];
  if (s.Type != AType) {
    ReportErrorF(llError, "stream #%d is not %s stream.", AStreamIndex, AKind);
    return nullptr;
  }
  return &s;
}

namespace {
template <typename TInfo, typename TStream> void FillTimes(TInfo& AInfo, const TStream& AStream) {
  AInfo.StartTime = AStream.StartTime;
  if (AStream.StartTime != AV_NOPTS_VALUE)
    AInfo.StartTimeScaled = ToMicroSeconds(AStream.StartTime, AStream.ScaleBase);
  AInfo.Duration = AStream.Duration;
  if (AStream.Duration != AV_NOPTS_VALUE)
    AInfo.DurationScaled = ToMicroSeconds(AStream.Duration, AStream.ScaleBase);
  AInfo.BitRate = AStream.BitRate;
}
} // namespace

bool TCustomDecoder::GetAudioStreamInfo(int AStreamIndex, TAudioStreamInfo& AInfo) {
  AInfo = TAudioStreamInfo();
  auto s = StreamForInfo(AStreamIndex, AVMEDIA_TYPE_AUDIO, FFirstAudioStreamIndex, "audio");
  if (!s) return false;
  AInfo.Language = TagValue(s->Tags, "language");
  AInfo.CodecName = s->CodecName;
  FillTimes(AInfo, *s);
  AInfo.Channels = s->Channels;
  AInfo.SampleRate = s->SampleRate;
  AInfo.SampleFormat = static_cast<AVSampleFormat>(s->Format);
  return true;
}

bool TCustomDecoder::GetVideoStreamInfo(int AStreamIndex, TVideoStreamInfo& AInfo) {
  AInfo = TVideoStreamInfo();
  auto s = StreamForInfo(AStreamIndex, AVMEDIA_TYPE_VIDEO, FFirstVideoStreamIndex, "video");
  if (!s) return false;
  AInfo.Language = TagValue(s->Tags, "language");
  AInfo.CodecName = s->CodecName;
  FillTimes(AInfo, *s);
  AInfo.Height = s->Height;
  AInfo.Width = s->Width;
  // Unset or undefined ratios (0:1, n:0, no height) read 0.
  if (s->CodecSAR.num == 0 || s->CodecSAR.den == 0 || s->Height == 0)
    AInfo.AspectRatio = 0;
  else
    AInfo.AspectRatio =
        static_cast<float>(s->Width * (static_cast<double>(s->CodecSAR.num) / s->CodecSAR.den) / s->Height);
  AInfo.PixFmt = static_cast<AVPixelFormat>(s->Format);
  AInfo.FrameRate =
      (s->AvgFrameRate.num != 0 && s->AvgFrameRate.den != 0) ? s->AvgFrameRate : s->RealFrameRate;
  return true;
}

bool TCustomDecoder::GetSubtitleStreamInfo(int AStreamIndex, TSubtitleStreamInfo& AInfo) {
  AInfo = TSubtitleStreamInfo();
  auto s = StreamForInfo(AStreamIndex, AVMEDIA_TYPE_SUBTITLE, FFirstSubtitleStreamIndex, "subtitle");
  if (!s) return false;
  AInfo.Language = TagValue(s->Tags, "language");
  AInfo.CodecName = s->CodecName;
  return true;
}

TAudioStreamInfo TCustomDecoder::FirstAudioStreamInfo() {
  TAudioStreamInfo info;
  GetAudioStreamInfo(-1, info);
  return info;
}

TVideoStreamInfo TCustomDecoder::FirstVideoStreamInfo() {
  TVideoStreamInfo info;
  GetVideoStreamInfo(-1, info);
  return info;
}

TSubtitleStreamInfo TCustomDecoder::FirstSubtitleStreamInfo() {
  TSubtitleStreamInfo info;
  GetSubtitleStreamInfo(-1, info);
  return info;
}

TFileStreamInfo TCustomDecoder::FileStreamInfo() {
  TFileStreamInfo info;
  if (!FCopy) {
    ReportError(llWarning, cFileNotLoaded);
    return info;
  }
  info.StartTime = FCopy->StartTime != AV_NOPTS_VALUE ? FCopy->StartTime : -1;
  info.Duration = FCopy->Duration != AV_NOPTS_VALUE ? FCopy->Duration : -1;
  info.BitRate = FCopy->BitRate;

  // Ogg keeps its comments on the streams: without container tags the first
  // audio stream's tags stand for the file's.
  const TTagList* tags = &FCopy->Tags;
  if (tags->empty() && FFirstAudioStreamIndex >= 0) tags = &FCopy->Streams[FFirstAudioStreamIndex].Tags;

  info.TimeStamp = 0;
  if (auto ct = FindTag(*tags, "creation_time")) {
    int64_t us = 0;
    if (FF.av_parse_time(&us, ct->c_str(), 0) == 0) info.TimeStamp = us / 1000000;
  }
  const std::string* date = FindTag(*tags, "date");
  if (!date) date = FindTag(*tags, "year");
  info.Year = date ? LeadingNumber(*date, 4) : 0;
  const std::string* track = FindTag(*tags, "track");
  info.Track = track ? LeadingNumber(*track, 9) : 0;

  info.Title = TagValue(*tags, "title");
  info.Author = TagValue(*tags, "author", "artist");
  info.Copyright = TagValue(*tags, "copyright");
  info.Comment = TagValue(*tags, "comment");
  info.Album = TagValue(*tags, "album");
  info.Genre = TagValue(*tags, "genre");
  return info;
}

// ---------------------------------------------------------------------------
// The information text

std::string TCustomDecoder::StreamLine(const TStreamCopy& AStream) const {
  std::string line = fmt::sprintf("Stream #%d", AStream.Index);
  if (FCopy->FormatFlags & AVFMT_SHOW_IDS) line += fmt::sprintf("[0x%x]", AStream.Id);
  if (auto lang = FindTag(AStream.Tags, "language")) line += fmt::sprintf("(%s)", *lang);
  int64_t g = FF.av_gcd(AStream.TimeBase.num, AStream.TimeBase.den);
  if (g == 0) g = 1;
  line += fmt::sprintf(", %d/%d", AStream.TimeBase.num / g, AStream.TimeBase.den / g);
  line += ": " + AStream.CodecText;

  if (AStream.StreamSAR.num != 0 && av_cmp_q(AStream.StreamSAR, AStream.CodecSAR) != 0) {
    int dn = 0, dd = 0;
    FF.av_reduce(&dn, &dd, static_cast<int64_t>(AStream.Width) * AStream.StreamSAR.num,
                 static_cast<int64_t>(AStream.Height) * AStream.StreamSAR.den, 1024 * 1024);
    line =
        fmt::sprintf("%s, PAR %d:%d DAR %d:%d", line, AStream.StreamSAR.num, AStream.StreamSAR.den, dn, dd);
  }

  if (AStream.Type == AVMEDIA_TYPE_VIDEO) {
    auto both = [](AVRational r) { return r.num != 0 && r.den != 0; };
    if (both(AStream.AvgFrameRate)) line += RateText(av_q2d(AStream.AvgFrameRate), "fps");
    if (both(AStream.RealFrameRate)) line += RateText(av_q2d(AStream.RealFrameRate), "tbr");
    if (both(AStream.TimeBase)) line += RateText(1 / av_q2d(AStream.TimeBase), "tbn");
    if (both(AStream.CodecTimeBase)) line += RateText(1 / av_q2d(AStream.CodecTimeBase), "tbc");
  }

  if (AStream.StartTime != AV_NOPTS_VALUE)
    line += ", StartTime: " + SecondsText(ToMicroSeconds(AStream.StartTime, AStream.ScaleBase));
  if (AStream.Duration == AV_NOPTS_VALUE)
    line += ", Duration: N/A";
  else
    line += ", Duration: " + FormatMediaTime(ToMicroSeconds(AStream.Duration, AStream.ScaleBase));
  return line;
}

std::string TCustomDecoder::FileInfoText() {
  if (!FCopy) {
    ReportError(llWarning, cFileNotLoaded);
    return std::string();
  }
  std::string text;
  AddLine(text, fmt::sprintf("File Name: %s", FileName()));
  AddLine(text, fmt::sprintf("Format Name: %s", FCopy->FormatName));
  if (!FCopy->FormatLongName.empty())
    AddLine(text, fmt::sprintf("Format Long Name: %s", FCopy->FormatLongName));
  AddLine(text, fmt::sprintf("File Size: %s", SizeText(FFileSize)));

  TFileStreamInfo info = FileStreamInfo();
  if (FCopy->Duration == AV_NOPTS_VALUE || FCopy->Duration < 0)
    AddLine(text, "Duration: N/A");
  else
    AddLine(text, fmt::sprintf("Duration: %s", FormatMediaTime(FCopy->Duration)));
  if (FCopy->StartTime != AV_NOPTS_VALUE && FCopy->StartTime >= 0)
    AddLine(text, "StartTime: " + SecondsText(FCopy->StartTime));
  if (info.BitRate < 1)
    AddLine(text, "Bit Rate: N/A");
  else
    AddLine(text, fmt::sprintf("Bit Rate: %d kb/s", info.BitRate / 1000));
  if (info.TimeStamp > 0) AddLine(text, fmt::sprintf("Time Stamp: %s", LocalTimeText(info.TimeStamp)));
  MetadataDump(text, FCopy->Tags, "");

  for (size_t i = 0; i < FCopy->Chapters.size(); ++i) {
    const TChapterCopy& ch = FCopy->Chapters[i];
    double unit = ch.TimeBase.den != 0 ? static_cast<double>(ch.TimeBase.num) / ch.TimeBase.den : 0.0;
    AddLine(text, fmt::sprintf("Chapter #%d: start %.2f, end %.2f", i, ch.Start * unit, ch.End * unit));
    MetadataDump(text, ch.Tags, "  ");
  }

  std::vector<bool> shown(FCopy->Streams.size(), false);
  for (auto& p : FCopy->Programs) {
    // Current demuxers name the service "service_provider"/"service_name".
    auto tag = [&](const char* AKey, const char* AFallbackKey) {
      const std::string* v = FindTag(p.Tags, AKey);
      if (!v) v = FindTag(p.Tags, AFallbackKey);
      return v ? *v : std::string("N/A");
    };
    std::string provider = tag("provider_name", "service_provider");
    std::string name = tag("name", "service_name");
    AddLine(text, fmt::sprintf("Program %d %s@%s", p.Id, provider, name));
    MetadataDump(text, p.Tags, "  ");
    for (unsigned idx : p.Streams) {
      if (idx >= FCopy->Streams.size()) continue;
      AddLine(text, StreamLine(FCopy->Streams[idx]));
      MetadataDump(text, FCopy->Streams[idx].Tags, "  ");
      shown[idx] = true;
    }
  }
  for (auto& s : FCopy->Streams) {
    if (shown[s.Index]) continue;
    AddLine(text, StreamLine(s));
    MetadataDump(text, s.Tags, "  ");
  }
  return text;
}

// ---------------------------------------------------------------------------

TFFDecoder::TFFDecoder(TFFBaseComponent* AOwner) : TCustomDecoder(AOwner) {}

TFFDecoder::~TFFDecoder() {
  CloseFile();
}
