#include "player/FFPlay.h"

#include <sys/stat.h>

namespace {
std::atomic<int> GPlayerCount{0};
}

TCustomPlayer::TCustomPlayer(TFFBaseComponent* AOwner)
    : TFFBaseComponent(AOwner), FPlayerNumber(GPlayerCount++) {}

TCustomPlayer::~TCustomPlayer() {
  FSDL.Unload();
  UnloadAVLib();
}

bool TCustomPlayer::LoadAVLib(const std::string& APath, bool AAutoLoadSDL) {
  if (!FAVLoaded) {
    FFLoader().SetLibraryPath(APath);
    if (!FFLoader().Load(PlayerLibraries)) {
      SetLastErrMsg(FFLoader().LastErrMsg());
      return false;
    }
    FAVLoaded = true;
  }
  if (AAutoLoadSDL && !SDLLibLoaded()) return LoadSDLCopy(APath);
  return true;
}

bool TCustomPlayer::AVLibLoaded() const {
  return FFLoader().Loaded(PlayerLibraries);
}

void TCustomPlayer::UnloadAVLib() {
  if (!FAVLoaded) return;
  FFLoader().Unload(PlayerLibraries);
  FAVLoaded = false;
}

bool TCustomPlayer::LoadSDLLib(const std::string& APath, const std::string& AFile) {
  if (!FSDL.Load(APath, AFile)) {
    SetLastErrMsg(FSDL.LastErrMsg());
    return false;
  }
  return true;
}

bool TCustomPlayer::LoadSDLCopy(const std::string& APath) {
  std::string source;
  if (!APath.empty()) {
    std::string shipped = APath + "/" + SDLLibrarySoname;
    struct stat sb {};
    if (stat(shipped.c_str(), &sb) == 0) source = shipped;
  }
  std::string file, err;
  if (!PrepareSDLCopy(FPlayerNumber, file, err, source)) {
    SetLastErrMsg(err);
    return false;
  }
  return LoadSDLLib("", file);
}

bool TCustomPlayer::SDLLibLoaded() const {
  return FSDL.Loaded();
}
