// The conversion plan: rows and profiles to option records and output names.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ConversionPlan.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

std::vector<TProfile> Profiles() {
  TProfile flac;
  flac.Title = "FLAC";
  flac.FormatExt = ".flac";
  flac.AudioCodecName = "flac";
  flac.SampleRate = "44100";
  flac.AudioBitRate = "900000";
  flac.Channel = "2";
  TProfile mp3 = flac;
  mp3.Title = "MP3";
  mp3.FormatExt = ".mp3";
  mp3.AudioCodecName = "libmp3lame";
  mp3.AudioBitRate = "192000";
  mp3.Channel = "1";
  return {flac, mp3};
}

TEST(Plan, RecordsOfARowAndItsProfile) {
  TAudioFile f = NewAudioFile("/music/song.final.mp3", 60000000, 1);
  EXPECT_EQ(f.SourceTitleExt, "song.final.mp3");
  EXPECT_EQ(f.DestinationTitle, "song.final");
  EXPECT_EQ(f.TimeEnd, 60000000);
  TRunSettings s;
  s.OutputFolder = "/out";
  s.Volume = 150;
  TConversionPlan plan;
  std::string err;
  ASSERT_TRUE(BuildConversionPlan({f}, Profiles(), s, plan, err)) << err;
  const TInputOptions& in = plan.InputOptionsList[0];
  const TOutputOptions& out = plan.OutputOptionsList[0];
  EXPECT_EQ(in.FileName, "/music/song.final.mp3");
  EXPECT_EQ(in.TimeStart, 0);
  EXPECT_EQ(plan.OutputFiles[0], "/out/song.final.mp3");
  EXPECT_EQ(out.FileName, ""); // filled by the encoder from its argument
  EXPECT_EQ(out.FileExt, ".mp3");
  EXPECT_EQ(out.AudioCodec, "libmp3lame");
  EXPECT_EQ(out.AudioChannels, 1);
  EXPECT_EQ(out.AudioSampleRate, 44100);
  EXPECT_EQ(out.AudioBitrate, 192000);
  EXPECT_EQ(out.AudioVolume, 384);
  EXPECT_TRUE(out.DisableVideo);
  EXPECT_EQ(out.TimeLength, TimeNotSet); // not trimmed
  EXPECT_EQ(out.Info.TimeStamp, 0);
  EXPECT_FALSE(out.Join);
}

TEST(Plan, VolumePercentRoundsHalvesToEven) {
  const std::pair<int, int> cases[] = {{1, 3},        {50, 128}, {100, 256}, {150, 384},
                                       {5000, 12800}, {2, 5},    {25, 64}};
  for (auto [percent, volume] : cases) EXPECT_EQ(VolumeToAudioVolume(percent), volume) << percent;
  EXPECT_EQ(VolumeToAudioVolume(3), 8); // 7.68
}

TEST(Plan, OnlyATrimmedRowIsCut) {
  struct TCase {
    int64_t Duration, Start, End;
    bool Trimmed;
  };
  const TCase cases[] = {
      {60000000, 10000000, 40000000, true},                    // 10 s .. 40 s
      {60000000, 0, 60000000, false},                          // the whole file
      {60000000, 0, 50000000, true},        {-1, 0, 0, false}, // unknown duration never cuts
      {-1, 5000000, 9000000, true},         {60000000, 40000000, 40000000, false}, // end not after start
  };
  for (auto& c : cases) {
    TAudioFile f = NewAudioFile("/m/a.wav", c.Duration, 0);
    f.TimeStart = c.Start;
    f.TimeEnd = c.End;
    EXPECT_EQ(IsTrimmed(f), c.Trimmed) << c.Start << ".." << c.End;
    TConversionPlan plan;
    std::string err;
    TRunSettings s;
    s.OutputFolder = "/o";
    ASSERT_TRUE(BuildConversionPlan({f}, Profiles(), s, plan, err));
    EXPECT_EQ(plan.InputOptionsList[0].TimeStart, c.Start);
    EXPECT_EQ(plan.OutputOptionsList[0].TimeLength, c.Trimmed ? c.End - c.Start : TimeNotSet);
  }
}

TEST(Plan, DestinationTitlesAreSafeFileNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},        {"../up", ".._up"}, {"a/b", "a_b"},
      {"tab\there", "tab_here"}, {"", "src"},        {"..", "_.."},
  };
  for (auto& [title, want] : cases) EXPECT_EQ(CleanDestinationTitle(title, "src.wav"), want) << title;
  EXPECT_EQ(TitleWithoutExt("noext"), "noext");
  EXPECT_EQ(TitleWithoutExt(".hidden"), ".hidden");
}

TEST(Plan, OutputsNeverNameAnInputOrAnEarlierOutput) {
  TTempDir dir;
  for (auto n : {"a.flac", "a.mp3", "b.flac", "b (1).flac"}) WriteFile(dir / n, "x");
  std::vector<TAudioFile> rows{NewAudioFile(dir / "a.flac", -1, 0), NewAudioFile(dir / "a.mp3", -1, 0),
                               NewAudioFile(dir / "b.flac", -1, 0)};
  TRunSettings s;
  s.OutputFolder = dir.Path().string();
  TConversionPlan plan;
  std::string err;
  ASSERT_TRUE(BuildConversionPlan(rows, Profiles(), s, plan, err));
  // a.flac is an input; a.mp3 -> a.flac clashes too; "b (1).flac" only
  // exists and is replaced like any unrelated file.
  EXPECT_EQ(plan.OutputFiles[0], dir / "a (1).flac");
  EXPECT_EQ(plan.OutputFiles[1], dir / "a (2).flac");
  EXPECT_EQ(plan.OutputFiles[2], dir / "b (1).flac");
  // The same folder through another spelling is the same folder.
  s.OutputFolder = dir.Path().string() + "/./";
  ASSERT_TRUE(BuildConversionPlan({rows[0]}, Profiles(), s, plan, err));
  EXPECT_NE(plan.OutputFiles[0], dir / "a.flac");
  EXPECT_TRUE(SamePath(dir / "a.flac", dir.Path().string() + "/./a.flac"));
}

TEST(Plan, MergeJoinsIntoTheSelectedRowsProfileAndIgnoresTrims) {
  std::vector<TAudioFile> rows{NewAudioFile("/m/a.wav", 60000000, 0), NewAudioFile("/m/b.wav", 60000000, 1)};
  rows[0].TimeStart = 10000000;
  TRunSettings s;
  s.OutputFolder = "/o";
  s.Merge = true;
  s.SelectedFile = 1;
  TConversionPlan plan;
  std::string err;
  ASSERT_TRUE(BuildConversionPlan(rows, Profiles(), s, plan, err));
  ASSERT_EQ(plan.OutputFiles.size(), 1u);
  EXPECT_EQ(plan.OutputFiles[0], "/o/Joined.mp3");
  EXPECT_FALSE(plan.OutputOptionsList[0].Join);
  EXPECT_TRUE(plan.OutputOptionsList[1].Join);
  EXPECT_EQ(plan.InputOptionsList[0].TimeStart, TimeNotSet);
  EXPECT_EQ(plan.OutputOptionsList[0].TimeLength, TimeNotSet);
  EXPECT_EQ(plan.OutputOptionsList[0].Info.TimeStamp, -1.0);
}

TEST(Plan, UnusableProfilesStopTheRun) {
  auto profiles = Profiles();
  TConversionPlan plan;
  std::string err;
  TRunSettings s;
  EXPECT_FALSE(BuildConversionPlan({NewAudioFile("/m/a.wav", -1, 2)}, profiles, s, plan, err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(BuildConversionPlan({NewAudioFile("/m/a.wav", -1, -1)}, profiles, s, plan, err));
  for (auto bad : {"", "44.1k", "12x", "99999999999"}) {
    auto p = profiles;
    p[0].SampleRate = bad;
    err.clear();
    EXPECT_FALSE(BuildConversionPlan({NewAudioFile("/m/a.wav", -1, 0)}, p, s, plan, err)) << bad;
    EXPECT_NE(err.find("is not a whole number"), std::string::npos) << err;
  }
  EXPECT_TRUE(BuildConversionPlan({}, profiles, s, plan, err));
}

} // namespace
