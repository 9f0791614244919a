#include "util/FFUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>

#include <sys/stat.h>

#include <fmt/printf.h>

namespace {

std::string Trim(std::string s) {
  // Blanks and control characters, as the trimming of codec names expects.
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// ---------------------------------------------------------------------------
// Error texts

struct TErrorRow {
  int Code;
  const char* Text;
};

// The libraries' own tagged codes.
constexpr TErrorRow TagRows[] = {
    {AVERROR_MUXER_NOT_FOUND, "Muxer not found"},
    {AVERROR_STREAM_NOT_FOUND, "Stream not found"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Protocol not found"},
    {AVERROR_DEMUXER_NOT_FOUND, "Demuxer not found"},
    {AVERROR_FILTER_NOT_FOUND, "Filter not found"},
    {AVERROR_BSF_NOT_FOUND, "Bitstream filter not found"},
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
    {AVERROR_ENCODER_NOT_FOUND, "Encoder not found"},
    {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
};

// Tags the current libraries return besides those above. Their text is asked
// from the library when it is loaded; these rows serve otherwise.
constexpr TErrorRow CurrentTagRows[] = {
    {AVERROR_BUG, "Internal bug, should not have happened"},
    {AVERROR_BUG2, "Internal bug, should not have happened"},
    {AVERROR_BUFFER_TOO_SMALL, "Buffer too small"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_EXIT, "Immediate exit requested"},
    {AVERROR_EXTERNAL, "Generic error in an external library"},
    {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    {AVERROR_OPTION_NOT_FOUND, "Option not found"},
    {AVERROR_UNKNOWN, "Unknown error occurred"},
    {AVERROR_EXPERIMENTAL, "Experimental feature"},
    {AVERROR_INPUT_CHANGED, "Input changed"},
    {AVERROR_OUTPUT_CHANGED, "Output changed"},
    {AVERROR_HTTP_BAD_REQUEST, "Server returned 400 Bad Request"},
    {AVERROR_HTTP_UNAUTHORIZED, "Server returned 401 Unauthorized (authorization failed)"},
    {AVERROR_HTTP_FORBIDDEN, "Server returned 403 Forbidden (access denied)"},
    {AVERROR_HTTP_NOT_FOUND, "Server returned 404 Not Found"},
    {AVERROR_HTTP_OTHER_4XX, "Server returned 4XX Client Error, but not one of 40{0,1,3,4}"},
    {AVERROR_HTTP_SERVER_ERROR, "Server returned 5XX Server Error reply"},
};

// Socket error codes with names of their own.
constexpr TErrorRow SocketRows[] = {
    {-11004, "WSANO_DATA"},
    {-11003, "WSANO_RECOVERY"},
    {-11002, "WSATRY_AGAIN"},
    {-11001, "WSAHOST_NOT_FOUND"},
    {-10112, "WSAEREFUSED"},
    {-10111, "WSA_E_CANCELLED"},
    {-10110, "WSA_E_NO_MORE"},
    {-10109, "WSATYPE_NOT_FOUND"},
    {-10108, "WSASERVICE_NOT_FOUND"},
    {-10107, "WSASYSCALLFAILURE"},
    {-10106, "WSAEPROVIDERFAILEDINIT"},
    {-10105, "WSAEINVALIDPROVIDER"},
    {-10104, "WSAEINVALIDPROCTABLE"},
    {-10103, "WSAECANCELLED"},
    {-10102, "WSAENOMORE"},
    {-10101, "WSAEDISCON"},
    {-10093, "WSANOTINITIALISED"},
    {-10092, "WSAVERNOTSUPPORTED"},
    {-10091, "WSASYSNOTREADY"},
    {-10067, "WSAEPROCLIM"},
    {-10035, "WSAEWOULDBLOCK"},
};

// Negated C error numbers; the second code is the socket code that shares
// the text (0 for none).
struct TErrnoRow {
  int Code;
  int SocketCode;
  const char* Text;
};

constexpr TErrnoRow ErrnoRows[] = {
    {-1, 0, "Operation not permitted"},
    {-2, 0, "No such file or directory"},
    {-3, 0, "No such process"},
    {-4, -10004, "Interrupted function call"},
    {-5, 0, "I/O error"},
    {-6, 0, "No such device or address"},
    {-7, 0, "Argument list too long"},
    {-8, 0, "Exec format error"},
    {-9, -10009, "Bad file number"},
    {-10, 0, "No child processes"},
    {-11, 0, "Resource temporarily unavailable / Try again"},
    {-12, 0, "Not enough space / Out of memory"},
    {-13, -10013, "Permission denied"},
    {-14, -10014, "Bad address"},
    {-15, 0, "Block device required"},
    {-16, 0, "Device or resource busy"},
    {-17, 0, "File exists"},
    {-18, 0, "Cross-device link"},
    {-19, 0, "No such device"},
    {-20, 0, "Not a directory"},
    {-21, 0, "Is a directory"},
    {-22, -10022, "Invalid argument / Invalid data found when processing input"},
    {-23, 0, "Too many open files in system / File table overflow"},
    {-24, -10024, "Too many open files"},
    {-25, 0, "Inappropriate I/O control operation / Not a typewriter"},
    {-26, 0, "Text file busy"},
    {-27, 0, "File too large"},
    {-28, 0, "No space left on device"},
    {-29, 0, "Illegal seek"},
    {-30, 0, "Read-only file system"},
    {-31, 0, "Too many links"},
    {-32, 0, "End of file"},
    {-33, 0, "Number syntax expected in filename"},
    {-34, 0, "Math result not representable"},
    {-35, 0, "Resource deadlock would occur"},
    {-36, -10063, "File name too long"},
    {-37, 0, "No record locks available"},
    {-38, 0, "Function not implemented"},
    {-39, -10066, "Directory not empty"},
    {-40, -10062, "Too many symbolic links encountered"},
    {-42, 0, "Unknown format"},
    {-43, 0, "Identifier removed"},
    {-44, 0, "Channel number out of range"},
    {-45, 0, "Level 2 not synchronized"},
    {-46, 0, "Level 3 halted"},
    {-47, 0, "Level 3 reset"},
    {-48, 0, "Link number out of range"},
    {-49, 0, "Protocol driver not attached"},
    {-50, 0, "No CSI structure available"},
    {-51, 0, "Level 2 halted"},
    {-52, 0, "Invalid exchange"},
    {-53, 0, "Invalid request descriptor"},
    {-54, 0, "Exchange full"},
    {-55, 0, "No anode"},
    {-56, 0, "Invalid request code"},
    {-57, 0, "Invalid slot"},
    {-59, 0, "Bad font file format"},
    {-60, 0, "Device not a stream"},
    {-61, 0, "No data available"},
    {-62, 0, "Timer expired"},
    {-63, 0, "Out of streams resources"},
    {-64, 0, "Machine is not on the network"},
    {-65, 0, "Package not installed"},
    {-66, -10071, "Object is remote"},
    {-67, 0, "Link has been severed"},
    {-68, 0, "Advertise error"},
    {-69, 0, "Srmount error"},
    {-70, 0, "Communication error on send"},
    {-71, 0, "Protocol error"},
    {-72, 0, "Multihop attempted"},
    {-73, 0, "RFS specific error"},
    {-74, 0, "Not a data message"},
    {-75, 0, "Value too large for defined data type"},
    {-76, 0, "Name not unique on network"},
    {-77, 0, "File descriptor in bad state"},
    {-78, 0, "Remote address changed"},
    {-79, 0, "Can not access a needed shared library"},
    {-80, 0, "Accessing a corrupted shared library"},
    {-81, 0, ".lib section in a.out corrupted"},
    {-82, 0, "Attempting to link in too many shared libraries"},
    {-83, 0, "Cannot exec a shared library directly"},
    {-84, 0, "Illegal byte sequence"},
    {-85, 0, "Interrupted system call should be restarted"},
    {-86, 0, "Streams pipe error"},
    {-87, -10068, "Too many users"},
    {-88, -10038, "Socket operation on non-socket"},
    {-89, -10039, "Destination address required"},
    {-90, -10040, "Message too long"},
    {-91, -10041, "Protocol wrong type for socket"},
    {-92, -10042, "Protocol not available"},
    {-93, -10043, "Protocol not supported"},
    {-94, -10044, "Socket type not supported"},
    {-95, -10045, "Operation not supported on transport endpoint"},
    {-96, -10046, "Protocol family not supported"},
    {-97, -10047, "Address family not supported by protocol"},
    {-98, -10048, "Address already in use"},
    {-99, -10049, "Cannot assign requested address"},
    {-100, -10050, "Network is down"},
    {-101, -10051, "Network is unreachable"},
    {-102, -10052, "Network dropped connection because of reset"},
    {-103, -10053, "Software caused connection abort"},
    {-104, -10054, "Connection reset by peer"},
    {-105, -10055, "No buffer space available"},
    {-106, -10056, "Transport endpoint is already connected"},
    {-107, -10057, "Transport endpoint is not connected"},
    {-108, -10058, "Cannot send after transport endpoint shutdown"},
    {-109, -10059, "Too many references: cannot splice"},
    {-110, -10060, "Connection timed out"},
    {-111, -10061, "Connection refused"},
    {-112, -10064, "Host is down"},
    {-113, -10065, "No route to host"},
    {-114, -10037, "Operation already in progress"},
    {-115, -10036, "Operation now in progress"},
    {-116, -10070, "Stale NFS file handle"},
    {-117, 0, "Structure needs cleaning"},
    {-118, 0, "Not a XENIX named type file"},
    {-119, 0, "No XENIX semaphores available"},
    {-120, 0, "Is a named type file"},
    {-121, 0, "Remote I/O error"},
    {-122, -10069, "Quota exceeded"},
    {-123, 0, "No medium found"},
    {-124, 0, "Wrong medium type"},
    {-125, 0, "Operation Canceled"},
    {-126, 0, "Required key not available"},
    {-127, 0, "Key has expired"},
    {-128, 0, "Key has been revoked"},
    {-129, 0, "Key was rejected by service"},
    {-130, 0, "Owner died"},
    {-131, 0, "State not recoverable"},
};

const char* FindRow(const TErrorRow* ARows, size_t ACount, int ACode) {
  for (size_t i = 0; i < ACount; ++i)
    if (ARows[i].Code == ACode) return ARows[i].Text;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Little-endian helpers for the BMP form

void PutU16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(v & 0xFF);
  b.push_back(v >> 8);
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}
uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr uint32_t BI_RGB_ = 0;
constexpr uint32_t BI_BITFIELDS_ = 3;
constexpr uint32_t FileHeaderSize = 14;
constexpr uint32_t InfoHeaderSize = 40;

bool Fail(std::string* AError, const std::string& AText) {
  if (AError) *AError = AText;
  return false;
}

} // namespace

// ---------------------------------------------------------------------------

std::string FormatMediaTime(int64_t AMicroSeconds) {
  if (AMicroSeconds == AV_NOPTS_VALUE) return "N/A";
  // INT64_MIN is the unset value, so every other value has a magnitude.
  const bool negative = AMicroSeconds < 0;
  const int64_t t = negative ? -AMicroSeconds : AMicroSeconds;
  const int64_t hours = t / 1000000 / 60 / 60;
  const int64_t minutes = (t / 1000000 / 60) % 60;
  const int64_t seconds = (t / 1000000) % 60;
  const int64_t millis = (t % 1000000) * 1000 / 1000000;
  return (negative ? "-" : "") + fmt::sprintf("%.2d:%.2d:%.2d.%.3d", hours, minutes, seconds, millis);
}

int64_t FrameInterval(AVRational ARate) {
  if (ARate.num != 0 && ARate.den != 0) return int64_t{1000000} * ARate.den / ARate.num;
  return 1000000 / 25;
}

std::string MediaErrorDescription(int AErrorCode) {
  constexpr size_t tagCount = sizeof(CurrentTagRows) / sizeof(CurrentTagRows[0]);
  if (const char* t = FindRow(CurrentTagRows, tagCount, AErrorCode)) {
    if (FF.av_strerror) {
      char buf[AV_ERROR_MAX_STRING_SIZE * 2] = {};
      if (FF.av_strerror(AErrorCode, buf, sizeof(buf)) == 0 && buf[0]) return buf;
    }
    return t;
  }
  if (const char* t = FindRow(TagRows, sizeof(TagRows) / sizeof(TagRows[0]), AErrorCode)) return t;
  if (const char* t = FindRow(SocketRows, sizeof(SocketRows) / sizeof(SocketRows[0]), AErrorCode)) return t;
  for (const auto& r : ErrnoRows)
    if (r.Code == AErrorCode || (r.SocketCode != 0 && r.SocketCode == AErrorCode)) return r.Text;
  return fmt::sprintf("Error number %d occurred", AErrorCode);
}

std::string MediaErrorText(const std::string& AContext, int AErrorCode) {
  return AContext + ": " + MediaErrorDescription(AErrorCode);
}

int ReadWholeFile(const std::string& AFileName, std::vector<char>& ABuffer, int64_t& ASize) {
  std::FILE* f = std::fopen(AFileName.c_str(), "rb");
  if (!f) return -1;
  int result = 0;
  int64_t size = -1;
  // Only a regular file has a size to read (a folder opens too).
  struct stat st {};
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && fseeko(f, 0, SEEK_END) == 0) size = ftello(f);
  if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) {
    result = -1;
  } else if (static_cast<uint64_t>(size) >= ABuffer.max_size() ||
             static_cast<uint64_t>(size) >= std::numeric_limits<size_t>::max() - 1) {
    result = -12;
  } else {
    std::vector<char> data;
    try {
      data.resize(static_cast<size_t>(size) + 1);
    } catch (const std::bad_alloc&) {
      result = -12;
    } catch (const std::length_error&) {
      result = -12;
    }
    if (result == 0) {
      // A short read is a failure, not data with a hole in it.
      if (std::fread(data.data(), 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        result = -1;
      } else {
        data[static_cast<size_t>(size)] = '\0';
        ABuffer = std::move(data);
        ASize = size + 1;
      }
    }
  }
  std::fclose(f);
  return result;
}

void ResetPtsCorrection(TPtsCorrectionContext& ACtx) {
  ACtx.num_faulty_pts = 0;
  ACtx.num_faulty_dts = 0;
  ACtx.last_pts = AV_NOPTS_VALUE;
  ACtx.last_dts = AV_NOPTS_VALUE;
}

int64_t CorrectPts(TPtsCorrectionContext& ACtx, int64_t ADts, int64_t AReorderedPts) {
  if (ADts != AV_NOPTS_VALUE) {
    if (ADts <= ACtx.last_dts) ++ACtx.num_faulty_dts;
    ACtx.last_dts = ADts;
  }
  if (AReorderedPts != AV_NOPTS_VALUE) {
    if (AReorderedPts <= ACtx.last_pts) ++ACtx.num_faulty_pts;
    ACtx.last_pts = AReorderedPts;
  }
  if (ACtx.num_faulty_dts < ACtx.num_faulty_pts && ADts != AV_NOPTS_VALUE) return ADts;
  if (AReorderedPts != AV_NOPTS_VALUE) return AReorderedPts;
  return ADts;
}

std::string MetadataValue(const AVDictionary* AMetadata, const std::string& AKey,
                          const std::string& ADefault) {
  if (!AMetadata) return ADefault;
  const AVDictionaryEntry* e = FF.av_dict_get(AMetadata, AKey.c_str(), nullptr, 0);
  if (!e || !e->value) return ADefault;
  return e->value;
}

std::string CodecDisplayName(const AVCodecContext* ACtx, bool AEncoder) {
  if (!ACtx) return "";
  const AVCodec* codec =
      AEncoder ? FF.avcodec_find_encoder(ACtx->codec_id) : FF.avcodec_find_decoder(ACtx->codec_id);
  if (codec) {
    const std::string name = codec->name ? codec->name : "";
    const std::string longName = Trim(codec->long_name ? codec->long_name : "");
    if (longName.empty()) return name;
    return fmt::sprintf("%s(%s)", name, longName);
  }
  if (ACtx->codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
  // The context keeps no codec name of its own: the codec id's registered
  // name stands for it.
  if (ACtx->codec_id != AV_CODEC_ID_NONE) {
    if (const AVCodecDescriptor* d = FF.avcodec_descriptor_get(ACtx->codec_id); d && d->name) {
      const std::string name = Trim(std::string(d->name).substr(0, 32));
      if (!name.empty()) return name;
    }
  }
  const unsigned tag = ACtx->codec_tag;
  char c[4];
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    c[i] = static_cast<char>((tag >> (8 * i)) & 0xFF);
    if (static_cast<unsigned char>(c[i]) < 32 || static_cast<unsigned char>(c[i]) > 126) printable = false;
  }
  if (printable)
    return fmt::sprintf("%s%s%s%s / 0x%04X", std::string(1, c[0]), std::string(1, c[1]), std::string(1, c[2]),
                        std::string(1, c[3]), tag);
  return fmt::sprintf("0x%04x", tag);
}

std::string MediaTypeName(int AMediaType) {
  switch (AMediaType) {
  case 0:
    return "Video";
  case 1:
    return "Audio";
  case 2:
    return "Data";
  case 3:
    return "Subtitle";
  case 4:
    return "Attachment";
  default:
    return "Unknown";
  }
}

// ---------------------------------------------------------------------------
// Bitmaps

int BitsPixelOf(TBMPPixelFormat AFormat) {
  switch (AFormat) {
  case pf8bit:
    return 8;
  case pf15bit:
  case pf16bit:
    return 16;
  case pf24bit:
    return 24;
  case pf32bit:
    return 32;
  }
  return 24;
}

AVPixelFormat AVPixFmtOf(TBMPPixelFormat AFormat) {
  switch (AFormat) {
  case pf8bit:
    return AV_PIX_FMT_RGB8;
  case pf15bit:
    return AV_PIX_FMT_RGB555LE;
  case pf16bit:
    return AV_PIX_FMT_RGB565LE;
  case pf24bit:
    return AV_PIX_FMT_BGR24;
  case pf32bit:
    return AV_PIX_FMT_BGRA;
  }
  return AV_PIX_FMT_BGR24;
}

int BitmapStride(int AWidth, TBMPPixelFormat AFormat) {
  return static_cast<int>((static_cast<int64_t>(AWidth) * BitsPixelOf(AFormat) + 31) / 32 * 4);
}

const TPaletteEntry* Palette332() {
  static const auto table = [] {
    std::vector<TPaletteEntry> t(256);
    for (int i = 0; i < 256; ++i) {
      t[i].Red = static_cast<uint8_t>(((i >> 5) & 7) * 255 / 7);
      t[i].Green = static_cast<uint8_t>(((i >> 2) & 7) * 255 / 7);
      t[i].Blue = static_cast<uint8_t>((i & 3) * 255 / 3);
      t[i].Reserved = 0;
    }
    return t;
  }();
  return table.data();
}

uint8_t Palette332Index(uint8_t ARed, uint8_t AGreen, uint8_t ABlue) {
  const int r = (ARed * 7 + 127) / 255;
  const int g = (AGreen * 7 + 127) / 255;
  const int b = (ABlue * 3 + 127) / 255;
  return static_cast<uint8_t>((r << 5) | (g << 2) | b);
}

TBitmap::TBitmap(int AWidth, int AHeight, TBMPPixelFormat AFormat) : FPixelFormat(AFormat) {
  SetSize(AWidth, AHeight);
}

void TBitmap::SetSize(int AWidth, int AHeight) {
  if (AWidth < 0 || AHeight < 0)
    throw std::invalid_argument(fmt::sprintf("Invalid bitmap size %dx%d", AWidth, AHeight));
  FWidth = AWidth;
  FHeight = AHeight;
  FBits.assign(static_cast<size_t>(BitmapStride(FWidth, FPixelFormat)) * static_cast<size_t>(FHeight), 0);
}

void TBitmap::SetPixelFormat(TBMPPixelFormat AFormat) {
  if (AFormat == FPixelFormat) return;
  FPixelFormat = AFormat;
  SetSize(FWidth, FHeight);
}

void TBitmap::FillBlack() {
  std::fill(FBits.begin(), FBits.end(), 0);
}

uint8_t* TBitmap::ScanLine(int Y) {
  return FBits.data() + static_cast<size_t>(FHeight - 1 - Y) * static_cast<size_t>(Stride());
}

const uint8_t* TBitmap::ScanLine(int Y) const {
  return FBits.data() + static_cast<size_t>(FHeight - 1 - Y) * static_cast<size_t>(Stride());
}

std::vector<uint8_t> TBitmap::SaveToBytes() const {
  const bool bitfields = FPixelFormat == pf16bit;
  const uint32_t colors = FPixelFormat == pf8bit ? 256 : 0;
  const uint32_t offBits = FileHeaderSize + InfoHeaderSize + (bitfields ? 12 : 0) + colors * 4;
  const uint32_t imageSize = static_cast<uint32_t>(FBits.size());
  std::vector<uint8_t> b;
  b.reserve(offBits + imageSize);
  // BITMAPFILEHEADER
  b.push_back('B');
  b.push_back('M');
  PutU32(b, offBits + imageSize);
  PutU16(b, 0);
  PutU16(b, 0);
  PutU32(b, offBits);
  // BITMAPINFOHEADER; a positive height means bottom-up rows.
  PutU32(b, InfoHeaderSize);
  PutU32(b, static_cast<uint32_t>(FWidth));
  PutU32(b, static_cast<uint32_t>(FHeight));
  PutU16(b, 1);
  PutU16(b, static_cast<uint16_t>(BitsPixel()));
  PutU32(b, bitfields ? BI_BITFIELDS_ : BI_RGB_);
  PutU32(b, imageSize);
  PutU32(b, 2835);
  PutU32(b, 2835);
  PutU32(b, colors);
  PutU32(b, 0);
  if (bitfields) {
    PutU32(b, 0xF800);
    PutU32(b, 0x07E0);
    PutU32(b, 0x001F);
  }
  if (FPixelFormat == pf8bit) {
    const TPaletteEntry* pal = Palette332();
    for (int i = 0; i < 256; ++i) {
      b.push_back(pal[i].Blue);
      b.push_back(pal[i].Green);
      b.push_back(pal[i].Red);
      b.push_back(0);
    }
  }
  b.insert(b.end(), FBits.begin(), FBits.end());
  return b;
}

bool TBitmap::SaveToFile(const std::string& AFileName, std::string* AError) const {
  const std::vector<uint8_t> bytes = SaveToBytes();
  std::ofstream out(AFileName, std::ios::binary | std::ios::trunc);
  if (!out) return Fail(AError, "Cannot create file \"" + AFileName + "\"");
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Fail(AError, "Cannot write file \"" + AFileName + "\"");
  return true;
}

bool TBitmap::LoadFromFile(const std::string& AFileName, std::string* AError) {
  std::ifstream in(AFileName, std::ios::binary);
  if (!in) return Fail(AError, "Cannot open file \"" + AFileName + "\"");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Fail(AError, "Cannot read file \"" + AFileName + "\"");
  return LoadFromBytes(bytes.data(), bytes.size(), AError);
}

bool TBitmap::LoadFromBytes(const uint8_t* AData, size_t ASize, std::string* AError) {
  if (ASize < FileHeaderSize + InfoHeaderSize || AData[0] != 'B' || AData[1] != 'M')
    return Fail(AError, "Bitmap image is not valid");
  const uint32_t offBits = GetU32(AData + 10);
  const uint8_t* info = AData + FileHeaderSize;
  const uint32_t headerSize = GetU32(info);
  if (headerSize < InfoHeaderSize || headerSize > ASize - FileHeaderSize)
    return Fail(AError, "Bitmap image is not valid");
  const int32_t width = static_cast<int32_t>(GetU32(info + 4));
  const int32_t rawHeight = static_cast<int32_t>(GetU32(info + 8));
  const uint16_t planes = GetU16(info + 12);
  const uint16_t bitCount = GetU16(info + 14);
  const uint32_t compression = GetU32(info + 16);
  const uint32_t colorsUsed = GetU32(info + 32);
  if (planes != 1) return Fail(AError, "Bitmap image is not valid");
  if (width <= 0 || rawHeight == 0 || rawHeight == std::numeric_limits<int32_t>::min() ||
      width > (std::numeric_limits<int>::max() - 31) / 32)
    return Fail(AError, fmt::sprintf("Invalid bitmap size %dx%d", width, rawHeight));
  const bool topDown = rawHeight < 0;
  const int height = topDown ? -rawHeight : rawHeight;

  TBMPPixelFormat format;
  if (compression != BI_RGB_ && compression != BI_BITFIELDS_)
    return Fail(AError, fmt::sprintf("Unsupported bitmap compression %d", compression));
  uint32_t masks[3] = {0, 0, 0};
  if (compression == BI_BITFIELDS_) {
    // The masks follow a 40-byte header and sit at the same place inside the
    // longer headers.
    if (ASize < FileHeaderSize + InfoHeaderSize + 12) return Fail(AError, "Bitmap image is not valid");
    for (int i = 0; i < 3; ++i) masks[i] = GetU32(info + InfoHeaderSize + 4 * i);
  }
  switch (bitCount) {
  case 8:
    if (compression != BI_RGB_) return Fail(AError, "Unsupported bitmap compression 3");
    format = pf8bit;
    break;
  case 16:
    if (compression == BI_RGB_ || (masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F))
      format = pf15bit;
    else if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F)
      format = pf16bit;
    else
      return Fail(AError, "Unsupported bitmap bit fields");
    break;
  case 24:
    if (compression != BI_RGB_) return Fail(AError, "Unsupported bitmap compression 3");
    format = pf24bit;
    break;
  case 32:
    if (compression == BI_BITFIELDS_ && !(masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF))
      return Fail(AError, "Unsupported bitmap bit fields");
    format = pf32bit;
    break;
  default:
    return Fail(AError, fmt::sprintf("Unsupported bitmap bit count %d", bitCount));
  }

  const uint64_t stride = static_cast<uint64_t>(BitmapStride(width, format));
  const uint64_t imageBytes = stride * static_cast<uint64_t>(height);
  if (offBits > ASize || imageBytes > ASize - offBits) return Fail(AError, "Bitmap image is truncated");

  // An 8-bit image may carry any palette: its colours are mapped onto ours.
  uint8_t remap[256];
  if (format == pf8bit) {
    const uint32_t count = colorsUsed == 0 ? 256 : colorsUsed;
    const uint64_t palOffset = FileHeaderSize + static_cast<uint64_t>(headerSize);
    if (count > 256 || palOffset + 4ull * count > offBits) return Fail(AError, "Bitmap palette is not valid");
    for (int i = 0; i < 256; ++i) {
      if (static_cast<uint32_t>(i) < count) {
        const uint8_t* q = AData + palOffset + 4 * i;
        remap[i] = Palette332Index(q[2], q[1], q[0]);
      } else {
        remap[i] = 0;
      }
    }
  }

  TBitmap result(width, height, format);
  const uint8_t* src = AData + offBits;
  for (int row = 0; row < height; ++row) {
    // Memory row `row` of a bottom-up bitmap is picture row height-1-row.
    const int fileRow = topDown ? height - 1 - row : row;
    uint8_t* dst = result.FBits.data() + static_cast<size_t>(row) * stride;
    std::memcpy(dst, src + static_cast<size_t>(fileRow) * stride, stride);
    if (format == pf8bit)
      for (uint64_t x = 0; x < static_cast<uint64_t>(width); ++x) dst[x] = remap[dst[x]];
  }
  *this = std::move(result);
  return true;
}

// ---------------------------------------------------------------------------
// TFormatConverter

TPicture PictureOf(const AVFrame* AFrame) {
  TPicture p;
  if (!AFrame) return p;
  for (int i = 0; i < 4; ++i) {
    p.data[i] = AFrame->data[i];
    p.linesize[i] = AFrame->linesize[i];
  }
  return p;
}

void TFormatConverter::TAlignedDelete::operator()(uint8_t* p) const {
  ::operator delete[](p, std::align_val_t{64});
}

TFormatConverter::TFormatConverter() {
  ApplyFormat();
}

TFormatConverter::~TFormatConverter() {
  // The scaler contexts belong to the library; when it is gone already
  // there is nothing left to free them with.
  if (FF.sws_freeContext) {
    if (FtoRGB_convert_ctx) FF.sws_freeContext(FtoRGB_convert_ctx);
    if (FfromRGB_convert_ctx) FF.sws_freeContext(FfromRGB_convert_ctx);
  }
}

void TFormatConverter::ApplyFormat() {
  FDIB = TDIBInfo{};
  FRGBPicture = TPicture{};
  FRGBPictureRef = nullptr;
  FBitsPixel = BitsPixelOf(FBMPPixFmt);
  FAVPixFmt = AVPixFmtOf(FBMPPixFmt);
  FBitmap.SetPixelFormat(FBMPPixFmt);
}

void TFormatConverter::SetBitsPixel(int AValue) {
  TBMPPixelFormat format;
  switch (AValue) {
  case 8:
    format = pf8bit;
    break;
  case 15:
    format = pf15bit;
    break;
  case 16:
    format = pf16bit;
    break;
  case 24:
    format = pf24bit;
    break;
  case 32:
    format = pf32bit;
    break;
  default:
    throw EFormatConverterError(fmt::sprintf("Invalid BitsPixel %d", AValue));
  }
  // Compared by format: 15-bit bitmaps also read 16 bits per pixel.
  SetBMPPixFmt(format);
}

void TFormatConverter::SetBMPPixFmt(TBMPPixelFormat AValue) {
  if (AValue == FBMPPixFmt) return;
  FBMPPixFmt = AValue;
  ApplyFormat();
}

void TFormatConverter::RequireRef(const char* AOperation) const {
  if (!FRGBPictureRef)
    throw EFormatConverterError(fmt::sprintf("%s called before a picture was converted", AOperation));
}

bool TFormatConverter::PictureToRGB(const TPicture& APicture, AVPixelFormat APixFmt, int AWidth, int AHeight,
                                    bool AToBitmap) {
  if (AWidth <= 0 || AHeight <= 0 || !APicture.data[0]) {
    FRGBPictureRef = nullptr;
    FLastErrMsg = fmt::sprintf("Invalid picture size %dx%d", AWidth, AHeight);
    return false;
  }
  FBitmap.SetSize(AWidth, AHeight);
  const bool needConvert = APixFmt != FAVPixFmt || (AWidth & 1) != 0 || (AHeight & 1) != 0 ||
                           APicture.linesize[0] != FBitmap.Stride();
  const TPicture* data;
  if (needConvert) {
    // Rows aligned to 4 bytes give exactly the bitmap's row length.
    const int size = FF.av_image_get_buffer_size(FAVPixFmt, AWidth, AHeight, 4);
    if (size < 0) {
      FRGBPictureRef = nullptr;
      FLastErrMsg = MediaErrorDescription(size);
      return false;
    }
    // The scaler's vector code writes whole blocks of pixels and may run
    // past the end of the last row: keep room for one more padded row.
    const size_t needed = static_cast<size_t>(size) + static_cast<size_t>(FFALIGN(AWidth, 64)) * 4 + 64;
    if (needed > FRGBBufSize) {
      FRGBBuffer.reset();
      FRGBBufSize = 0;
      FRGBBuffer.reset(static_cast<uint8_t*>(::operator new[](needed, std::align_val_t{64})));
      FRGBBufSize = needed;
    }
    FRGBPicture = TPicture{};
    FF.av_image_fill_arrays(FRGBPicture.data, FRGBPicture.linesize, FRGBBuffer.get(), FAVPixFmt, AWidth,
                            AHeight, 4);
    FtoRGB_convert_ctx = FF.sws_getCachedContext(FtoRGB_convert_ctx, AWidth, AHeight, APixFmt, AWidth,
                                                 AHeight, FAVPixFmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!FtoRGB_convert_ctx) {
      FRGBPictureRef = nullptr;
      FLastErrMsg = "Cannot initialize the toRGB conversion context";
      return false;
    }
    FF.sws_scale(FtoRGB_convert_ctx, APicture.data, APicture.linesize, 0, AHeight, FRGBPicture.data,
                 FRGBPicture.linesize);
    data = &FRGBPicture;
  } else {
    FCallerPicture = APicture;
    data = &FCallerPicture;
  }
  FRGBPictureRef = data;
  FDIB.Type = 0;
  FDIB.Width = AWidth;
  FDIB.Height = AHeight;
  FDIB.WidthBytes = data->linesize[0];
  FDIB.Planes = 1;
  FDIB.BitsPixel = FBitsPixel;
  FDIB.Bits = data->data[0];
  if (AToBitmap) RGBToBitmap();
  return true;
}

void TFormatConverter::RGBToBitmap() {
  RequireRef("RGBToBitmap");
  const TPicture& p = *FRGBPictureRef;
  const int rows = std::min(FDIB.Height, FBitmap.Height());
  const size_t n = std::min<size_t>(static_cast<size_t>(std::abs(p.linesize[0])), FBitmap.Stride());
  for (int y = 0; y < rows; ++y)
    std::memcpy(FBitmap.ScanLine(y), p.data[0] + static_cast<ptrdiff_t>(y) * p.linesize[0], n);
}

void TFormatConverter::BitmapToRGB() {
  RequireRef("BitmapToRGB");
  const TPicture& p = *FRGBPictureRef;
  const int rows = std::min(FDIB.Height, FBitmap.Height());
  const size_t n = std::min<size_t>(static_cast<size_t>(std::abs(p.linesize[0])), FBitmap.Stride());
  for (int y = 0; y < rows; ++y)
    std::memcpy(p.data[0] + static_cast<ptrdiff_t>(y) * p.linesize[0], FBitmap.ScanLine(y), n);
}

bool TFormatConverter::RGBToPicture(TPicture& APicture, AVPixelFormat APixFmt, int AWidth, int AHeight) {
  RequireRef("RGBToPicture");
  const TPicture& src = *FRGBPictureRef;
  // The data picture may be the caller's own picture: then it holds the
  // result already.
  if (APixFmt == FAVPixFmt && src.data[0] == APicture.data[0] && src.linesize[0] == APicture.linesize[0])
    return true;
  FfromRGB_convert_ctx = FF.sws_getCachedContext(FfromRGB_convert_ctx, AWidth, AHeight, FAVPixFmt, AWidth,
                                                 AHeight, APixFmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!FfromRGB_convert_ctx) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  FF.sws_scale(FfromRGB_convert_ctx, src.data, src.linesize, 0, AHeight, APicture.data, APicture.linesize);
  return true;
}
