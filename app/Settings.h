// The user's settings that survive restarts, kept in the settings store's
// group "Tavrik Sondel"; the error-report mail and web addresses are read
// from the groups "ErrorReport" and "Web" of the same store.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/Profiles.h"
#include "platform/Settings.h"

inline constexpr const char* SettingsGroupName = "Tavrik Sondel";

struct TStoredSettings {
  std::optional<std::string> OutputPath;
  std::optional<std::string> OpenAudioDialogPath;
  std::optional<int> RecentProfileInd;
  std::optional<int> LastEditedProfileInd;
  std::optional<std::string> AudioCodecName;
  std::optional<std::string> AudioBitRate;
  std::optional<std::string> SampleRate;
  std::optional<std::string> Channels;
};

// False when the store holds no settings (nothing is read). Values of the
// wrong type count as absent.
bool ReadStoredSettings(ISettingsStore& AStore, TStoredSettings& ASettings);
// Drops the profile indexes that name no profile of a set of ACount.
void DropInvalidProfileIndexes(TStoredSettings& ASettings, int ACount);
// Puts the four stored values into the last edited profile, each only when it
// is a value of that profile's choice list. Returns how many were applied.
int ApplyStoredProfileValues(const TStoredSettings& ASettings, std::vector<TProfile>& AProfiles);

struct TSettingsToSave {
  std::string OutputPath;
  std::optional<std::string> OpenAudioDialogPath; // only after the dialog returned files
  int RecentProfileInd = 0;
  int LastEditedProfileInd = -1;
};

// Writes the settings; the last edited profile's values only for an index
// naming a profile. False with AError on failure.
bool SaveStoredSettings(ISettingsStore& AStore, const TSettingsToSave& ASettings,
                        const std::vector<TProfile>& AProfiles, std::string& AError);

// Error-report mail and the web addresses.
struct TReportConfig {
  std::string Server; // empty: not configured, the mailto fallback is used
  int Port = 26;
  std::string User; // the report mailbox when empty
  std::string Password;
  std::string ReportMailbox = "sondel-reports@tavrik.example";
  std::string SupportMailbox = "sondel-support@tavrik.example";
};

struct TWebPages {
  std::string OnlineGuide = "https://tavrik.example/sondel/guide";
  std::string Support = "https://tavrik.example/support";
  std::string ProductPage = "https://tavrik.example/sondel";
};

TReportConfig ReadReportConfig(ISettingsStore& AStore);
TWebPages ReadWebPages(ISettingsStore& AStore);
