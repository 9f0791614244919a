// Option text splitting and locale-free number conversion (no media libraries).
#include <clocale>

#include <gtest/gtest.h>

#include "engine/Options.h"

namespace {

struct TSplitCase {
  const char* Text;
  std::vector<TOptionLine> Lines;
};

TEST(OptionText, SplitsLinesAndNameValue) {
  const TSplitCase cases[] = {
      // A name alone is a boolean without a value.
      {"vn", {{"vn", ""}}},
      {"vn=", {{"vn", ""}}},
      // Only the first "=" splits.
      {"metadata=title=a=b", {{"metadata", "title=a=b"}}},
      // Every line break form and the literal <CRLF>.
      {"a=1<CRLF>b=2\r\nc=3\rd=4\ne", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", ""}}},
      // Blank lines (also trailing <CRLF>s) are no options.
      {"a=1\n\n   \n<CRLF><CRLF>b=2<CRLF><CRLF>", {{"a", "1"}, {"b", "2"}}},
      // The whole text is trimmed, single names and values are not.
      {"  \tx=1\n ar =1 \n", {{"x", "1"}, {" ar ", "1"}}},
      // An empty name is still an option (the store refuses it).
      {"=5", {{"", "5"}}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitOptionText(c.Text), c.Lines) << c.Text;
}

TEST(OptionText, IntegersAreStrict) {
  const struct {
    const char* Text;
    bool Ok;
    int64_t Value;
  } cases[] = {
      {"12", true, 12},
      {"-5", true, -5},
      {"+7", true, 7},
      {" 8 ", true, 8},
      {"0x1F", true, 31},
      {"$ff", true, 255},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"1.5", false, 0},
      {"abc", false, 0},
      {"", false, 0},
      {"12a", false, 0},
      {"--1", false, 0},
      {"0x", false, 0},
  };
  for (const auto& c : cases) {
    int32_t v = 0;
    EXPECT_EQ(TryStrToInt(c.Text, v), c.Ok) << c.Text;
    if (c.Ok) {
      EXPECT_EQ(v, c.Value) << c.Text;
    }
  }
  EXPECT_EQ(StrToInt64Strict("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(StrToInt64Strict("-9223372036854775808"), INT64_MIN);
  try {
    StrToIntStrict("x1");
    FAIL();
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
  }
}

TEST(OptionText, FloatsUseThePointWhateverTheLocale) {
  // A locale with a decimal comma, when the system has one.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  EXPECT_DOUBLE_EQ(StrToFloatStrict("0.5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloatStrict("-1e3"), -1000.0);
  EXPECT_DOUBLE_EQ(StrToFloatStrict("+2"), 2.0);
  for (const char* bad : {"1,5", "", "abc", "inf", "nan", "1.5x"}) {
    try {
      StrToFloatStrict(bad);
      ADD_FAILURE() << bad;
    } catch (const FFmpegException& e) {
      EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid floating point value");
    }
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!comma) GTEST_LOG_(INFO) << "no decimal-comma locale installed; checked in the C locale only";
}

} // namespace
