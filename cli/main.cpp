// sondel-convert: the converter without a window. Same engine, profile set
// and output naming as the application.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "app/ConversionPlan.h"
#include "app/Profiles.h"
#include "engine/FFEncode.h"
#include "log/FFLog.h"
#include "medialib/FFLoad.h"
#include "util/MainThread.h"

namespace fs = std::filesystem;

namespace {

const char* const Usage =
    "Usage: sondel-convert [options] FILE...\n"
    "Converts media files with an output profile.\n"
    "\n"
    "  -p, --profile NAME|INDEX  output profile (default: the first)\n"
    "      --list-profiles       list the profiles and exit\n"
    "  -o, --output DIR          output folder (default: the current folder)\n"
    "      --codec NAME          audio codec instead of the profile's\n"
    "      --rate HZ             sample rate instead of the profile's (0 keeps the input's)\n"
    "      --bitrate BPS         bit rate instead of the profile's (e.g. 192000 or 192k)\n"
    "      --channels N          channel count instead of the profile's\n"
    "      --volume PERCENT      output volume, 1 to 5000 (default 100)\n"
    "      --merge               join all files into one output \"Joined\" + extension\n"
    "      --start TIME          convert each file from TIME (hh:mm:ss[.mmm])\n"
    "      --end TIME            convert each file up to TIME (hh:mm:ss[.mmm])\n"
    "  -j, --jobs N              files converted at once (default: the number of cores)\n"
    "      --info                print each file's information and exit\n"
    "      --options TEXT        extra engine options for every output (name=value lines)\n"
    "  -q, --quiet               print nothing but errors\n"
    "      --help                show this help\n"
    "      --version             show the version\n"
    "\n"
    "Exit status: 0 when every file converted, 1 when some failed, 2 on a usage error.\n";

struct TUsageError {
  std::string Text;
};

struct TArgs {
  std::string Profile;
  bool ListProfiles = false;
  std::string OutputDir;
  std::optional<std::string> Codec, Rate, Bitrate, Channels;
  int Volume = 100;
  bool Merge = false;
  std::optional<int64_t> Start, End;
  int Jobs = 0;
  bool Info = false;
  std::string Options;
  bool Quiet = false;
  bool Help = false;
  bool Version = false;
  std::vector<std::string> Files;
};

bool ParseWhole(const std::string& AText, int64_t& AValue) {
  if (AText.empty() || AText.size() > 18) return false;
  int64_t v = 0;
  for (char c : AText) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  AValue = v;
  return true;
}

int ParseIntArg(const std::string& AOption, const std::string& AText, int64_t AMin, int64_t AMax) {
  int64_t v = 0;
  if (!ParseWhole(AText, v) || v < AMin || v > AMax)
    throw TUsageError{
        fmt::format("{}: expected a whole number from {} to {}, got \"{}\"", AOption, AMin, AMax, AText)};
  return static_cast<int>(v);
}

// hh:mm:ss[.mmm], also mm:ss and ss, in microseconds.
int64_t ParseTimeArg(const std::string& AOption, const std::string& AText) {
  auto bad = [&] {
    return TUsageError{fmt::format("{}: expected hh:mm:ss[.mmm], got \"{}\"", AOption, AText)};
  };
  std::string whole = AText, frac;
  if (size_t dot = AText.find('.'); dot != std::string::npos) {
    whole = AText.substr(0, dot);
    frac = AText.substr(dot + 1);
    if (frac.empty() || frac.size() > 6) throw bad();
  }
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    size_t c = whole.find(':', pos);
    parts.push_back(whole.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
    if (c == std::string::npos) break;
    pos = c + 1;
  }
  if (parts.size() > 3) throw bad();
  int64_t seconds = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    int64_t v = 0;
    if (!ParseWhole(parts[i], v)) throw bad();
    if (i > 0 && v >= 60) throw bad();
    seconds = seconds * 60 + v;
  }
  int64_t micro = 0;
  if (!frac.empty()) {
    int64_t v = 0;
    if (!ParseWhole(frac, v)) throw bad();
    for (size_t i = frac.size(); i < 6; ++i) v *= 10;
    micro = v;
  }
  return seconds * 1000000 + micro;
}

std::string BitrateArg(const std::string& AText) {
  std::string t = AText;
  int64_t mul = 1;
  if (!t.empty() && (t.back() == 'k' || t.back() == 'K')) {
    mul = 1000;
    t.pop_back();
  }
  int64_t v = 0;
  if (!ParseWhole(t, v) || v * mul <= 0 || v * mul > 100000000)
    throw TUsageError{
        fmt::format("--bitrate: expected bits per second (e.g. 192000 or 192k), got \"{}\"", AText)};
  return std::to_string(v * mul);
}

