#include <gtest/gtest.h>

#include "medialib/FFLoad.h"
#include "medialib/UnicodeProtocol.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

class UnicodeNames : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(FFLoader().Load(TLibraries{avFormat})) << FFLoader().LastErrMsg(); }
  void TearDown() override {
    SetLibraryCodeset("");
    FFLoader().Unload(TLibraries{avFormat});
  }
};

// Reads a whole file through the libraries' I/O layer.
std::string ReadThroughLibrary(const std::string& AURL) {
  AVIOContext* io = nullptr;
  int err = 0;
  bool ours = IsUnicodeURL(AURL);
  if (ours) {
    io = OpenUnicodeIO(AURL, AVIO_FLAG_READ, &err);
  } else {
    err = FF.avio_open(&io, AURL.c_str(), AVIO_FLAG_READ);
  }
  EXPECT_TRUE(io) << err;
  if (!io) return {};
  std::string data;
  unsigned char buf[4096];
  for (;;) {
    int n = FF.avio_read(io, buf, sizeof buf);
    if (n <= 0) break;
    data.append(reinterpret_cast<char*>(buf), n);
  }
  if (ours)
    CloseUnicodeIO(&io);
  else
    FF.avio_closep(&io);
  return data;
}

} // namespace

TEST_F(UnicodeNames, NamesAreConvertedForTheLibraryCodeset) {
  struct TCase {
    const char* Codeset;
    std::string Name;
    std::string Expected;
  } cases[] = {
      {"UTF-8", "/tmp/Ärger ñ 日本.wav", "/tmp/Ärger ñ 日本.wav"},
      {"ANSI_X3.4-1968", "/tmp/plain.wav", "/tmp/plain.wav"},
      {"ANSI_X3.4-1968", "/tmp/Ärger.wav", "unicode:utf8:/tmp/Ärger.wav"},
      {"ISO-8859-1", "/tmp/Ärger.wav", "/tmp/\xC4rger.wav"},
      {"ISO-8859-1", "/tmp/日本.wav", "unicode:utf8:/tmp/日本.wav"},
      {"ANSI_X3.4-1968", "http://host/Ärger.mp3", "http://host/Ärger.mp3"},
      {"ANSI_X3.4-1968", "udp://host/日本", "udp://host/日本"},
      {"ANSI_X3.4-1968", "unicode:utf8:/tmp/日本", "unicode:utf8:/tmp/日本"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name + " in " + c.Codeset);
    SetLibraryCodeset(c.Codeset);
    EXPECT_EQ(ToLibraryName(c.Name), c.Expected);
    if (!IsUnicodeURL(c.Name)) {
      EXPECT_EQ(FromLibraryName(ToLibraryName(c.Name)), c.Name);
    }
  }
  EXPECT_FALSE(IsUnicodeURL("unicode:utf8:"));
  EXPECT_TRUE(IsUnicodeURL("unicode:utf8:x"));
  EXPECT_EQ(ToLibraryName(std::string(3000, 'a')), ""); // too long for the libraries
}

TEST_F(UnicodeNames, ANonAsciiFileReadsTheSameByBothNames) {
  TTempDir dir;
  std::string name = dir / "Grüße – 日本語.bin";
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes += char(i * 7 + i / 256);
  WriteFile(name, bytes);
  EXPECT_EQ(ReadThroughLibrary(name), bytes);
  EXPECT_EQ(ReadThroughLibrary("unicode:utf8:" + name), bytes);
}

TEST_F(UnicodeNames, MediaOpensByBothNamesAndClosesCleanly) {
  TTempDir dir;
  std::string name = dir / "Café ñandú.wav";
  ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=0.5", name}));
  for (auto url : {name, "unicode:utf8:" + name}) {
    SCOPED_TRACE(url);
    AVFormatContext* ctx = nullptr;
    ASSERT_EQ(FFOpenInput(&ctx, url, nullptr, nullptr), 0);
    ASSERT_EQ(FF.avformat_find_stream_info(ctx, nullptr), 0);
    EXPECT_STREQ(ctx->iformat->name, "wav");
    EXPECT_EQ(ctx->nb_streams, 1u);
    EXPECT_EQ(IsUnicodeIO(ctx->pb), IsUnicodeURL(url));
    FFCloseInput(&ctx);
    EXPECT_EQ(ctx, nullptr);
  }
  AVFormatContext* ctx = nullptr;
  EXPECT_EQ(FFOpenInput(&ctx, "unicode:utf8:" + dir / "missing.wav", nullptr, nullptr), AVERROR(ENOENT));
  EXPECT_EQ(ctx, nullptr);
}

TEST_F(UnicodeNames, WritingCreatesTheFileAndSeekReportsTheSize) {
  TTempDir dir;
  std::string url = "unicode:utf8:" + dir / "Ausgabe ü.raw";
  int err = 0;
  AVIOContext* io = OpenUnicodeIO(url, AVIO_FLAG_WRITE, &err);
  ASSERT_TRUE(io) << err;
  std::string data(70000, 'x');
  FF.avio_write(io, reinterpret_cast<const unsigned char*>(data.data()), int(data.size()));
  FF.avio_flush(io);
  EXPECT_EQ(io->seek(io->opaque, 0, AVSEEK_SIZE), 70000);
  EXPECT_EQ(io->seek(io->opaque, 10, SEEK_SET | AVSEEK_FORCE), 10);
  EXPECT_LT(io->seek(io->opaque, 0, 77), 0);
  CloseUnicodeIO(&io);
  EXPECT_EQ(ReadFile(dir / "Ausgabe ü.raw"), data);
}
