// Adding files to the list: the open dialog's filter, the names that count
// as media when folders are dropped, and probing each file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TFFDecoder;

struct TMediaFormat {
  const char* Name;
  const char* Pattern; // one or more patterns separated by "; "
};

// The 17 audio and the 17 video formats of the open dialog.
const std::vector<TMediaFormat>& AudioFormats();
const std::vector<TMediaFormat>& VideoFormats();

// The dialog's filter: description and pattern pairs separated by "|"
// ("All Supported Formats|*.aac;...|Audio Formats|...").
std::string OpenDialogFilterText();
// The same filter in the Qt dialog's syntax ("desc (p1 p2);;desc (p3)").
// Every pattern with letters is given once more in capitals, since the
// file system tells "SONG.MP3" from "song.mp3".
std::string QtOpenDialogFilter(const std::string& AFilterText);

// The name matches one of the dialog's patterns, in any letter case.
bool IsSupportedMediaName(const std::string& AFileName);

// Dropped or named paths: files stay as they are (the probe decides), and a
// folder gives its media files, those of its subfolders included, sorted by
// path. Paths that do not exist are passed on so that the probe refuses
// them with its message.
std::vector<std::string> ExpandMediaPaths(const std::vector<std::string>& APaths);

// "File <name> is not a valid media file or its format is not supported."
std::string RefusalMessage(const std::string& AFileName);

// Opens AFileName with the probe. True with its duration (microseconds, -1
// when unknown); false with the probe's message. The probe is closed again.
bool ProbeMediaFile(TFFDecoder& ADecoder, const std::string& AFileName, int64_t& ADuration,
                    std::string& AError);