TArgs ParseArgs(int argc, char** argv) {
  TArgs a;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      a.Files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyFiles = true;
      continue;
    }
    std::string name = arg, inlineValue;
    bool hasInline = false;
    if (arg.rfind("--", 0) == 0) {
      if (size_t eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        inlineValue = arg.substr(eq + 1);
        hasInline = true;
      }
    }
    auto value = [&]() -> std::string {
      if (hasInline) return inlineValue;
      if (i + 1 >= argc) throw TUsageError{fmt::format("{} needs a value", name)};
      return argv[++i];
    };
    auto flag = [&] {
      if (hasInline) throw TUsageError{fmt::format("{} takes no value", name)};
    };
    if (name == "-p" || name == "--profile")
      a.Profile = value();
    else if (name == "--list-profiles")
      flag(), a.ListProfiles = true;
    else if (name == "-o" || name == "--output")
      a.OutputDir = value();
    else if (name == "--codec")
      a.Codec = value();
    else if (name == "--rate")
      a.Rate = std::to_string(ParseIntArg(name, value(), 0, 768000));
    else if (name == "--bitrate")
      a.Bitrate = BitrateArg(value());
    else if (name == "--channels")
      a.Channels = std::to_string(ParseIntArg(name, value(), 1, 8));
    else if (name == "--volume")
      a.Volume = ParseIntArg(name, value(), 1, 5000);
    else if (name == "--merge")
      flag(), a.Merge = true;
    else if (name == "--start")
      a.Start = ParseTimeArg(name, value());
    else if (name == "--end")
      a.End = ParseTimeArg(name, value());
    else if (name == "-j" || name == "--jobs")
      a.Jobs = ParseIntArg(name, value(), 1, 64);
    else if (name == "--info")
      flag(), a.Info = true;
    else if (name == "--options")
      a.Options = value();
    else if (name == "-q" || name == "--quiet")
      flag(), a.Quiet = true;
    else if (name == "--help" || name == "-h")
      flag(), a.Help = true;
    else if (name == "--version")
      flag(), a.Version = true;
    else
      throw TUsageError{fmt::format("unknown option {}", name)};
  }
  if (a.Start && a.End && *a.End <= *a.Start) throw TUsageError{"--end must lie after --start"};
  if (a.Merge && (a.Start || a.End)) throw TUsageError{"--start and --end cannot be used with --merge"};
  if (a.Codec && a.Codec->empty()) throw TUsageError{"--codec needs a codec name"};
  return a;
}

int FindProfile(const std::vector<TProfile>& AProfiles, const std::string& AName) {
  if (AName.empty()) return AProfiles.empty() ? -1 : 0;
  int64_t index = 0;
  if (ParseWhole(AName, index)) return index < int64_t(AProfiles.size()) ? int(index) : -1;
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::string want = lower(AName);
  for (size_t i = 0; i < AProfiles.size(); ++i)
    if (lower(AProfiles[i].Title) == want) return int(i);
  // A unique beginning of a title ("mp3") also names a profile.
  int found = -1;
  for (size_t i = 0; i < AProfiles.size(); ++i)
    if (lower(AProfiles[i].Title).rfind(want, 0) == 0) {
      if (found >= 0) return -2;
      found = int(i);
    }
  return found;
}

std::atomic<bool> GInterrupted{false};
void OnSignal(int) {
  GInterrupted = true;
}

std::string Plain(std::string AText) {
  AText.erase(std::remove(AText.begin(), AText.end(), '\r'), AText.end());
  return AText;
}

