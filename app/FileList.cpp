#include "app/FileList.h"

#include <utility>

#include <fmt/format.h>

std::string FormatDuration(int64_t AMicroseconds) {
  int64_t s = AMicroseconds > 0 ? AMicroseconds / 1000000 : 0;
  return fmt::format("{:02d}:{:02d}:{:02d}", s / 3600, (s / 60) % 60, s % 60);
}

void UpdateEstimatedSize(TAudioFile& AFile, const std::vector<TProfile>& AProfiles) {
  if (AFile.ProfileInd < 0 || static_cast<size_t>(AFile.ProfileInd) >= AProfiles.size()) return;
  const std::string& text = AProfiles[static_cast<size_t>(AFile.ProfileInd)].AudioBitRate;
  if (text.empty() || text.size() > 12) return;
  int64_t rate = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return;
    rate = rate * 10 + (c - '0');
  }
  // Whole seconds, counted directly: lengths of a day and more estimate too.
  int64_t seconds = AFile.TrimmedLength > 0 ? AFile.TrimmedLength / 1000000 : 0;
  AFile.EstimatedSize = static_cast<double>(rate) / 1000.0 / 8.0 * static_cast<double>(seconds) / 1024.0;
}

bool IsFlacSource(const std::string& ASourceTitleExt) {
  size_t dot = ASourceTitleExt.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = ASourceTitleExt.substr(dot);
  if (ext.size() != 5) return false;
  for (auto& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".flac";
}

int FirstFlacProfile(const std::vector<TProfile>& AProfiles) {
  for (size_t i = 0; i < AProfiles.size(); ++i)
    if (AProfiles[i].FormatExt == ".flac") return static_cast<int>(i);
  return -1;
}

void TFileList::SwapAudioFiles(int A, int B) {
  if (!Valid(A) || !Valid(B) || A == B) return;
  std::swap(AudioFiles[static_cast<size_t>(A)], AudioFiles[static_cast<size_t>(B)]);
}

void TFileList::ClearAll() {
  AudioFiles.clear();
  Selected = -1;
}

TFileList::TRemoveResult TFileList::Remove() {
  if (AudioFiles.empty() || !Valid(Selected)) return TRemoveResult::Nothing;
  if (Count() == 1) {
    ClearAll();
    return TRemoveResult::ClearedAll;
  }
  // Carry the file to the end, then drop the last entry.
  for (int i = Selected; i + 1 < Count(); ++i) SwapAudioFiles(i, i + 1);
  AudioFiles.pop_back();
  if (Selected >= Count()) Selected = Count() - 1;
  return TRemoveResult::Removed;
}

bool TFileList::MoveUp() {
  if (Count() < 2 || !Valid(Selected) || Selected == 0) return false;
  SwapAudioFiles(Selected - 1, Selected);
  --Selected;
  return true;
}

bool TFileList::MoveDown() {
  if (Count() < 2 || !Valid(Selected) || Selected + 1 >= Count()) return false;
  SwapAudioFiles(Selected, Selected + 1);
  ++Selected;
  return true;
}

bool TFileList::SetDestinationTitle(int AIndex, const std::string& ATitle) {
  if (!Valid(AIndex)) return false;
  AudioFiles[static_cast<size_t>(AIndex)].DestinationTitle = ATitle;
  return true;
}
