// The device-independent bitmap and its BMP file form. Debian's ffmpeg reads
// the files we write as an independent check of headers, masks, palette and
// row order.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include <fmt/printf.h>

#include "tests/support/TestSupport.h"
#include "util/FFUtils.h"

using testsupport::TTempDir;

namespace {

const TBMPPixelFormat AllFormats[] = {pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};

const char* FormatName(TBMPPixelFormat f) {
  switch (f) {
  case pf8bit:
    return "pf8bit";
  case pf15bit:
    return "pf15bit";
  case pf16bit:
    return "pf16bit";
  case pf24bit:
    return "pf24bit";
  case pf32bit:
    return "pf32bit";
  }
  return "?";
}

// Random pixels; the padding at the end of each row stays zero and the
// unused top bit of 5:5:5 pixels stays clear.
TBitmap RandomBitmap(int w, int h, TBMPPixelFormat f, unsigned seed) {
  TBitmap b(w, h, f);
  std::mt19937 rnd(seed);
  const int pixelBytes = (w * b.BitsPixel() + 7) / 8;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.ScanLine(y);
    for (int i = 0; i < pixelBytes; ++i) row[i] = static_cast<uint8_t>(rnd());
    if (f == pf15bit)
      for (int x = 0; x < w; ++x) row[2 * x + 1] &= 0x7F;
  }
  return b;
}

struct TRGB {
  int R, G, B;
};

// The colour of pixel (x, y) counted from the top.
TRGB PixelColour(const TBitmap& b, int x, int y) {
  const uint8_t* row = b.ScanLine(y);
  switch (b.PixelFormat()) {
  case pf8bit: {
    const TPaletteEntry& e = Palette332()[row[x]];
    return {e.Red, e.Green, e.Blue};
  }
  case pf15bit: {
    const int v = row[2 * x] | (row[2 * x + 1] << 8);
    return {((v >> 10) & 31) * 255 / 31, ((v >> 5) & 31) * 255 / 31, (v & 31) * 255 / 31};
  }
  case pf16bit: {
    const int v = row[2 * x] | (row[2 * x + 1] << 8);
    return {((v >> 11) & 31) * 255 / 31, ((v >> 5) & 63) * 255 / 63, (v & 31) * 255 / 31};
  }
  case pf24bit:
    return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
  case pf32bit:
    return {row[4 * x + 2], row[4 * x + 1], row[4 * x]};
  }
  return {0, 0, 0};
}

} // namespace

TEST(TBitmap, RowsAreBottomUpAndPadded) {
  TBitmap b(5, 3, pf24bit);
  EXPECT_EQ(b.Stride(), 16); // 15 bytes padded to 32 bits
  EXPECT_EQ(b.SizeBytes(), 48u);
  // The top row of the picture is the last row in memory.
  EXPECT_EQ(b.ScanLine(0), b.Bits() + 32);
  EXPECT_EQ(b.ScanLine(2), b.Bits());

  struct TStride {
    TBMPPixelFormat F;
    int Width, Stride;
  };
  for (const auto& s : {TStride{pf8bit, 1, 4}, TStride{pf8bit, 5, 8}, TStride{pf15bit, 3, 8},
                        TStride{pf16bit, 2, 4}, TStride{pf24bit, 321, 964}, TStride{pf32bit, 3, 12}})
    EXPECT_EQ(BitmapStride(s.Width, s.F), s.Stride) << FormatName(s.F) << " " << s.Width;
}

TEST(TBitmap, Palette332) {
  const TPaletteEntry* p = Palette332();
  EXPECT_EQ(p[0].Red + p[0].Green + p[0].Blue, 0);
  EXPECT_EQ(p[255].Red + p[255].Green + p[255].Blue, 3 * 255);
  // RRRGGGBB, the layout of the 8-bit RGB pixel format.
  EXPECT_EQ(p[0xE0].Red, 255);
  EXPECT_EQ(p[0xE0].Green + p[0xE0].Blue, 0);
  EXPECT_EQ(p[0x1C].Green, 255);
  EXPECT_EQ(p[0x03].Blue, 255);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(Palette332Index(p[i].Red, p[i].Green, p[i].Blue), i);
}

TEST(TBitmap, BMPRoundTripForOddWidths) {
  TTempDir dir;
  for (TBMPPixelFormat f : AllFormats) {
    for (int w : {1, 3, 5, 7}) {
      SCOPED_TRACE(fmt::sprintf("%s width %d", FormatName(f), w));
      const TBitmap original = RandomBitmap(w, 3, f, static_cast<unsigned>(w * 10 + f));
      const std::string file = dir / fmt::sprintf("%s_%d.bmp", FormatName(f), w);
      std::string err;
      ASSERT_TRUE(original.SaveToFile(file, &err)) << err;

      const std::string bytes = testsupport::ReadFile(file);
      const size_t extra = f == pf8bit ? 1024 : f == pf16bit ? 12 : 0;
      EXPECT_EQ(bytes.size(), 54 + extra + static_cast<size_t>(original.Stride()) * 3);

      TBitmap loaded(2, 2, pf32bit);
      ASSERT_TRUE(loaded.LoadFromFile(file, &err)) << err;
      EXPECT_EQ(loaded.PixelFormat(), f);
      EXPECT_EQ(loaded.Width(), w);
      EXPECT_EQ(loaded.Height(), 3);
      EXPECT_TRUE(loaded == original);
    }
  }
}

