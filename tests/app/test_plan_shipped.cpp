// The shipped profile set: every profile converts a generated file with its
// chosen values and with each value of each of its choice lists.
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ConversionPlan.h"
#include "app/Profiles.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "tests/support/TestSupport.h"
#include "util/MainThread.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

std::string ProfileFile() {
  const char* bin = std::getenv("SONDEL_TEST_BIN");
  return std::string(bin ? bin : ".") + "/sondel-profiles/formats.dat";
}

// The decoder name ffprobe reports for an encoder.
std::string CodecOf(const std::string& AEncoder) {
  static const std::map<std::string, std::string> m{
      {"libmp3lame", "mp3"}, {"libvorbis", "vorbis"}, {"libopus", "opus"}};
  auto it = m.find(AEncoder);
  return it == m.end() ? AEncoder : it->second;
}

struct TVariant {
  std::string What; // e.g. "SampleRate=22050"
  TProfile Profile;
};

TEST(ShippedProfiles, TheSetAndItsOrder) {
  auto p = LoadProfileSet(ProfileFile());
  ASSERT_GE(p.size(), 11u);
  EXPECT_EQ(p[0].FormatExt, ".flac");
  std::vector<std::string> exts;
  for (auto& x : p) {
    exts.push_back(x.FormatExt);
    // Every chosen value is one of its list's values.
    EXPECT_GE(ChoiceIndex(x.AudioCodecs, x.AudioCodecName), 0) << x.Title;
    EXPECT_GE(ChoiceIndex(x.SampleRates, x.SampleRate), 0) << x.Title;
    EXPECT_GE(ChoiceIndex(x.AudioBitRates, x.AudioBitRate), 0) << x.Title;
    EXPECT_GE(ChoiceIndex(x.Channels, x.Channel), 0) << x.Title;
    std::vector<std::string> values, captions;
    for (auto* list : {&x.AudioCodecs, &x.SampleRates, &x.AudioBitRates, &x.Channels}) {
      SplitChoiceList(*list, values, captions);
      EXPECT_EQ(values.size(), captions.size()) << x.Title << ": " << *list;
    }
  }
  for (auto e : {".mp3", ".aac", ".m4a", ".ogg", ".opus", ".wav", ".wma", ".ac3", ".mp2"})
    EXPECT_NE(std::find(exts.begin(), exts.end(), e), exts.end()) << e;
}

TEST(ShippedProfiles, EveryChoiceConverts) {
  ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg();
  Logger().SetLogLevel(llQuiet);
  auto profiles = LoadProfileSet(ProfileFile());
  TTempDir dir;
  std::string src = dir / "source.wav";
  ASSERT_TRUE(MakeMedia({"-f", "lavfi", "-i", "sine=frequency=440:duration=0.5", "-ac", "2", "-ar", "44100",
                         "-c:a", "pcm_s16le", src}));

  // One row per variant: the chosen values, then each other list value.
  std::vector<TVariant> variants;
  for (auto& p : profiles) {
    variants.push_back({p.Title + " defaults", p});
    const std::pair<const char*, std::pair<std::string TProfile::*, std::string TProfile::*>> lists[] = {
        {"codec", {&TProfile::AudioCodecs, &TProfile::AudioCodecName}},
        {"rate", {&TProfile::SampleRates, &TProfile::SampleRate}},
        {"bitrate", {&TProfile::AudioBitRates, &TProfile::AudioBitRate}},
        {"channels", {&TProfile::Channels, &TProfile::Channel}}};
    for (auto& [name, fields] : lists) {
      std::vector<std::string> values, captions;
      SplitChoiceList(p.*fields.first, values, captions);
      for (auto& v : values) {
        if (v == p.*fields.second) continue; // the defaults row has it
        TVariant var{p.Title + " " + name + "=" + v, p};
        var.Profile.*fields.second = v;
        variants.push_back(var);
      }
    }
  }
  std::vector<TProfile> set;
  std::vector<TAudioFile> rows;
  for (size_t i = 0; i < variants.size(); ++i) {
    set.push_back(variants[i].Profile);
    TAudioFile row = NewAudioFile(src, 500000, int(i));
    row.DestinationTitle = "v" + std::to_string(i);
    rows.push_back(row);
  }
  TRunSettings s;
  s.OutputFolder = dir.Path().string();
  TConversionPlan plan;
  std::string err;
  ASSERT_TRUE(BuildConversionPlan(rows, set, s, plan, err)) << err;

  THeadlessDispatcher dispatcher;
  TFFEncoder enc;
  std::vector<TQueueFailure> failures;
  std::vector<std::vector<int>> tasks;
  EXPECT_TRUE(QueueConversionPlan(enc, rows, plan, s, false, failures, tasks));
  for (auto& f : failures) ADD_FAILURE() << variants[f.FileIndex].What << ": " << f.Message;
  std::mutex lock;
  std::map<int, TTerminateInfo> notices;
  std::atomic<bool> done{false};
  enc.OnTerminate = [&](TCustomEncoder*, const TTerminateInfo& AInfo) {
    std::lock_guard l(lock);
    if (AInfo.TaskIndex < 0)
      done = true;
    else
      notices[AInfo.TaskIndex] = AInfo;
  };
  enc.Start(2);
  ASSERT_TRUE(dispatcher.ProcessUntil([&] { return done.load(); }, 300s));

  // Read every output back (two ffprobe runs at a time).
  std::vector<std::string> probes(tasks.size());
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t t; (t = next++) < tasks.size();)
      probes[t] = RunProgram({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                              "stream=codec_name,sample_rate,channels,bit_rate:packet=pts_time,duration_time",
                              "-of", "default=nw=1", plan.OutputFiles[tasks[t][0]]})
                      .Out;
  };
  std::thread helper(worker);
  worker();
  helper.join();
  for (size_t t = 0; t < tasks.size(); ++t) {
    int i = tasks[t][0];
    const TProfile& p = set[i];
    const std::string& what = variants[i].What;
    EXPECT_TRUE(notices[int(t)].Finished) << what << ": " << notices[int(t)].ExceptionMsg;
    std::map<std::string, std::string> f;
    double end = 0, pts = 0;
    std::istringstream in(probes[t]);
    for (std::string l; std::getline(in, l);) {
      auto eq = l.find('=');
      if (eq == std::string::npos) continue;
      std::string k = l.substr(0, eq), v = l.substr(eq + 1);
      if (k == "pts_time")
        pts = std::atof(v.c_str());
      else if (k == "duration_time") {
        // The last Vorbis packet may carry a wrapped duration; count only sane ones.
        double d = std::atof(v.c_str());
        end = std::max(end, pts + (d < 10 ? d : 0));
      } else
        f[k] = v;
    }
    EXPECT_EQ(f["codec_name"], CodecOf(p.AudioCodecName)) << what;
    std::string rate = p.SampleRate == "0" ? "44100" : p.SampleRate;
    if (p.AudioCodecName != "libopus") { // Opus decodes at 48000
      EXPECT_EQ(f["sample_rate"], rate) << what;
    }
    EXPECT_EQ(f["channels"], p.Channel) << what;
    // Constant bit rate encoders keep the chosen rate exactly.
    if (p.AudioCodecName == "libmp3lame" || p.AudioCodecName == "mp2" || p.AudioCodecName == "ac3") {
      EXPECT_EQ(f["bit_rate"], p.AudioBitRate) << what;
    }
    EXPECT_NEAR(end, 0.5, 0.09) << what;
  }
}

} // namespace
