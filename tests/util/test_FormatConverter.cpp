// Pictures of the media libraries to bitmaps and back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <fmt/printf.h>

#include "medialib/FFLoad.h"
#include "util/FFUtils.h"

namespace {

class FormatConverter : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_TRUE(FFLoader().Load(ProbeLibraries)) << FFLoader().LastErrMsg(); }
  static void TearDownTestSuite() { FFLoader().Unload(ProbeLibraries); }
};

// A packed BGR24 picture in a buffer of its own, rows ALineSize apart.
struct TBGRPicture {
  std::vector<uint8_t> Buffer;
  TPicture Picture;
  TBGRPicture(int AWidth, int AHeight, int ALineSize) : Buffer(static_cast<size_t>(ALineSize) * AHeight) {
    for (size_t i = 0; i < Buffer.size(); ++i) Buffer[i] = static_cast<uint8_t>(i * 7 + i / 13);
    Picture.data[0] = Buffer.data();
    Picture.linesize[0] = ALineSize;
    (void)AWidth;
  }
  const uint8_t* Row(int y) const { return Buffer.data() + static_cast<size_t>(y) * Picture.linesize[0]; }
};

struct TYUV {
  int Y, U, V;
};
const TYUV Red{81, 90, 240}; // limited-range BT.601
const TYUV Blue{41, 240, 110};

// A 4:2:0 picture whose upper half is red and lower half blue.
struct TYUVPicture {
  AVFrame* Frame;
  TYUVPicture(int AWidth, int AHeight) : Frame(FF.av_frame_alloc()) {
    Frame->format = AV_PIX_FMT_YUV420P;
    Frame->width = AWidth;
    Frame->height = AHeight;
    EXPECT_EQ(FF.av_frame_get_buffer(Frame, 0), 0);
  }
  ~TYUVPicture() { FF.av_frame_free(&Frame); }
  void Fill() {
    for (int y = 0; y < Frame->height; ++y) {
      const TYUV& c = y < Frame->height / 2 ? Red : Blue;
      std::memset(Frame->data[0] + y * Frame->linesize[0], c.Y, Frame->width);
      if (y % 2 == 0) {
        std::memset(Frame->data[1] + y / 2 * Frame->linesize[1], c.U, Frame->width / 2);
        std::memset(Frame->data[2] + y / 2 * Frame->linesize[2], c.V, Frame->width / 2);
      }
    }
  }
  TYUV At(int x, int y) const {
    return {Frame->data[0][y * Frame->linesize[0] + x], Frame->data[1][y / 2 * Frame->linesize[1] + x / 2],
            Frame->data[2][y / 2 * Frame->linesize[2] + x / 2]};
  }
};

struct TRGB {
  int R, G, B;
};

