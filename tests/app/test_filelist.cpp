// The file list's operations, the size estimate, the FLAC lock, the open
// dialog's filter, folder expansion and the run's gauges and final line.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/AddFiles.h"
#include "app/ConversionProgress.h"
#include "app/FileList.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

TEST(FileList, FormatDuration) {
  const struct {
    int64_t Us;
    const char* Text;
  } cases[] = {
      {0, "00:00:00"},
      {5'900'000, "00:00:05"},
      {3'725'900'000, "01:02:05"},    // the fraction is dropped
      {360'000'000'000, "100:00:00"}, // hours are not wrapped at 24
      {86'399'000'000, "23:59:59"},
      {-1, "00:00:00"}, // unknown
      {-5'000'000, "00:00:00"},
  };
  for (auto& c : cases) EXPECT_EQ(FormatDuration(c.Us), c.Text) << c.Us;
}

TEST(FileList, EstimatedSize) {
  std::vector<TProfile> profiles(3);
  profiles[0].AudioBitRate = "128000";
  profiles[1].AudioBitRate = "128k"; // not a whole number
  profiles[2].AudioBitRate = "";
  const struct {
    int Profile;
    int64_t Length;
    double Before, After;
  } cases[] = {
      {0, 180'000'000, 0, 2.8125},
      {0, 180'900'000, 0, 2.8125},                                         // whole seconds
      {0, 25LL * 3600 * 1'000'000, 0, 128000.0 / 8000 * 25 * 3600 / 1024}, // a day and more
      {1, 180'000'000, 7.5, 7.5},                                          // keeps the previous value
      {2, 180'000'000, 7.5, 7.5},
      {3, 180'000'000, 7.5, 7.5}, // no such profile
      {-1, 180'000'000, 0, 0},
  };
  for (auto& c : cases) {
    TAudioFile f;
    f.ProfileInd = c.Profile;
    f.TrimmedLength = c.Length;
    f.EstimatedSize = c.Before;
    UpdateEstimatedSize(f, profiles);
    EXPECT_DOUBLE_EQ(f.EstimatedSize, c.After) << c.Profile << " " << c.Length;
  }
}

namespace {

TFileList ListOf(int ACount) {
  TFileList l;
  for (int i = 0; i < ACount; ++i)
    l.AudioFiles.push_back(NewAudioFile("/m/" + std::string(1, char('a' + i)) + ".wav", 1'000'000, 0));
  return l;
}

std::string Titles(const TFileList& AList) {
  std::string s;
  for (auto& f : AList.AudioFiles) s += f.DestinationTitle;
  return s;
}

} // namespace

// (files, selection, operation) -> (titles, selection, result).
TEST(FileList, Operations) {
  enum TOp { opRemove, opUp, opDown };
  const struct {
    int Count, Selected;
    TOp Op;
    const char* Titles;
    int SelectedAfter;
    bool Changed;
  } cases[] = {
      {0, -1, opRemove, "", -1, false},
      {1, 0, opRemove, "", -1, true},    // the only file: Clear All
      {1, -1, opRemove, "a", -1, false}, // no file selected
      {2, 0, opRemove, "b", 0, true},
      {2, 1, opRemove, "a", 0, true},  // the last row: the selection moves up with it
      {3, 0, opRemove, "bc", 0, true}, // the others keep their order
      {3, 1, opRemove, "ac", 1, true},
      {4, 1, opRemove, "acd", 1, true},
      {1, 0, opUp, "a", 0, false},
      {3, 0, opUp, "abc", 0, false}, // first row
      {3, 2, opUp, "acb", 1, true},
      {3, 2, opDown, "abc", 2, false}, // last row
      {3, 0, opDown, "bac", 1, true},
      {3, -1, opDown, "abc", -1, false},
      {3, 7, opUp, "abc", 7, false}, // a selection on no file
  };
  for (auto& c : cases) {
    TFileList l = ListOf(c.Count);
    l.Selected = c.Selected;
    bool changed = false;
    switch (c.Op) {
    case opRemove:
      changed = l.Remove() != TFileList::TRemoveResult::Nothing;
      break;
    case opUp:
      changed = l.MoveUp();
      break;
    case opDown:
      changed = l.MoveDown();
      break;
    }
    SCOPED_TRACE(testing::Message() << c.Count << " files, selected " << c.Selected << ", op " << c.Op);
    EXPECT_EQ(Titles(l), c.Titles);
    EXPECT_EQ(l.Selected, c.SelectedAfter);
    EXPECT_EQ(changed, c.Changed);
  }
  // A swap exchanges every field.
  TFileList l = ListOf(2);
  l.AudioFiles[1].TimeStart = 5;
  l.AudioFiles[1].ProfileInd = 3;
  l.SwapAudioFiles(0, 1);
  EXPECT_EQ(l.AudioFiles[0].Source, "/m/b.wav");
  EXPECT_EQ(l.AudioFiles[0].TimeStart, 5);
  EXPECT_EQ(l.AudioFiles[0].ProfileInd, 3);
  EXPECT_FALSE(l.SetDestinationTitle(2, "x"));
  EXPECT_TRUE(l.SetDestinationTitle(1, ""));
  EXPECT_EQ(l.AudioFiles[1].DestinationTitle, "");
}

TEST(FileList, FlacLockRule) {
  const struct {
    const char* Name;
    bool Flac;
  } cases[] = {{"a.flac", true}, {"A.FLAC", true},      {"x.Flac", true},   {"a.mp3", false},
               {"flac", false},  {"a.flac.mp3", false}, {"a.flacc", false}, {".flac", true}};
  for (auto& c : cases) EXPECT_EQ(IsFlacSource(c.Name), c.Flac) << c.Name;
  std::vector<TProfile> profiles(3);
  profiles[0].FormatExt = ".mp3";
  profiles[1].FormatExt = ".FLAC"; // exactly ".flac" only
  profiles[2].FormatExt = ".flac";
  EXPECT_EQ(FirstFlacProfile(profiles), 2);
  profiles.pop_back();
  EXPECT_EQ(FirstFlacProfile(profiles), -1);
}

TEST(AddFiles, DialogFilter) {
  std::string f = OpenDialogFilterText();
  EXPECT_EQ(f.rfind("All Supported Formats|*.aac;*.ac3;*.ape;", 0), 0u);
  EXPECT_NE(f.find(";*.wma;*.mod;*.mts; *.ts; *m2ts; *.tp;*.avi;"), std::string::npos);
  EXPECT_NE(f.find("|Audio Formats|*.aac;"), std::string::npos);
  EXPECT_NE(f.find("*.wma;|Video Formats|*.mod;"), std::string::npos);
  EXPECT_NE(f.find("|Free Lossless Audio (*.flac)|*.flac;|"), std::string::npos);
  EXPECT_NE(f.find("|MPEG files (*.mpg; *.mpeg)|*.mpg; *.mpeg;|"), std::string::npos);
  EXPECT_EQ(f.substr(f.size() - 34), "|Video Object files (*.vob)|*.vob;");

  std::string q = QtOpenDialogFilter(f);
  size_t entries = 1;
  for (size_t at = q.find(";;"); at != std::string::npos; at = q.find(";;", at + 2)) ++entries;
  EXPECT_EQ(entries, 3u + 17 + 17);
  EXPECT_EQ(q.rfind("All Supported Formats (*.aac *.AAC *.ac3 *.AC3 ", 0), 0u);
  EXPECT_NE(q.find(";;Free Lossless Audio (*.flac *.FLAC);;"), std::string::npos);
  EXPECT_NE(q.find(";;High-definition files (*.mts *.MTS *.ts *.TS *m2ts *M2TS *.tp *.TP);;"),
            std::string::npos);
  EXPECT_NE(q.find("Raw h.264 video files (*.h.264 *.H.264)"), std::string::npos);
}

TEST(AddFiles, MediaNamesAndFolders) {
  const struct {
    const char* Name;
    bool Media;
  } cases[] = {{"song.mp3", true},   {"SONG.MP3", true}, {"Song.Flac", true},
               {"clip.m2ts", true},  {"clipm2ts", true}, {"movie.h.264", true},
               {"notes.txt", false}, {"mp3", false},     {"/dir.mp3/readme", false}};
  for (auto& c : cases) EXPECT_EQ(IsSupportedMediaName(c.Name), c.Media) << c.Name;

  TTempDir d;
  std::filesystem::create_directories(d.Path() / "album" / "cd2");
  for (const char* n : {"album/02.mp3", "album/01.WAV", "album/notes.txt", "album/cd2/01.flac"})
    WriteFile(d / n, "x");
  std::vector<std::string> got = ExpandMediaPaths({d / "single.ogg", d / "album", d / "missing.mp3"});
  std::vector<std::string> want = {d / "single.ogg", d / "album/01.WAV", d / "album/02.mp3",
                                   d / "album/cd2/01.flac", d / "missing.mp3"};
  EXPECT_EQ(got, want);
  EXPECT_EQ(RefusalMessage("/a/b/c.mp3"),
            "File c.mp3 is not a valid media file or its format is not supported.");
}

TEST(ConversionProgress, Gauges) {
  const struct {
    int Task;
    int64_t Current, Total;
    int Tasks;
    int WantCurrent, WantTotal;
  } cases[] = {
      {0, 50, 100, 1, 50, 50}, {1, 50, 100, 2, 50, 75},    {0, 1, 8, 4, 12, 3}, // 100/4 * 1/8 = 3.125
      {2, 0, 0, 4, 0, 50},                                 // unknown total: the task counts as not started
      {0, 5, -1, 1, 0, 0},     {0, 150, 100, 1, 100, 100}, // clamped
      {0, 1, 8, 0, 12, 12},                                // no task count: one task; 12.5 rounds to even
      {0, 1, 200, 1, 0, 0},                                // 0.5 rounds to even
      {0, 3, 200, 1, 1, 2},                                // 1.5 rounds to even
  };
  for (auto& c : cases) {
    TProgressInfo info;
    info.TaskIndex = c.Task;
    info.CurrentDuration = c.Current;
    info.TotalDuration = c.Total;
    int cur = -1, total = -1;
    ProgressGauges(info, c.Tasks, cur, total);
    EXPECT_EQ(cur, c.WantCurrent) << c.Task << " " << c.Current << "/" << c.Total;
    EXPECT_EQ(total, c.WantTotal) << c.Task << " " << c.Current << "/" << c.Total;
  }
  EXPECT_EQ(TotalGaugeAfter(3, 3), 100);
  EXPECT_EQ(TotalGaugeAfter(1, 3), 33);
}

TEST(ConversionProgress, FinalLine) {
  TRunOutcome o;
  o.TaskEnded({0, true, false, ""});
  EXPECT_EQ(o.FinalLine(false), "Conversion successfully done.");
  EXPECT_EQ(o.FinalLine(true), "Conversion cancelled.");
  o.TaskEnded({1, true, true, "boom"});
  EXPECT_EQ(o.FinalLine(false), "Conversion finished with errors.");
  o.Reset();
  o.TaskEnded({0, false, false, ""}); // stopped before its end
  EXPECT_EQ(o.FinalLine(false), "Conversion finished with errors.");
  o.Reset();
  o.TaskRefused();
  EXPECT_EQ(o.FinalLine(false), "Conversion finished with errors.");
}
