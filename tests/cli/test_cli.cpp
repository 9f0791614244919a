// sondel-convert end to end on generated files.
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/engine/test_encoder_media.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;
using namespace encodertest;
namespace fs = std::filesystem;

namespace {

std::string Tool() {
  const char* bin = std::getenv("SONDEL_TEST_BIN");
  return std::string(bin ? bin : ".") + "/sondel-convert";
}

TRunResult Convert(std::vector<std::string> AArgs) {
  AArgs.insert(AArgs.begin(), Tool());
  return RunProgram(AArgs, 120);
}

bool Has(const std::string& AText, const std::string& APart) {
  return AText.find(APart) != std::string::npos;
}

class Cli : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    GDir = new TTempDir();
    const std::pair<const char*, std::vector<std::string>> media[] = {
        {"one.wav", {"-c:a", "pcm_s16le"}},
        {"two.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}},
        {"three.ogg", {"-c:a", "libvorbis"}},
        {"four.flac", {"-c:a", "flac"}},
    };
    double d = 0.3;
    for (auto& [name, codec] : media) {
      std::vector<std::string> args{"-f",  "lavfi", "-i", "sine=frequency=440:duration=" + std::to_string(d),
                                    "-ac", "2"};
      args.insert(args.end(), codec.begin(), codec.end());
      args.push_back((*GDir) / name);
      ASSERT_TRUE(MakeMedia(args));
      d += 0.1;
    }
    ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "sine=frequency=330:duration=2", "-ac", "2", "-c:a",
                           "pcm_s16le", (*GDir) / "long.wav"}));
  }
  static void TearDownTestSuite() {
    delete GDir;
    GDir = nullptr;
  }
  static TTempDir* GDir;
  static std::string In(const std::string& AName) { return (*GDir) / AName; }
  TTempDir Out;
};
TTempDir* Cli::GDir = nullptr;

TEST_F(Cli, UsageAndListing) {
  struct TCase {
    std::vector<std::string> Args;
    int Exit;
    const char* Says;
  };
  const TCase cases[] = {
      {{"--help"}, 0, "Usage: sondel-convert"},
      {{"--version"}, 0, "sondel-convert "},
      {{"--list-profiles"}, 0, " 0  FLAC"},
      {{}, 2, "no input file"},
      {{"--bogus", "x.wav"}, 2, "unknown option --bogus"},
      {{"--volume", "0", "x.wav"}, 2, "--volume"},
      {{"--volume=5001", "x.wav"}, 2, "--volume"},
      {{"-j", "0", "x.wav"}, 2, "-j: expected a whole number"},
      {{"--start", "1:75", "x.wav"}, 2, "hh:mm:ss"},
      {{"--start", "10", "--end", "00:00:05", "x.wav"}, 2, "--end must lie after --start"},
      {{"--merge", "--start", "1", "x.wav"}, 2, "--merge"},
      {{"-p", "nosuch", "x.wav"}, 2, "no such profile"},
      {{"-p", "99", "x.wav"}, 2, "no such profile"},
      {{"--profile"}, 2, "needs a value"},
  };
  for (auto& c : cases) {
    auto r = Convert(c.Args);
    EXPECT_EQ(r.ExitCode, c.Exit) << c.Says;
    EXPECT_TRUE(Has(r.Out + r.Err, c.Says)) << c.Says << "\n" << r.Out << r.Err;
  }
}

TEST_F(Cli, AFolderOfFilesConvertsWithEachProfile) {
  auto list = Convert({"--list-profiles"});
  ASSERT_EQ(list.ExitCode, 0);
  std::vector<std::pair<std::string, std::string>> profiles; // index, extension
  std::istringstream in(list.Out);
  for (std::string l; std::getline(in, l);) {
    auto dot = l.rfind(' ');
    profiles.emplace_back(std::to_string(std::atoi(l.c_str())), l.substr(dot + 1));
  }
  ASSERT_GE(profiles.size(), 11u);
  const std::vector<std::string> names{"one", "two", "three", "four"};
  for (auto& [index, ext] : profiles) {
    std::string dir = Out / index;
    auto r = Convert({"-q", "-j", "2", "-p", index, "-o", dir, In("one.wav"), In("two.mp3"), In("three.ogg"),
                      In("four.flac")});
    EXPECT_EQ(r.ExitCode, 0) << index << "\n" << r.Out << r.Err;
    for (size_t i = 0; i < names.size(); ++i) {
      std::string out = dir + "/" + names[i] + ext;
      ASSERT_TRUE(fs::exists(out)) << out;
      EXPECT_NEAR(DecodedDuration(out), 0.3 + 0.1 * double(i), 0.08) << out;
    }
  }
}