TEST(TBitmap, FilesReadByAnotherDecoder) {
  TTempDir dir;
  for (TBMPPixelFormat f : AllFormats) {
    SCOPED_TRACE(FormatName(f));
    const int w = 5, h = 3;
    const TBitmap b = RandomBitmap(w, h, f, 7u + f);
    const std::string file = dir / fmt::sprintf("%s.bmp", FormatName(f));
    const std::string raw = dir / fmt::sprintf("%s.rgb", FormatName(f));
    ASSERT_TRUE(b.SaveToFile(file));
    ASSERT_TRUE(testsupport::MakeMedia({"-i", file, "-f", "rawvideo", "-pix_fmt", "rgb24", raw}));
    const std::string rgb = testsupport::ReadFile(raw);
    ASSERT_EQ(rgb.size(), static_cast<size_t>(w * h * 3));
    // 5- and 6-bit channels may be widened by shifting or by replicating bits.
    const int tolerance = (f == pf15bit || f == pf16bit) ? 8 : 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const TRGB want = PixelColour(b, x, y);
        const uint8_t* got = reinterpret_cast<const uint8_t*>(rgb.data()) + (y * w + x) * 3;
        EXPECT_NEAR(got[0], want.R, tolerance) << x << "," << y;
        EXPECT_NEAR(got[1], want.G, tolerance) << x << "," << y;
        EXPECT_NEAR(got[2], want.B, tolerance) << x << "," << y;
      }
  }
}

TEST(TBitmap, ReadsTopDownFilesAndForeignPalettes) {
  // A top-down file: negative height, rows in picture order.
  const TBitmap original = RandomBitmap(3, 3, pf24bit, 1);
  std::vector<uint8_t> bytes = original.SaveToBytes();
  const int32_t negative = -3;
  std::memcpy(&bytes[22], &negative, 4);
  const int stride = original.Stride();
  for (int y = 0; y < 3; ++y) std::memcpy(&bytes[54 + y * stride], original.ScanLine(y), stride);
  TBitmap loaded;
  ASSERT_TRUE(loaded.LoadFromBytes(bytes.data(), bytes.size()));
  EXPECT_TRUE(loaded == original);

  // An 8-bit file with a palette of its own: colours are mapped onto 3:3:2.
  TBitmap indexed(3, 1, pf8bit);
  indexed.ScanLine(0)[0] = 0;
  indexed.ScanLine(0)[1] = 1;
  indexed.ScanLine(0)[2] = 2;
  bytes = indexed.SaveToBytes();
  const uint8_t palette[3][4] = {{0, 0, 255, 0}, {255, 255, 255, 0}, {255, 0, 0, 0}}; // red, white, blue
  std::memcpy(&bytes[54], palette, sizeof palette);
  ASSERT_TRUE(loaded.LoadFromBytes(bytes.data(), bytes.size()));
  EXPECT_EQ(loaded.ScanLine(0)[0], 0xE0);
  EXPECT_EQ(loaded.ScanLine(0)[1], 0xFF);
  EXPECT_EQ(loaded.ScanLine(0)[2], 0x03);
}

TEST(TBitmap, RejectsBrokenFiles) {
  const std::vector<uint8_t> good = RandomBitmap(3, 3, pf24bit, 2).SaveToBytes();
  auto patched = [&](size_t AOffset, uint32_t AValue, int ABytes) {
    std::vector<uint8_t> b = good;
    for (int i = 0; i < ABytes; ++i) b[AOffset + i] = static_cast<uint8_t>(AValue >> (8 * i));
    return b;
  };
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
  };
  const TCase cases[] = {
      {"truncated pixels", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 30)},
      {"not BM", patched(0, 'X', 1)},
      {"zero width", patched(18, 0, 4)},
      {"zero height", patched(22, 0, 4)},
      {"huge height", patched(22, 0x7FFFFFFF, 4)},
      {"RLE compression", patched(30, 1, 4)},
      {"4 bits per pixel", patched(28, 4, 2)},
      {"short info header", patched(14, 12, 4)},
      {"pixel data past the end", patched(10, 0xFFFFFFF0u, 4)},
  };
  for (const auto& c : cases) {
    TBitmap b(1, 1, pf8bit);
    std::string err;
    EXPECT_FALSE(b.LoadFromBytes(c.Bytes.data(), c.Bytes.size(), &err)) << c.Name;
    EXPECT_FALSE(err.empty()) << c.Name;
    EXPECT_EQ(b.Width(), 1) << c.Name << ": a failed load changed the bitmap";
    EXPECT_EQ(b.PixelFormat(), pf8bit) << c.Name;
  }
}
