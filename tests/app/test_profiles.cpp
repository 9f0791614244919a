// The profile set reader: file form, line grammar and choice lists.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/Profiles.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;
using namespace std::string_literals;

namespace {

struct TReadCase {
  const char* Name;
  std::string Text;
  std::vector<std::pair<std::string, std::string>> Profiles; // Title, FormatExt per profile
};

const TReadCase ReadCases[] = {
    {"LinesWithoutQuotesGiveEmptyFields",
     "<ProfileSet>\n<Profile>\n<ProfileName value=FLAC/>\n<FormatExt "
     "value=.flac/>\n</Profile>\n<Profile>\n</ProfileSet>",
     {{"", ""}, {"", ""}}},
    {"KeysInAnyLetterCase", "<Profile>\n<PROFILENAME v=\"A\"/>\n<formatExt v=\".mp3\"/>", {{"A", ".mp3"}}},
    {"ProfileStartInAnotherCaseIsNoStart",
     "<Profile>\n<ProfileName v=\"A\"/>\n<profile>\n<ProfileName v=\"B\"/>\n<FormatExt v=\".ogg\"/>",
     {{"B", ".ogg"}}},
    {"NothingAfterTheSetEnd",
     "<Profile>\n<ProfileName v=\"A\"/>\n</ProfileSet>\n<Profile>\n<ProfileName v=\"B\"/>",
     {{"A", ""}}},
    {"OnlyTheFirstQuotedTextAndTheLastKeyCount",
     "  <Profile>  \r\n\t<ProfileName a=\"One\" b=\"Two\"/>\r<ProfileName "
     "v=\"Three\"/>\r\n<FormatExt\t\".x\">",
     {{"Three", ""}}},
    {"UnknownKeysAndTagsAreIgnored",
     "<?xml version=\"1.0\"?>\n<ProfileSet>\n<Profile>\n<Other v=\"x\"/>\n</Profile>",
     {{"", ""}}},
    {"Utf8ByteOrderMark",
     "\xEF\xBB\xBF<Profile>\n<ProfileName v=\"\xC3\xA9t\xC3\xA9\"/>",
     {{"\xC3\xA9t\xC3\xA9", ""}}},
    {"Utf16LittleEndian",
     "\xFF\xFE<\0P\0r\0o\0f\0i\0l\0e\0>\0\n\0<\0T\0i\0t\0l\0e\0 \0\"\0x\0\"\0"s +
         "\n\0<\0F\0o\0r\0m\0a\0t\0E\0x\0t\0 \0\"\0.\0a\0\"\0"s,
     {{"", ".a"}}},
};

class ProfileRead : public ::testing::TestWithParam<TReadCase> {};

TEST_P(ProfileRead, Reads) {
  TTempDir dir;
  std::string file = dir / "formats.dat";
  WriteFile(file, EncodeProfileSet(GetParam().Text));
  std::vector<TProfile> p = LoadProfileSet(file);
  ASSERT_EQ(p.size(), GetParam().Profiles.size());
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(p[i].Title, GetParam().Profiles[i].first) << i;
    EXPECT_EQ(p[i].FormatExt, GetParam().Profiles[i].second) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileRead, ::testing::ValuesIn(ReadCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(ProfileSet, LoadFailures) {
  TTempDir dir;
  EXPECT_THROW(LoadProfileSet(dir / "missing.dat"), std::runtime_error);
  WriteFile(dir / "empty.dat", "");
  EXPECT_THROW(LoadProfileSet(dir / "empty.dat"), std::runtime_error);
  // A known key before the first profile has nowhere to go.
  WriteFile(dir / "early.dat", EncodeProfileSet("<ProfileSet>\n<ProfileName v=\"A\"/>\n<Profile>\n"));
  EXPECT_THROW(LoadProfileSet(dir / "early.dat"), std::runtime_error);
  // Plain (not complemented) text is not a profile set.
  WriteFile(dir / "plain.dat", "<Profile>\n<ProfileName v=\"A\"/>\n");
  EXPECT_TRUE(LoadProfileSet(dir / "plain.dat").empty());
}

TEST(ProfileSet, AllTwelveKeys) {
  auto p = ParseProfileSet(
      "<Profile>\n<ProfileName v=\"T\"/>\n<FormatExt v=\".e\"/>\n<Description v=\"D\"/>\n<AudioBitRates "
      "v=\"1$a\"/>\n"
      "<SampleRates v=\"2$b\"/>\n<Channels v=\"3$c\"/>\n<AudioCodecs v=\"x$y\"/>\n<AudioCodecName v=\"x\"/>\n"
      "<SampleRate v=\"2\"/>\n<AudioBitRate v=\"1\"/>\n<Channel v=\"3\"/>\n<ExtraParam v=\"E\"/>\n");
  ASSERT_EQ(p.size(), 1u);
  const TProfile& t = p[0];
  EXPECT_EQ(std::vector<std::string>({t.Title, t.FormatExt, t.Description, t.AudioBitRates, t.SampleRates,
                                      t.Channels, t.AudioCodecs, t.AudioCodecName, t.SampleRate,
                                      t.AudioBitRate, t.Channel, t.ExtraParam}),
            std::vector<std::string>({"T", ".e", "D", "1$a", "2$b", "3$c", "x$y", "x", "2", "1", "3", "E"}));
}

struct TSplitCase {
  std::string List;
  std::vector<std::string> Values, Captions;
};

TEST(ProfileSet, ChoiceListSplit) {
  const TSplitCase cases[] = {
      {"8000$A,16000$B", {"8000", "16000"}, {"A", "B"}},
      {"8000$A,", {"8000"}, {"A", ""}},
      {"", {}, {""}},
      {" 1 $ one ,2$two", {" 1 ", "2"}, {" one ", "two"}},
      {"1$a,2,3$c", {"1", "3"}, {"a", "2", "c"}}, // an item without "$" shifts the lists
  };
  for (auto& c : cases) {
    std::vector<std::string> v, k;
    SplitChoiceList(c.List, v, k);
    EXPECT_EQ(v, c.Values) << c.List;
    EXPECT_EQ(k, c.Captions) << c.List;
  }
  EXPECT_EQ(ChoiceIndex("flac$FLAC,LibMp3Lame$MP3", "libmp3lame"), 1);
  EXPECT_EQ(ChoiceIndex("1$a,2$b", "3"), -1);
  EXPECT_EQ(ChoiceIndex("", ""), -1);
}

} // namespace