TRGB BitmapPixel(const TBitmap& b, int x, int y) {
  const uint8_t* row = b.ScanLine(y);
  switch (b.PixelFormat()) {
  case pf8bit: {
    const TPaletteEntry& e = Palette332()[row[x]];
    return {e.Red, e.Green, e.Blue};
  }
  case pf15bit: {
    const int v = row[2 * x] | (row[2 * x + 1] << 8);
    EXPECT_EQ(v & 0x8000, 0) << "the unused bit of a 5:5:5 pixel is set";
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
  return {};
}

} // namespace

TEST_F(FormatConverter, BitsPixelSelectsTheFormat) {
  TFormatConverter c;
  EXPECT_EQ(c.BMPPixFmt(), pf24bit);
  EXPECT_EQ(c.BitsPixel(), 24);
  EXPECT_EQ(c.AVPixFmt(), AV_PIX_FMT_BGR24);

  struct TCase {
    int Bits;
    TBMPPixelFormat Format;
    int ReadBack;
    AVPixelFormat PixFmt;
  };
  // 16 right after 15 must switch from 5:5:5 to 5:6:5 although both read 16.
  const TCase cases[] = {{15, pf15bit, 16, AV_PIX_FMT_RGB555LE},
                         {16, pf16bit, 16, AV_PIX_FMT_RGB565LE},
                         {8, pf8bit, 8, AV_PIX_FMT_RGB8},
                         {32, pf32bit, 32, AV_PIX_FMT_BGRA},
                         {24, pf24bit, 24, AV_PIX_FMT_BGR24}};
  for (const auto& k : cases) {
    c.SetBitsPixel(k.Bits);
    EXPECT_EQ(c.BMPPixFmt(), k.Format) << k.Bits;
    EXPECT_EQ(c.BitsPixel(), k.ReadBack) << k.Bits;
    EXPECT_EQ(c.AVPixFmt(), k.PixFmt) << k.Bits;
    EXPECT_EQ(c.Bitmap().PixelFormat(), k.Format) << k.Bits;
  }

  try {
    c.SetBitsPixel(12);
    ADD_FAILURE() << "no exception";
  } catch (const EFormatConverterError& e) {
    EXPECT_STREQ(e.what(), "Invalid BitsPixel 12");
  }
  EXPECT_EQ(c.BMPPixFmt(), pf24bit);
}

TEST_F(FormatConverter, CopiesNeedAConvertedPicture) {
  TFormatConverter c;
  EXPECT_THROW(c.RGBToBitmap(), EFormatConverterError);
  EXPECT_THROW(c.BitmapToRGB(), EFormatConverterError);
  TPicture out;
  EXPECT_THROW(c.RGBToPicture(out, AV_PIX_FMT_YUV420P, 2, 2), EFormatConverterError);

  TBGRPicture pic(4, 2, 12);
  ASSERT_TRUE(c.PictureToRGB(pic.Picture, AV_PIX_FMT_BGR24, 4, 2));
  EXPECT_NE(c.RGBPictureRef(), nullptr);
  // A new format forgets the converted picture.
  c.SetBitsPixel(32);
  EXPECT_EQ(c.RGBPictureRef(), nullptr);
  EXPECT_EQ(c.DIB().Bits, nullptr);
  EXPECT_THROW(c.RGBToBitmap(), EFormatConverterError);
}

TEST_F(FormatConverter, BitmapLayoutIsUsedDirectlyOtherwiseConverted) {
  struct TCase {
    int Width, Height, LineSize;
    bool Direct;
  };
  const TCase cases[] = {
      {320, 240, 960, true},   // rows already padded to 32 bits
      {321, 240, 963, false},  // odd width, rows of 963 bytes
      {321, 240, 964, false},  // odd width even with bitmap rows
      {320, 241, 960, false},  // odd height
      {320, 240, 1024, false}, // rows longer than the bitmap's
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(fmt::sprintf("%dx%d line %d", k.Width, k.Height, k.LineSize));
    TFormatConverter c;
    TBGRPicture pic(k.Width, k.Height, k.LineSize);
    ASSERT_TRUE(c.PictureToRGB(pic.Picture, AV_PIX_FMT_BGR24, k.Width, k.Height)) << c.LastErrMsg();
    const TPicture* ref = c.RGBPictureRef();
    ASSERT_NE(ref, nullptr);
    const int stride = BitmapStride(k.Width, pf24bit);
    if (k.Direct) {
      EXPECT_EQ(ref->data[0], pic.Buffer.data());
    } else {
      EXPECT_EQ(ref->data[0], c.RGBPicture().data[0]);
      EXPECT_NE(ref->data[0], pic.Buffer.data());
    }
    EXPECT_EQ(ref->linesize[0], stride);
    EXPECT_EQ(c.DIB().Bits, ref->data[0]);
    EXPECT_EQ(c.DIB().WidthBytes, stride);
    EXPECT_EQ(c.DIB().Width, k.Width);
    EXPECT_EQ(c.DIB().Height, k.Height);
    EXPECT_EQ(c.DIB().BitsPixel, 24);
    EXPECT_EQ(c.DIB().Planes, 1);
    // Same pixel format: every pixel arrives unchanged, top row at the top.
    ASSERT_EQ(c.Bitmap().Width(), k.Width);
    ASSERT_EQ(c.Bitmap().Height(), k.Height);
    for (int y = 0; y < k.Height; ++y)
      ASSERT_EQ(std::memcmp(c.Bitmap().ScanLine(y), pic.Row(y), static_cast<size_t>(k.Width) * 3), 0) << y;
  }
}

TEST_F(FormatConverter, YUVPictureToEveryBitmapFormatAndBack) {
  const int w = 8, h = 8;
  for (int bits : {8, 15, 16, 24, 32}) {
    SCOPED_TRACE(fmt::sprintf("%d bits", bits));
    TFormatConverter c;
    c.SetBitsPixel(bits);
    TYUVPicture src(w, h);
    src.Fill();
    ASSERT_TRUE(c.PictureToRGB(PictureOf(src.Frame), AV_PIX_FMT_YUV420P, w, h)) << c.LastErrMsg();
    EXPECT_EQ(c.RGBPictureRef()->linesize[0], BitmapStride(w, c.BMPPixFmt()));
    // Channel order and row order: red on top, blue below.
    // 3:3:2 has 2 bits of blue, and dithering may pick the step below.
    const int tol = bits == 8 ? 40 : 10;
    const int btol = bits == 8 ? 90 : 10;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const TRGB p = BitmapPixel(c.Bitmap(), x, y);
        const bool top = y < h / 2;
        EXPECT_NEAR(p.R, top ? 255 : 0, tol) << x << "," << y;
        EXPECT_NEAR(p.G, 0, tol) << x << "," << y;
        EXPECT_NEAR(p.B, top ? 0 : 255, btol) << x << "," << y;
      }

    // And back to 4:2:0; rows next to the colour edge share chroma samples.
    TYUVPicture back(w, h);
    TPicture dst = PictureOf(back.Frame);
    ASSERT_TRUE(c.RGBToPicture(dst, AV_PIX_FMT_YUV420P, w, h)) << c.LastErrMsg();
    const int ytol = bits == 8 ? 40 : 4;
    for (int y : {0, 1, h - 2, h - 1})
      for (int x = 0; x < w; ++x) {
        const TYUV want = y < h / 2 ? Red : Blue;
        const TYUV got = back.At(x, y);
        EXPECT_NEAR(got.Y, want.Y, ytol) << x << "," << y;
        EXPECT_NEAR(got.U, want.U, ytol) << x << "," << y;
        EXPECT_NEAR(got.V, want.V, ytol) << x << "," << y;
      }
  }
}

