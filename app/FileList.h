// The file list: the files the next conversion run converts, in order, and
// the operations on it (remove, clear, move, rename), the size estimate and
// the rule that ties a selected file to a profile (the FLAC lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/ConversionPlan.h"
#include "app/Profiles.h"

// "%.2d:%.2d:%.2d" of hours (not wrapped at 24), minutes and seconds; the
// fraction of a second is dropped and negative lengths show as 00:00:00.
std::string FormatDuration(int64_t AMicroseconds);

// The estimated output size in the list's "MB" (bit rate / 1000 / 8 x
// seconds / 1024). A profile index outside AProfiles or a bit rate that is
// not a whole number keeps the previous value.
void UpdateEstimatedSize(TAudioFile& AFile, const std::vector<TProfile>& AProfiles);

// A FLAC input may choose its profile; the extension is compared without
// regard to letter case.
bool IsFlacSource(const std::string& ASourceTitleExt);
// The first profile whose extension is exactly ".flac", or -1.
int FirstFlacProfile(const std::vector<TProfile>& AProfiles);

// The list and its selected file. Indexes are 0-based file indexes; -1 is
// "no file selected". Every operation checks its indexes.
class TFileList {
public:
  std::vector<TAudioFile> AudioFiles;
  int Selected = -1;

  int Count() const { return static_cast<int>(AudioFiles.size()); }
  bool Valid(int AIndex) const { return AIndex >= 0 && AIndex < Count(); }

  // Exchanges every field of two entries.
  void SwapAudioFiles(int A, int B);
  // Empties the list; nothing is selected afterwards.
  void ClearAll();

  enum class TRemoveResult { Nothing, Removed, ClearedAll };
  // Removes the selected file, keeping the order of the others; removing the
  // only file is "Clear All". The selection stays on the same row number
  // (on the new last row when the last row was removed).
  TRemoveResult Remove();
  // Exchange the selected file with its neighbour; the selection follows.
  // False when nothing moved.
  bool MoveUp();
  bool MoveDown();
  // Stores a destination title into the given file (false for a bad index).
  bool SetDestinationTitle(int AIndex, const std::string& ATitle);
};
