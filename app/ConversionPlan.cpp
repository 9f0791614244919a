#include "app/ConversionPlan.h"

#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include <fmt/format.h>

namespace fs = std::filesystem;

std::string TitleWithoutExt(const std::string& AFileName) {
  size_t dot = AFileName.rfind('.');
  if (dot == std::string::npos || dot == 0) return AFileName;
  return AFileName.substr(0, dot);
}

TAudioFile NewAudioFile(const std::string& ASource, int64_t ADuration, int AProfileInd) {
  TAudioFile f;
  f.Source = ASource;
  f.SourceTitleExt = fs::path(ASource).filename().string();
  f.Duration = ADuration;
  f.TrimmedLength = ADuration > 0 ? ADuration : 0;
  f.TimeStart = 0;
  f.TimeEnd = f.TrimmedLength;
  f.DestinationTitle = TitleWithoutExt(f.SourceTitleExt);
  f.ProfileInd = AProfileInd;
  return f;
}

std::string CleanDestinationTitle(const std::string& ATitle, const std::string& ASourceTitleExt) {
  std::string t = ATitle;
  if (t.empty()) t = TitleWithoutExt(ASourceTitleExt);
  for (auto& c : t)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  // "." and ".." would name folders.
  if (t.empty() || t == "." || t == "..") t = "_" + t;
  return t;
}

int VolumeToAudioVolume(int APercent) {
  return static_cast<int>(std::nearbyint(static_cast<double>(APercent) * 256.0 / 100.0));
}

bool IsTrimmed(const TAudioFile& AFile) {
  if (AFile.TimeEnd <= AFile.TimeStart) return false;
  if (AFile.TimeStart > 0) return true;
  return AFile.Duration > 0 && AFile.TimeEnd < AFile.Duration;
}

