// Where the application finds its data and the user's folders, and loading
// the media libraries at start-up.
#pragma once

#include <string>

struct TAppPaths {
  std::string AppFolder; // with a trailing separator

  std::string ProfilesFolder() const { return AppFolder + "sondel-profiles/"; }
  std::string ProfileSetFile() const { return ProfilesFolder() + "formats.dat"; }
  std::string GettingStartedPicture() const { return ProfilesFolder() + "gs.bmp"; }
  std::string LogoPicture() const { return ProfilesFolder() + "logo.bmp"; }
  std::string LibAVFolder() const { return AppFolder + "LibAV"; }
};

// The folder of the running program, with a trailing separator.
std::string RunningAppFolder();

// documents + "/Tavrik/Tavrik Sondel" and its "/Output" subfolder.
std::string PerUserFolder(const std::string& ADocuments);
std::string PerUserOutputFolder(const std::string& ADocuments);

// Loads the media libraries the encoder needs from AFolder (else from the
// system's library path). False with AErrMsg set to the loader's message.
bool LoadMediaLibraries(const std::string& AFolder, std::string& AErrMsg);
bool MediaLibrariesLoaded();