TEST_F(FormatConverter, EditedBitmapGoesBackIntoThePicture) {
  struct TCase {
    int Bits, Width;
  };
  // 32 bits and an odd width go through the converter's own buffer; 24 bits
  // at width 320 edit the caller's picture in place. (Fewer bits go through
  // the scaler's dithering, which the 4:2:0 test above covers.)
  for (const auto& k : {TCase{32, 321}, TCase{24, 320}, TCase{24, 7}}) {
    SCOPED_TRACE(fmt::sprintf("%d bits width %d", k.Bits, k.Width));
    const int h = 2;
    TFormatConverter c;
    c.SetBitsPixel(k.Bits);
    TBGRPicture pic(k.Width, h, k.Width * 3);
    const std::vector<uint8_t> original = pic.Buffer;
    ASSERT_TRUE(c.PictureToRGB(pic.Picture, AV_PIX_FMT_BGR24, k.Width, h));

    // Paint the bottom-right pixel pure green in the bitmap.
    uint8_t* row = c.Bitmap().ScanLine(h - 1);
    const int x = k.Width - 1;
    switch (c.BMPPixFmt()) {
    case pf24bit:
      row[3 * x] = 0, row[3 * x + 1] = 255, row[3 * x + 2] = 0;
      break;
    case pf32bit:
      row[4 * x] = 0, row[4 * x + 1] = 255, row[4 * x + 2] = 0, row[4 * x + 3] = 255;
      break;
    default:
      FAIL();
    }
    c.BitmapToRGB();
    ASSERT_TRUE(c.RGBToPicture(pic.Picture, AV_PIX_FMT_BGR24, k.Width, h)) << c.LastErrMsg();

    std::vector<uint8_t> want = original;
    uint8_t* p = want.data() + static_cast<size_t>(h - 1) * k.Width * 3 + x * 3;
    p[0] = 0, p[1] = 255, p[2] = 0;
    EXPECT_EQ(pic.Buffer, want);
  }
}
