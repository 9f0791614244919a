#include "app/AppPaths.h"

#include "medialib/FFLoad.h"

std::string RunningAppFolder() {
  std::string f = ApplicationFolder();
  if (f.empty() || f.back() != '/') f += '/';
  return f;
}

std::string PerUserFolder(const std::string& ADocuments) {
  return ADocuments + "/Tavrik/Tavrik Sondel";
}

std::string PerUserOutputFolder(const std::string& ADocuments) {
  return PerUserFolder(ADocuments) + "/Output";
}

bool LoadMediaLibraries(const std::string& AFolder, std::string& AErrMsg) {
  TFFLoader& loader = FFLoader();
  loader.SetLibraryPath(AFolder);
  if (loader.Load(EncoderLibraries)) return true;
  AErrMsg = loader.LastErrMsg();
  if (AErrMsg.empty()) AErrMsg = "Cannot load the media libraries from " + AFolder;
  return false;
}

bool MediaLibrariesLoaded() {
  return FFLoader().Loaded(EncoderLibraries);
}