TEST_F(Cli, SummaryLinesProgressAndOverrides) {
  auto r = Convert({"-p", "mp3", "--rate", "32000", "--channels", "1", "--bitrate", "96k", "-o",
                    Out.Path().string(), In("one.wav")});
  ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
  std::string out = Out / "one.mp3";
  EXPECT_TRUE(Has(r.Out, "converted: " + In("one.wav") + " -> " + out)) << r.Out;
  EXPECT_TRUE(Has(r.Err, "progress: one.wav")) << r.Err; // plain lines: not a terminal
  EXPECT_EQ(ProbeValue(out, "stream=sample_rate"), "32000");
  EXPECT_EQ(ProbeValue(out, "stream=channels"), "1");
  EXPECT_EQ(ProbeValue(out, "stream=bit_rate"), "96000");
}

TEST_F(Cli, MergeGivesOneFileWithTheSumOfTheDurations) {
  auto r =
      Convert({"-q", "--merge", "-o", Out.Path().string(), In("one.wav"), In("two.mp3"), In("four.flac")});
  ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
  std::string out = Out / "Joined.flac";
  ASSERT_TRUE(fs::exists(out));
  EXPECT_NEAR(DecodedDuration(out), 0.3 + 0.4 + 0.6, 0.1);
  EXPECT_EQ(std::distance(fs::directory_iterator(Out.Path()), fs::directory_iterator()), 1);
}

TEST_F(Cli, StartAndEndTrimEveryFile) {
  auto r = Convert({"-q", "-p", "wav", "--start", "00:00:00.500", "--end", "0:01.5", "-o",
                    Out.Path().string(), In("long.wav"), In("four.flac")});
  // four.flac (0.6 s) starts before 0.5 s ends: 0.1 s remain.
  ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
  EXPECT_NEAR(DecodedDuration(Out / "long.wav"), 1.0, 0.03);
  EXPECT_NEAR(DecodedDuration(Out / "four.wav"), 0.1, 0.03);
}

TEST_F(Cli, ACorruptFileIsReportedAndTheOthersConvert) {
  std::string bad = Out / "bad.wav";
  WriteFile(bad, std::string("RIFF\x10\0\0\0WAVEjunkjunkjunk", 24));
  std::string dir = Out / "o";
  auto r = Convert({"-o", dir, In("one.wav"), bad, In("two.mp3")});
  EXPECT_EQ(r.ExitCode, 1) << r.Out << r.Err;
  EXPECT_TRUE(Has(r.Out, "failed: " + bad + ": ")) << r.Out;
  EXPECT_TRUE(Has(r.Out, "converted: " + In("one.wav"))) << r.Out;
  EXPECT_TRUE(Has(r.Out, "converted: " + In("two.mp3"))) << r.Out;
  EXPECT_TRUE(fs::exists(dir + "/one.flac"));
  EXPECT_TRUE(fs::exists(dir + "/two.flac"));
  EXPECT_FALSE(fs::exists(dir + "/bad.flac"));
}

TEST_F(Cli, AFileConvertedIntoItsOwnFolderAndFormatIsKept) {
  std::string own = Out / "song.flac";
  fs::copy_file(In("four.flac"), own);
  std::string before = ReadFile(own);
  // Twice: the second run must not take the first run's output either.
  for (int run = 1; run <= 2; ++run) {
    auto r = Convert({"-q", "-o", Out.Path().string(), own});
    ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    EXPECT_EQ(ReadFile(own), before);
    EXPECT_TRUE(fs::exists(Out / "song (1).flac"));
  }
  EXPECT_NEAR(DecodedDuration(Out / "song (1).flac"), 0.6, 0.05);
}

TEST_F(Cli, InfoPrintsEachFilesInformation) {
  auto r = Convert({"--info", In("one.wav"), In("two.mp3")});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_TRUE(Has(r.Out, In("one.wav")));
  EXPECT_TRUE(Has(r.Out, In("two.mp3")));
  EXPECT_TRUE(Has(r.Out, "44100")) << r.Out;
  std::string bad = Out / "bad.mp3";
  WriteFile(bad, "");
  r = Convert({"--info", bad, In("one.wav")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_TRUE(Has(r.Out, "failed: " + bad)) << r.Out;
}

} // namespace