// Progress on a terminal: one bar line redrawn; otherwise a line per task
// at every tenth.
class TProgressView {
public:
  TProgressView(bool AQuiet, int ATasks) : FQuiet(AQuiet), FTty(isatty(STDERR_FILENO)), FTasks(ATasks) {}
  void Update(int ATask, const std::string& AName, int64_t ACurrent, int64_t ATotal) {
    if (FQuiet) return;
    double f = ATotal > 0 ? std::clamp(double(ACurrent) / double(ATotal), 0.0, 1.0) : 0.0;
    FFraction[ATask] = f;
    if (FTty) {
      Draw();
    } else {
      int tenth = int(f * 10);
      int& last = FLastTenth[ATask];
      if (tenth > last) {
        last = tenth;
        std::fprintf(stderr, "progress: %s %d%%\n", AName.c_str(), tenth * 10);
      }
    }
  }
  void TaskDone(int ATask) {
    FFraction[ATask] = 1.0;
    ++FDone;
    if (!FQuiet && FTty) Draw();
  }
  void ClearLine() {
    if (!FQuiet && FTty && FDrawn) std::fprintf(stderr, "\r\033[K");
  }
  void Redraw() {
    if (!FQuiet && FTty && FDrawn) Draw();
  }

private:
  bool FQuiet, FTty;
  int FTasks;
  int FDone = 0;
  bool FDrawn = false;
  std::map<int, double> FFraction;
  std::map<int, int> FLastTenth;
  void Draw() {
    double sum = 0;
    for (auto& [t, f] : FFraction) sum += f;
    double all = FTasks > 0 ? sum / FTasks : 1.0;
    const int width = 30;
    int filled = int(all * width);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), '.');
    std::fprintf(stderr, "\r[%s] %3d%%  %d/%d", bar.c_str(), int(all * 100), FDone, FTasks);
    std::fflush(stderr);
    FDrawn = true;
  }
};

int PrintInfo(TFFEncoder& AEncoder, const TArgs& AArgs) {
  int failed = 0;
  TFFDecoder& d = AEncoder.Decoder();
  for (auto& f : AArgs.Files) {
    bool ok = false;
    try {
      ok = d.LoadFile(f);
    } catch (const std::exception&) {
      ok = false;
    }
    if (!ok) {
      ++failed;
      std::printf("failed: %s: File %s is not a valid media file or its format is not supported.\n",
                  f.c_str(), f.c_str());
      continue;
    }
    std::printf("%s\n%s\n", f.c_str(), Plain(d.FileInfoText()).c_str());
    d.CloseFile();
  }
  std::fflush(stdout);
  return failed ? 1 : 0;
}

