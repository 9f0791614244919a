// Output profiles: the profile set shipped in sondel-profiles/formats.dat.
//
// The file stores every byte as its bitwise complement. Its text holds
// <Profile> blocks of key lines (<key "value">) and ends at </ProfileSet>.
#pragma once

#include <string>
#include <vector>

struct TProfile {
  std::string Title;
  std::string FormatExt; // with its leading point
  std::string Description;
  std::string AudioBitRates; // choice lists: value$caption,value$caption
  std::string SampleRates;
  std::string Channels;
  std::string AudioCodecs;
  std::string AudioCodecName; // the chosen values
  std::string SampleRate;
  std::string AudioBitRate;
  std::string Channel;
  std::string ExtraParam;
};

// Splits a choice list into its values and captions (one scan: "$" ends a
// value, "," ends a caption, the rest at the end is a caption).
void SplitChoiceList(const std::string& AList, std::vector<std::string>& AValues,
                     std::vector<std::string>& ACaptions);

// Reads a profile set file; throws std::runtime_error on any failure
// (missing, unreadable or empty file, a key before the first profile).
std::vector<TProfile> LoadProfileSet(const std::string& AFileName);
// Parses the restored (plain) text of a profile set.
std::vector<TProfile> ParseProfileSet(const std::string& AText);
// Encodes plain text into the stored form (every byte complemented).
std::string EncodeProfileSet(const std::string& APlain);

// The position of AValue in the value list of AList (letter case ignored),
// or -1.
int ChoiceIndex(const std::string& AList, const std::string& AValue);
