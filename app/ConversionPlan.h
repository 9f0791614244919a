// The conversion plan: files of the list and their profiles turned into
// the encoder's option records, output names and tasks. Used by the main
// window's run and by sondel-convert.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/Profiles.h"
#include "engine/FFEncode.h"

// One file of the list.
struct TAudioFile {
  std::string Source;         // full path of the input
  std::string SourceTitleExt; // file name with extension, no folder
  int64_t TrimmedLength = 0;  // microseconds
  double EstimatedSize = 0;
  std::string DestinationTitle; // output name without folder and extension
  std::string Status = "-";
  int64_t TimeStart = 0; // microseconds
  int64_t TimeEnd = 0;   // microseconds
  int ProfileInd = 0;
  int64_t Duration = -1; // the file's duration when added; -1 when unknown
};

// A list entry for ASource as when it is added: the whole duration, the
// title without the extension.
TAudioFile NewAudioFile(const std::string& ASource, int64_t ADuration, int AProfileInd);

// The title without its last extension ("song.final.mp3" -> "song.final");
// a name whose only point is its first character stays whole.
std::string TitleWithoutExt(const std::string& AFileName);
// A title safe as a file name: "/" and control characters become "_"; an
// empty title becomes ASourceTitleExt without its extension.
std::string CleanDestinationTitle(const std::string& ATitle, const std::string& ASourceTitleExt);

// Volume in per cent -> the engine's volume (256 = unchanged), rounded to
// the nearest integer with halves to even.
int VolumeToAudioVolume(int APercent);

// The row was trimmed: it converts only its part.
bool IsTrimmed(const TAudioFile& AFile);

struct TRunSettings {
  std::string OutputFolder;
  int Volume = 100; // per cent
  bool Merge = false;
  int SelectedFile = 0;   // the file whose record carries Join (merge)
  std::string ExtOptions; // extra option text of every output
};

struct TConversionPlan {
  std::vector<TInputOptions> InputOptionsList;   // one per file
  std::vector<TOutputOptions> OutputOptionsList; // one per file
  std::vector<std::string> OutputFiles;          // one per file; with merge one entry: the joined file
};

// Fills the records and output names of a run. False with AError when a
// file's profile index or one of its profile values is not usable; the run
// must then not start. Output names never name an input of the run nor an
// earlier output of the run: a clash gets " (1)", " (2)" ... appended.
bool BuildConversionPlan(const std::vector<TAudioFile>& AFiles, const std::vector<TProfile>& AProfiles,
                         const TRunSettings& ASettings, TConversionPlan& APlan, std::string& AError);

struct TQueueFailure {
  int FileIndex = -1;
  std::string Message;
  std::string Mark;
};

// Adds the plan's tasks to AEncoder (its list is cleared first). With
// AStopAtFirst the first failure ends the queueing (the window's run);
// otherwise a failing file is left out and the others are queued.
// ATaskFiles receives, per task, the files it converts. True when nothing
// failed.
bool QueueConversionPlan(TCustomEncoder& AEncoder, const std::vector<TAudioFile>& AFiles,
                         TConversionPlan& APlan, const TRunSettings& ASettings, bool AStopAtFirst,
                         std::vector<TQueueFailure>& AFailures, std::vector<std::vector<int>>& ATaskFiles);

// Two paths name the same file (device and inode when both exist, else
// the normalised absolute paths).
bool SamePath(const std::string& A, const std::string& B);
