// The settings model and the report text, without windows.
#include <gtest/gtest.h>

#include "app/Report.h"
#include "app/Settings.h"
#include "tests/support/TestSupport.h"

namespace {
std::vector<TProfile> TwoProfiles() {
  TProfile a;
  a.Title = "A";
  a.AudioCodecs = "flac$FLAC";
  a.AudioCodecName = "flac";
  a.AudioBitRates = "900000$~900";
  a.AudioBitRate = "900000";
  a.SampleRates = "0$Original,44100$44.1,48000$48";
  a.SampleRate = "44100";
  a.Channels = "1$Mono,2$Stereo";
  a.Channel = "2";
  TProfile b = a;
  b.Title = "B";
  b.AudioCodecs = "libmp3lame$MP3,libshine$Shine";
  b.AudioCodecName = "libmp3lame";
  b.AudioBitRates = "128000$128,320000$320";
  b.AudioBitRate = "128000";
  return {a, b};
}
} // namespace

TEST(StoredProfileValues, OnlyMembersOfTheChoiceListsAreApplied) {
  struct TCase {
    std::optional<int> Index;
    const char *Codec, *BitRate, *Rate, *Channels;
    int Applied;
    TProfile Expected;
  };
  auto base = TwoProfiles();
  TProfile allB = base[1];
  allB.AudioCodecName = "libshine"; // a member regardless of letter case, stored as the list spells it
  allB.AudioBitRate = "320000";
  allB.SampleRate = "0";
  allB.Channel = "1";
  TProfile someB = base[1];
  someB.AudioBitRate = "320000";
  const TCase cases[] = {
      {1, "LIBSHINE", "320000", "0", "1", 4, allB},
      {1, "aac", "320000", "22050", "two", 1, someB},
      {std::nullopt, "libshine", "320000", "0", "1", 0, base[1]},
      {5, "libshine", "320000", "0", "1", 0, base[1]},
  };
  for (const TCase& c : cases) {
    auto profiles = TwoProfiles();
    TStoredSettings s;
    s.LastEditedProfileInd = c.Index;
    s.AudioCodecName = c.Codec;
    s.AudioBitRate = c.BitRate;
    s.SampleRate = c.Rate;
    s.Channels = c.Channels;
    EXPECT_EQ(ApplyStoredProfileValues(s, profiles), c.Applied);
    EXPECT_EQ(profiles[1].AudioCodecName, c.Expected.AudioCodecName);
    EXPECT_EQ(profiles[1].AudioBitRate, c.Expected.AudioBitRate);
    EXPECT_EQ(profiles[1].SampleRate, c.Expected.SampleRate);
    EXPECT_EQ(profiles[1].Channel, c.Expected.Channel);
    EXPECT_EQ(profiles[0].SampleRate, "44100");
  }
}

TEST(StoredProfileValues, SavingAnIndexBeyondTheSetWritesNoProfileValues) {
  testsupport::TTempDir dir;
  TIniSettingsStore store(dir / "s.conf");
  auto profiles = TwoProfiles();
  TSettingsToSave s;
  s.OutputPath = "/out";
  s.RecentProfileInd = 1;
  s.LastEditedProfileInd = 7;
  std::string err;
  ASSERT_TRUE(SaveStoredSettings(store, s, profiles, err)) << err;
  TSettingsGroup g;
  ASSERT_TRUE(store.ReadGroup(SettingsGroupName, g));
  EXPECT_EQ(g.Integer("recentprofileind"), 1);
  EXPECT_FALSE(g.Has("lasteditedprofileind"));
  EXPECT_FALSE(g.Has("audiobitrate"));
  EXPECT_FALSE(g.Has("OpenAudioDialogPath"));
}

TEST(ReportText, MediaLogLinesAndSections) {
  EXPECT_EQ(MediaLogLine(123, llQuiet, "q"), "#123.0: q");
  EXPECT_EQ(MediaLogLine(9, llDebug, "d"), "#9.7: d");
  std::vector<std::string> lines = {"FFLOGGER HISTORY:"};
  AppendReportSections(lines, {"10:00:00-> a"}, {"msg", "CLM_X", "", "x@y", ""});
  EXPECT_EQ(lines, std::vector<std::string>({"FFLOGGER HISTORY:", "-------------------------",
                                             "ACTION HISTORY:", "10:00:00-> a", "-------------------------",
                                             "LAST ERROR MESSAGE: msg", "CODE LINE MARK: CLM_X"}));
  EXPECT_EQ(SplitLines("a\r\nb\rc\n\nd"), std::vector<std::string>({"a", "b", "c", "", "d"}));
}
