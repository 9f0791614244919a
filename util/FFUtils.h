// Small helpers shared by the engine, the decoder and the player: media
// times, frame intervals, error texts of the media libraries, timestamp
// correction, metadata and codec names, and the picture <-> bitmap converter
// with a plain bottom-up device-independent bitmap and its BMP file form.
//
// Everything that calls the media libraries goes through FF (util/FFApi.h),
// so those helpers need the libraries loaded; the time, error-table, file and
// bitmap helpers do not.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/FFApi.h"

// ---------------------------------------------------------------------------
// Times and texts

// "HH:MM:SS.mmm" of a time in microseconds, hours not wrapped; "N/A" for
// AV_NOPTS_VALUE. Negative times print their sign once in front
// ("-00:00:00.007").
std::string FormatMediaTime(int64_t AMicroSeconds);

// Microseconds between two frames of a frame rate; 40000 (25 fps) when a
// part of the rate is zero.
int64_t FrameInterval(AVRational ARate);

// AContext + ": " + the description of a media library error code.
std::string MediaErrorText(const std::string& AContext, int AErrorCode);
// The description alone ("Error number %d occurred" for an unknown code).
std::string MediaErrorDescription(int AErrorCode);

// Reads a whole file into ABuffer with a NUL after the data; ASize is the
// data size + 1. Returns 0, -1 (cannot open or read) or -12 (no memory).
int ReadWholeFile(const std::string& AFileName, std::vector<char>& ABuffer, int64_t& ASize);

// Choosing a frame's timestamp from the decoder's dts and reordered pts.
struct TPtsCorrectionContext {
  int64_t num_faulty_pts = 0;
  int64_t num_faulty_dts = 0;
  int64_t last_pts = AV_NOPTS_VALUE;
  int64_t last_dts = AV_NOPTS_VALUE;
};
void ResetPtsCorrection(TPtsCorrectionContext& ACtx);
int64_t CorrectPts(TPtsCorrectionContext& ACtx, int64_t ADts, int64_t AReorderedPts);

// The value of the first entry whose key matches (letter case ignored), or
// ADefault.
std::string MetadataValue(const AVDictionary* AMetadata, const std::string& AKey,
                          const std::string& ADefault = "");

// "name(long name)" of the codec of a codec context (encoder or decoder side).
std::string CodecDisplayName(const AVCodecContext* ACtx, bool AEncoder);

// "Video", "Audio", "Data", "Subtitle", "Attachment", else "Unknown".
std::string MediaTypeName(int AMediaType);

// ---------------------------------------------------------------------------
// Bitmaps

enum TBMPPixelFormat { pf8bit, pf15bit, pf16bit, pf24bit, pf32bit };

// Bits per pixel of a bitmap format (15-bit pixels take 16 bits).
int BitsPixelOf(TBMPPixelFormat AFormat);
// The media library pixel format with the same memory layout.
AVPixelFormat AVPixFmtOf(TBMPPixelFormat AFormat);
// Bytes per row, padded to 32 bits.
int BitmapStride(int AWidth, TBMPPixelFormat AFormat);

struct TPaletteEntry {
  uint8_t Blue, Green, Red, Reserved;
};
// The fixed 8-bit palette: index = RRRGGGBB (3:3:2), the layout of
// AV_PIX_FMT_RGB8.
const TPaletteEntry* Palette332();
// Index of the 3:3:2 colour nearest to (R, G, B).
uint8_t Palette332Index(uint8_t ARed, uint8_t AGreen, uint8_t ABlue);

// A device-independent bitmap: rows padded to 32 bits and stored bottom-up
// (the last picture row first in memory); 8-bit bitmaps use Palette332.
class TBitmap {
public:
  TBitmap() = default;
  TBitmap(int AWidth, int AHeight, TBMPPixelFormat AFormat);

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  TBMPPixelFormat PixelFormat() const { return FPixelFormat; }
  int BitsPixel() const { return BitsPixelOf(FPixelFormat); }
  int Stride() const { return BitmapStride(FWidth, FPixelFormat); }
  bool Empty() const { return FWidth == 0 || FHeight == 0; }

