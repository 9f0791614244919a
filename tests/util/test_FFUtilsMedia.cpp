// The helpers that ask the media libraries: error texts of the loaded
// library, codec display names and metadata look-ups.
#include <gtest/gtest.h>

#include <random>

#include "medialib/FFLoad.h"
#include "tests/support/TestSupport.h"
#include "util/FFUtils.h"

using testsupport::TTempDir;

namespace {

class FFUtilsMedia : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_TRUE(FFLoader().Load(ProbeLibraries)) << FFLoader().LastErrMsg(); }
  static void TearDownTestSuite() { FFLoader().Unload(ProbeLibraries); }
};

struct TCodecContext {
  AVCodecContext* Ctx;
  explicit TCodecContext(AVCodecID AId, unsigned ATag = 0) : Ctx(FF.avcodec_alloc_context3(nullptr)) {
    Ctx->codec_id = AId;
    Ctx->codec_tag = ATag;
  }
  ~TCodecContext() { FF.avcodec_free_context(&Ctx); }
};

} // namespace

TEST_F(FFUtilsMedia, NonMediaFileGivesTheLibrarysText) {
  TTempDir dir;
  std::mt19937 rnd(1234);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(rnd());
  const std::string file = dir / "noise.xyz";
  testsupport::WriteFile(file, noise);

  AVFormatContext* ctx = nullptr;
  const int code = FF.avformat_open_input(&ctx, file.c_str(), nullptr, nullptr);
  ASSERT_LT(code, 0);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(MediaErrorText(file, code), file + ": Invalid data found when processing input");
}

TEST_F(FFUtilsMedia, TableTextsOfTheCurrentTagsMatchTheLibrary) {
  const int codes[] = {AVERROR_BUG,
                       AVERROR_BUG2,
                       AVERROR_BUFFER_TOO_SMALL,
                       AVERROR_EOF,
                       AVERROR_EXIT,
                       AVERROR_EXTERNAL,
                       AVERROR_INVALIDDATA,
                       AVERROR_OPTION_NOT_FOUND,
                       AVERROR_UNKNOWN,
                       AVERROR_EXPERIMENTAL,
                       AVERROR_INPUT_CHANGED,
                       AVERROR_OUTPUT_CHANGED,
                       AVERROR_HTTP_BAD_REQUEST,
                       AVERROR_HTTP_UNAUTHORIZED,
                       AVERROR_HTTP_FORBIDDEN,
                       AVERROR_HTTP_NOT_FOUND,
                       AVERROR_HTTP_OTHER_4XX,
                       AVERROR_HTTP_SERVER_ERROR};
  const auto strerror = FF.av_strerror;
  for (int code : codes) {
    char buf[256] = {};
    ASSERT_EQ(strerror(code, buf, sizeof buf), 0) << code;
    EXPECT_EQ(MediaErrorDescription(code), buf) << code;
    // The same text without the library, from our own rows.
    FF.av_strerror = nullptr;
    EXPECT_EQ(MediaErrorDescription(code), buf) << code;
    FF.av_strerror = strerror;
  }
  // The older rows keep their own texts; C error numbers too.
  EXPECT_EQ(MediaErrorDescription(AVERROR_PATCHWELCOME), "Not yet implemented in FFmpeg");
  EXPECT_EQ(MediaErrorDescription(AVERROR(ENOENT)), "No such file or directory");
  EXPECT_EQ(MediaErrorDescription(-7777), "Error number -7777 occurred");
}

TEST_F(FFUtilsMedia, CodecDisplayNameOfAnOpenedStream) {
  TTempDir dir;
  const std::string file = dir / "tone.mp3";
  ASSERT_TRUE(testsupport::MakeMedia(
      {"-f", "lavfi", "-i", "sine=frequency=440:duration=0.2", "-c:a", "libmp3lame", file}));
  AVFormatContext* fmt = nullptr;
  ASSERT_EQ(FF.avformat_open_input(&fmt, file.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(FF.avformat_find_stream_info(fmt, nullptr), 0);
  AVCodecContext* ctx = FF.avcodec_alloc_context3(nullptr);
  ASSERT_GE(FF.avcodec_parameters_to_context(ctx, fmt->streams[0]->codecpar), 0);

  EXPECT_EQ(CodecDisplayName(ctx, false), "mp3float(MP3 (MPEG audio layer 3))");
  EXPECT_EQ(CodecDisplayName(ctx, true), "libmp3lame(libmp3lame MP3 (MPEG audio layer 3))");

  FF.avcodec_free_context(&ctx);
  FF.avformat_close_input(&fmt);
}

TEST_F(FFUtilsMedia, CodecDisplayNameWithoutACodec) {
  struct TCase {
    AVCodecID Id;
    unsigned Tag;
    bool Encoder;
    const char* Name;
  };
  const TCase cases[] = {
      {AV_CODEC_ID_PCM_S16LE, 0, false, "pcm_s16le(PCM signed 16-bit little-endian)"},
      {AV_CODEC_ID_MPEG2TS, 0, false, "mpeg2ts"},
      {AV_CODEC_ID_TTF, MKTAG('a', 'b', 'c', 'd'), false, "ttf"}, // no decoder: the id's own name
      {AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 'd'), false, "abcd / 0x64636261"},
      {AV_CODEC_ID_NONE, 1, false, "0x0001"},
      {AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 0x7F), true, "0x7f636261"},
  };
  for (const auto& c : cases) {
    TCodecContext ctx(c.Id, c.Tag);
    EXPECT_EQ(CodecDisplayName(ctx.Ctx, c.Encoder), c.Name) << c.Id;
  }
}

TEST_F(FFUtilsMedia, MetadataValue) {
  AVDictionary* m = nullptr;
  FF.av_dict_set(&m, "Title", "Song", 0);
  FF.av_dict_set(&m, "artist", "Someone", 0);
  EXPECT_EQ(MetadataValue(m, "title", "-"), "Song"); // letter case ignored
  EXPECT_EQ(MetadataValue(m, "ARTIST", "-"), "Someone");
  EXPECT_EQ(MetadataValue(m, "album", "none"), "none");
  EXPECT_EQ(MetadataValue(m, "titl", "none"), "none"); // whole keys only
  EXPECT_EQ(MetadataValue(nullptr, "title", "none"), "none");
  FF.av_dict_free(&m);
}
