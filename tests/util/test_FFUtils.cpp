// Times, frame intervals, the error table, timestamp correction and whole-file
// reads: none of them needs the media libraries loaded.
#include <gtest/gtest.h>

#include <fmt/printf.h>

#include "tests/support/TestSupport.h"
#include "util/FFUtils.h"

using testsupport::TTempDir;

TEST(FFUtils, FormatMediaTime) {
  struct TCase {
    int64_t Time;
    const char* Text;
  };
  const TCase cases[] = {
      {AV_NOPTS_VALUE, "N/A"},        {0, "00:00:00.000"},
      {59999999, "00:00:59.999"},     {3723500000, "01:02:03.500"},
      {90000000000, "25:00:00.000"}, // hours are not wrapped
      {-7000, "-00:00:00.007"},      // a stream starting before zero
      {-3723500000, "-01:02:03.500"}, {AV_NOPTS_VALUE + 1, "-2562047788:00:54.775"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatMediaTime(c.Time), c.Text) << c.Time;
}

TEST(FFUtils, FrameInterval) {
  struct TCase {
    AVRational Rate;
    int64_t Interval;
  };
  const TCase cases[] = {
      {{0, 0}, 40000},  {{1, 0}, 40000},        {{0, 1}, 40000},
      {{25, 1}, 40000}, {{30000, 1001}, 33366}, {{24000, 1001}, 41708},
  };
  for (const auto& c : cases) EXPECT_EQ(FrameInterval(c.Rate), c.Interval) << c.Rate.num << "/" << c.Rate.den;
}

TEST(FFUtils, MediaErrorTextFromTheTable) {
  // The libraries are not loaded here: every text comes from the table.
  ASSERT_EQ(FF.av_strerror, nullptr);
  struct TCase {
    int Code;
    const char* Text;
  };
  const TCase cases[] = {
      {-2, "No such file or directory"},
      {-22, "Invalid argument / Invalid data found when processing input"},
      {-10054, "Connection reset by peer"}, // socket code sharing the C error text
      {-10004, "Interrupted function call"},
      {-10035, "WSAEWOULDBLOCK"},
      {-131, "State not recoverable"},
      {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
      {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
      {AVERROR_EOF, "End of file"},
      {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
      {AVERROR_EXIT, "Immediate exit requested"},
      {AVERROR_BUG2, "Internal bug, should not have happened"},
      {-7777, "Error number -7777 occurred"},
      {-41, "Error number -41 occurred"}, // a gap in the C error numbers
      {0, "Error number 0 occurred"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MediaErrorText("x.mp3", c.Code), std::string("x.mp3: ") + c.Text) << c.Code;
}

TEST(FFUtils, CorrectPts) {
  constexpr int64_t N = AV_NOPTS_VALUE;
  struct TStep {
    int64_t Dts, Pts, Result;
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
  };
  const TCase cases[] = {
      // Reordered pts that go back once make dts the better choice.
      {"reordered pts", {{0, 1, 1}, {1, 3, 3}, {2, 2, 2}, {3, 4, 3}, {4, 6, 4}}},
      // Repeated dts are faulty: pts win.
      {"faulty dts", {{5, 10, 10}, {5, 11, 11}, {5, 12, 12}}},
      {"dts only", {{N, N, N}, {7, N, 7}, {8, N, 8}}},
      {"pts only", {{N, 3, 3}, {N, 4, 4}}},
  };
  for (const auto& c : cases) {
    TPtsCorrectionContext ctx;
    ctx.num_faulty_dts = 99; // reset must clear whatever was there
    ResetPtsCorrection(ctx);
    EXPECT_EQ(ctx.last_pts, N);
    EXPECT_EQ(ctx.last_dts, N);
    for (size_t i = 0; i < c.Steps.size(); ++i)
      EXPECT_EQ(CorrectPts(ctx, c.Steps[i].Dts, c.Steps[i].Pts), c.Steps[i].Result)
          << c.Name << " step " << i;
  }
}

TEST(FFUtils, MediaTypeName) {
  const std::pair<int, const char*> cases[] = {{0, "Video"},    {1, "Audio"},      {2, "Data"},
                                               {3, "Subtitle"}, {4, "Attachment"}, {-1, "Unknown"},
                                               {5, "Unknown"}};
  for (const auto& [type, name] : cases) EXPECT_EQ(MediaTypeName(type), name) << type;
}

TEST(FFUtils, ReadWholeFile) {
  TTempDir dir;
  testsupport::WriteFile(dir / "empty", "");
  testsupport::WriteFile(dir / "stats", std::string("abc\0def", 7));

  std::vector<char> buf{'?'};
  int64_t size = -5;
  EXPECT_EQ(ReadWholeFile(dir / "missing", buf, size), -1);
  EXPECT_EQ(size, -5);
  // A folder opens but cannot be read: no success with garbage.
  EXPECT_EQ(ReadWholeFile(dir.Path().string(), buf, size), -1);

  ASSERT_EQ(ReadWholeFile(dir / "empty", buf, size), 0);
  EXPECT_EQ(size, 1);
  ASSERT_EQ(buf.size(), 1u);
  EXPECT_EQ(buf[0], '\0');

  ASSERT_EQ(ReadWholeFile(dir / "stats", buf, size), 0);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(std::string(buf.data(), buf.size()), std::string("abc\0def\0", 8));
}