bool SamePath(const std::string& A, const std::string& B) {
  struct stat sa {
  }, sb{};
  if (::stat(A.c_str(), &sa) == 0 && ::stat(B.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  std::error_code ec;
  fs::path pa = fs::weakly_canonical(fs::absolute(A, ec), ec);
  fs::path pb = fs::weakly_canonical(fs::absolute(B, ec), ec);
  return pa.lexically_normal() == pb.lexically_normal();
}

namespace {

bool ParseInt(const std::string& AText, int& AValue) {
  if (AText.empty()) return false;
  size_t i = AText[0] == '-' || AText[0] == '+' ? 1 : 0;
  if (i == AText.size()) return false;
  long long v = 0;
  for (; i < AText.size(); ++i) {
    if (AText[i] < '0' || AText[i] > '9') return false;
    v = v * 10 + (AText[i] - '0');
    if (v > INT32_MAX) return false;
  }
  AValue = static_cast<int>(AText[0] == '-' ? -v : v);
  return true;
}

std::string JoinPath(const std::string& AFolder, const std::string& AName) {
  return (fs::path(AFolder) / AName).string();
}

} // namespace

bool BuildConversionPlan(const std::vector<TAudioFile>& AFiles, const std::vector<TProfile>& AProfiles,
                         const TRunSettings& ASettings, TConversionPlan& APlan, std::string& AError) {
  APlan = TConversionPlan();
  size_t n = AFiles.size();
  APlan.InputOptionsList.resize(n);
  APlan.OutputOptionsList.resize(n);
  int volume = VolumeToAudioVolume(ASettings.Volume);
  for (size_t i = 0; i < n; ++i) {
    const TAudioFile& f = AFiles[i];
    if (f.ProfileInd < 0 || size_t(f.ProfileInd) >= AProfiles.size()) {
      AError = fmt::format("File \"{}\" has no valid profile.", f.SourceTitleExt);
      return false;
    }
    const TProfile& p = AProfiles[f.ProfileInd];
    TInputOptions& in = APlan.InputOptionsList[i];
    TOutputOptions& out = APlan.OutputOptionsList[i];
    InitInputOptions(in);
    InitOutputOptions(out);
    in.FileName = f.Source;
    out.FileExt = p.FormatExt;
    out.AudioCodec = p.AudioCodecName;
    const std::pair<const std::string*, int*> numbers[] = {{&p.Channel, &out.AudioChannels},
                                                           {&p.SampleRate, &out.AudioSampleRate},
                                                           {&p.AudioBitRate, &out.AudioBitrate}};
    for (auto& num : numbers)
      if (!ParseInt(*num.first, *num.second)) {
        AError = fmt::format("Profile \"{}\": \"{}\" is not a whole number.", p.Title, *num.first);
        return false;
      }
    out.AudioVolume = volume;
    out.DisableVideo = true;
    out.ExtOptions = ASettings.ExtOptions;
    if (!ASettings.Merge) {
      in.TimeStart = f.TimeStart;
      // Only a trimmed row is cut; an unknown duration never cuts.
      if (IsTrimmed(f)) out.TimeLength = f.TimeEnd - f.TimeStart;
      out.Info.TimeStamp = 0;
    }
  }

  // Output names: never an input of the run, never an earlier output.
  auto clashes = [&](const std::string& APath) {
    for (auto& f : AFiles)
      if (SamePath(APath, f.Source)) return true;
    for (auto& o : APlan.OutputFiles)
      if (SamePath(APath, o)) return true;
    return false;
  };
  auto unique = [&](const std::string& ATitle, const std::string& AExt) {
    std::string path = JoinPath(ASettings.OutputFolder, ATitle + AExt);
    for (int k = 1; clashes(path); ++k)
      path = JoinPath(ASettings.OutputFolder, fmt::format("{} ({}){}", ATitle, k, AExt));
    return path;
  };
  if (ASettings.Merge) {
    if (n == 0) return true;
    int k = ASettings.SelectedFile >= 0 && size_t(ASettings.SelectedFile) < n ? ASettings.SelectedFile : 0;
    APlan.OutputOptionsList[k].Join = true;
    APlan.OutputFiles.push_back(unique("Joined", AProfiles[AFiles[k].ProfileInd].FormatExt));
  } else {
    for (size_t i = 0; i < n; ++i) {
      const TAudioFile& f = AFiles[i];
      std::string title = CleanDestinationTitle(f.DestinationTitle, f.SourceTitleExt);
      APlan.OutputFiles.push_back(unique(title, AProfiles[f.ProfileInd].FormatExt));
    }
  }
  return true;
}

bool QueueConversionPlan(TCustomEncoder& AEncoder, const std::vector<TAudioFile>& AFiles,
                         TConversionPlan& APlan, const TRunSettings& ASettings, bool AStopAtFirst,
                         std::vector<TQueueFailure>& AFailures, std::vector<std::vector<int>>& ATaskFiles) {
  AEncoder.ClearTasks();
  ATaskFiles.clear();
  auto fail = [&](int AFile, std::string AMessage, const char* AMark) {
    AFailures.push_back({AFile, std::move(AMessage), AMark});
  };
  size_t before = AFailures.size();
  if (ASettings.Merge) {
    std::vector<int> files;
    for (size_t i = 0; i < AFiles.size(); ++i) {
      if (AEncoder.TasksCount() == 0) {
        if (AEncoder.AddTask(AFiles[i].Source, &APlan.InputOptionsList[i]) < 0) {
          fail(int(i), AEncoder.LastErrMsg(), "CLM_FFAddTaskToMerged");
          if (AStopAtFirst) return false;
          continue;
        }
      } else if (!AEncoder.AddInputFile(0, AFiles[i].Source, &APlan.InputOptionsList[i])) {
        fail(int(i), AEncoder.LastErrMsg(), "CLM_FFAddInputFileToMerged");
        if (AStopAtFirst) return false;
        continue;
      }
      files.push_back(int(i));
    }
    if (files.empty()) return false;
    int k = 0;
    for (size_t i = 0; i < APlan.OutputOptionsList.size(); ++i)
      if (APlan.OutputOptionsList[i].Join) k = int(i);
    if (!AEncoder.SetOutputFile(0, APlan.OutputFiles[0], &APlan.OutputOptionsList[k])) {
      fail(-1, "Cannot set output file (Merge): " + AEncoder.LastErrMsg(), "CLM_SetOutputFileMerge");
      AEncoder.RemoveTask(0);
      return false;
    }
    ATaskFiles.push_back(files);
    return AFailures.size() == before;
  }
  for (size_t i = 0; i < AFiles.size(); ++i) {
    int task = AEncoder.AddTask(AFiles[i].Source, &APlan.InputOptionsList[i]);
    if (task < 0) {
      fail(int(i), AEncoder.LastErrMsg(), "CLM_FFAddTaskToMerged");
      if (AStopAtFirst) return false;
      continue;
    }
    if (!AEncoder.SetOutputFile(task, APlan.OutputFiles[i], &APlan.OutputOptionsList[i])) {
      fail(int(i), "Cannot set output file: " + AEncoder.LastErrMsg(), "CLM_SetOutputFile");
      // A task without output would only be refused at its start.
      AEncoder.RemoveTask(task);
      if (AStopAtFirst) return false;
      continue;
    }
    ATaskFiles.push_back({int(i)});
  }
  return AFailures.size() == before;
}