  // A change of size or format re-creates the pixels, all zero (black).
  void SetSize(int AWidth, int AHeight);
  void SetPixelFormat(TBMPPixelFormat AFormat);
  void FillBlack();

  // The whole pixel memory, bottom row first.
  uint8_t* Bits() { return FBits.data(); }
  const uint8_t* Bits() const { return FBits.data(); }
  size_t SizeBytes() const { return FBits.size(); }
  // Row Y counted from the top of the picture.
  uint8_t* ScanLine(int Y);
  const uint8_t* ScanLine(int Y) const;

  // BMP file (BITMAPFILEHEADER + BITMAPINFOHEADER). False with AError filled
  // on failure; a failed load leaves the bitmap unchanged.
  bool SaveToFile(const std::string& AFileName, std::string* AError = nullptr) const;
  bool LoadFromFile(const std::string& AFileName, std::string* AError = nullptr);
  std::vector<uint8_t> SaveToBytes() const;
  bool LoadFromBytes(const uint8_t* AData, size_t ASize, std::string* AError = nullptr);

  bool operator==(const TBitmap& AOther) const = default;

private:
  int FWidth = 0;
  int FHeight = 0;
  TBMPPixelFormat FPixelFormat = pf24bit;
  std::vector<uint8_t> FBits;
};

// ---------------------------------------------------------------------------
// Picture <-> bitmap converter

// A picture of the media libraries: up to four planes and their line sizes.
struct TPicture {
  uint8_t* data[4] = {nullptr, nullptr, nullptr, nullptr};
  int linesize[4] = {0, 0, 0, 0};
};
TPicture PictureOf(const AVFrame* AFrame);

// Description of the last converted picture in bitmap layout (top-down).
struct TDIBInfo {
  int Type = 0;
  int Width = 0;
  int Height = 0;
  int WidthBytes = 0;
  int Planes = 0;
  int BitsPixel = 0;
  uint8_t* Bits = nullptr;
};

// Raised for an invalid bit depth and for using the converter's copies
// before a successful conversion.
class EFormatConverterError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TFormatConverter {
public:
  TFormatConverter();
  ~TFormatConverter();
  TFormatConverter(const TFormatConverter&) = delete;
  TFormatConverter& operator=(const TFormatConverter&) = delete;

  // 8, 15, 16, 24 or 32; anything else raises "Invalid BitsPixel %d".
  // 15-bit bitmaps read back 16.
  int BitsPixel() const { return FBitsPixel; }
  void SetBitsPixel(int AValue);
  TBMPPixelFormat BMPPixFmt() const { return FBMPPixFmt; }
  void SetBMPPixFmt(TBMPPixelFormat AValue);
  AVPixelFormat AVPixFmt() const { return FAVPixFmt; }

  TBitmap& Bitmap() { return FBitmap; }
  const TDIBInfo& DIB() const { return FDIB; }
  const TPicture& RGBPicture() const { return FRGBPicture; }
  // The picture that holds bitmap-layout data after the last conversion:
  // RGBPicture, or a copy of the caller's plane pointers when the caller's
  // picture already had the bitmap layout; null before.
  const TPicture* RGBPictureRef() const { return FRGBPictureRef; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }

  bool PictureToRGB(const TPicture& APicture, AVPixelFormat APixFmt, int AWidth, int AHeight,
                    bool AToBitmap = true);
  void RGBToBitmap();
  void BitmapToRGB();
  bool RGBToPicture(TPicture& APicture, AVPixelFormat APixFmt, int AWidth, int AHeight);

private:
  int FBitsPixel = 24;
  AVPixelFormat FAVPixFmt = AV_PIX_FMT_BGR24;
  TBMPPixelFormat FBMPPixFmt = pf24bit;
  TBitmap FBitmap;
  TDIBInfo FDIB;
  struct TAlignedDelete {
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t, TAlignedDelete> FRGBBuffer;
  size_t FRGBBufSize = 0;
  TPicture FRGBPicture;
  TPicture FCallerPicture;
  const TPicture* FRGBPictureRef = nullptr;
  SwsContext* FtoRGB_convert_ctx = nullptr;
  SwsContext* FfromRGB_convert_ctx = nullptr;
  std::string FLastErrMsg;

  void ApplyFormat();
  void RequireRef(const char* AOperation) const;
};