int Run(int argc, char** argv) {
  TArgs args;
  try {
    args = ParseArgs(argc, argv);
  } catch (const TUsageError& e) {
    std::fprintf(stderr, "sondel-convert: %s\nTry 'sondel-convert --help'.\n", e.Text.c_str());
    return 2;
  }
  if (args.Help) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (args.Version) {
    std::printf("sondel-convert %s\n", SONDEL_VERSION_TEXT);
    return 0;
  }

  std::vector<TProfile> profiles;
  std::string profilePath = (fs::path(ApplicationFolder()) / "sondel-profiles" / "formats.dat").string();
  if (!args.Info) {
    try {
      profiles = LoadProfileSet(profilePath);
      if (profiles.empty()) throw std::runtime_error("the file holds no profile");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "sondel-convert: Error loading profiles (%s): %s\n", profilePath.c_str(),
                   e.what());
      return 1;
    }
  }
  if (args.ListProfiles) {
    for (size_t i = 0; i < profiles.size(); ++i)
      std::printf("%2zu  %-40s %s\n", i, profiles[i].Title.c_str(), profiles[i].FormatExt.c_str());
    return 0;
  }
  if (args.Files.empty()) {
    std::fprintf(stderr, "sondel-convert: no input file\nTry 'sondel-convert --help'.\n");
    return 2;
  }

  THeadlessDispatcher dispatcher;
  Logger().SetLogLevel(llQuiet);
  TFFEncoder encoder;
  if (!encoder.LoadAVLib(ApplicationFolder())) {
    std::fprintf(stderr, "sondel-convert: %s\n", encoder.LastErrMsg().c_str());
    return 1;
  }
  if (args.Info) return PrintInfo(encoder, args);

  int profileInd = FindProfile(profiles, args.Profile);
  if (profileInd < 0) {
    std::fprintf(stderr, "sondel-convert: %s profile \"%s\" (see --list-profiles)\n",
                 profileInd == -2 ? "ambiguous" : "no such", args.Profile.c_str());
    return 2;
  }
  TProfile& p = profiles[profileInd];
  if (args.Codec) p.AudioCodecName = *args.Codec;
  if (args.Rate) p.SampleRate = *args.Rate;
  if (args.Bitrate) p.AudioBitRate = *args.Bitrate;
  if (args.Channels) p.Channel = *args.Channels;

  std::string outDir = args.OutputDir.empty() ? fs::current_path().string() : args.OutputDir;
  std::error_code ec;
  fs::create_directories(outDir, ec);
  if (!fs::is_directory(outDir)) {
    std::fprintf(stderr, "sondel-convert: cannot use the output folder %s\n", outDir.c_str());
    return 1;
  }

  // The rows of the run.
  int failedFiles = 0;
  auto reportFailure = [&](const std::string& AFile, const std::string& AReason) {
    ++failedFiles;
    std::printf("failed: %s: %s\n", AFile.c_str(), AReason.c_str());
    std::fflush(stdout);
  };
  std::vector<TAudioFile> files;
  for (auto& f : args.Files) {
    int64_t duration = -1;
    if (args.Start || args.End) {
      bool ok = false;
      try {
        ok = encoder.Decoder().LoadFile(f);
      } catch (const std::exception&) {
      }
      if (!ok) {
        reportFailure(f, fmt::format("File {} is not a valid media file or its format is not supported.", f));
        continue;
      }
      duration = encoder.Decoder().FileStreamInfo().Duration;
      encoder.Decoder().CloseFile();
    }
    TAudioFile row = NewAudioFile(f, duration, profileInd);
    if (args.Start) row.TimeStart = *args.Start;
    if (args.End)
      row.TimeEnd = *args.End;
    else if (duration <= 0)
      row.TimeEnd = row.TimeStart; // unknown length: start only
    if (duration > 0 && row.TimeStart >= duration) {
      reportFailure(f, "the start lies after the end of the file");
      continue;
    }
    files.push_back(row);
  }

  TRunSettings settings;
  settings.OutputFolder = outDir;
  settings.Volume = args.Volume;
  settings.Merge = args.Merge;
  settings.ExtOptions = args.Options;
  TConversionPlan plan;
  std::string error;
  if (!BuildConversionPlan(files, profiles, settings, plan, error)) {
    std::fprintf(stderr, "sondel-convert: %s\n", error.c_str());
    return 2;
  }
  std::vector<TQueueFailure> failures;
  std::vector<std::vector<int>> taskFiles;
  if (!files.empty()) QueueConversionPlan(encoder, files, plan, settings, false, failures, taskFiles);
  for (auto& f : failures) {
    if (f.FileIndex >= 0) {
      reportFailure(files[f.FileIndex].Source, f.Message);
    } else {
      for (auto& row : files) reportFailure(row.Source, f.Message);
    }
  }
  if (encoder.TasksCount() == 0) return 1;

  auto outputOf = [&](int ATask) {
    return args.Merge ? plan.OutputFiles[0] : plan.OutputFiles[taskFiles[ATask][0]];
  };
  TProgressView view(args.Quiet, encoder.TasksCount());
  bool done = false;
  bool stopped = false;
  encoder.SetProgressInterval(isatty(STDERR_FILENO) ? 200 : 500);
  encoder.OnProgress = [&](TCustomEncoder*, TProgressInfo* AInfo) {
    int t = AInfo->TaskIndex;
    if (t < 0 || size_t(t) >= taskFiles.size()) return;
    view.Update(t, fs::path(files[taskFiles[t][0]].Source).filename().string(), AInfo->CurrentDuration,
                AInfo->TotalDuration);
  };
  // Notices come on the encoder's notifier thread; the main thread prints.
  encoder.OnTerminate = [&](TCustomEncoder*, const TTerminateInfo& AInfo) {
    TTerminateInfo info = AInfo;
    PostToMainThread([&, info] {
      if (info.TaskIndex < 0) {
        done = true;
        return;
      }
      view.ClearLine();
      std::string out = outputOf(info.TaskIndex);
      for (int fi : taskFiles[info.TaskIndex]) {
        const std::string& src = files[fi].Source;
        if (info.Finished && !info.Exception) {
          if (!args.Quiet) std::printf("converted: %s -> %s\n", src.c_str(), out.c_str());
        } else {
          reportFailure(src, info.Exception ? info.ExceptionMsg : std::string("stopped"));
        }
      }
      std::fflush(stdout);
      view.TaskDone(info.TaskIndex);
    });
  };

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  int jobs = args.Jobs > 0 ? args.Jobs : int(std::max(1u, std::thread::hardware_concurrency()));
  encoder.Start(jobs);
  while (!done) {
    dispatcher.ProcessUntil([&] { return done || GInterrupted.load(); }, std::chrono::milliseconds(200));
    if (GInterrupted && !stopped) {
      stopped = true;
      encoder.Stop(false);
    }
  }
  view.ClearLine();
  encoder.OnTerminate = nullptr;
  encoder.OnProgress = nullptr;
  return failedFiles ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sondel-convert: %s\n", e.what());
    return 1;
  }
}
