// The media player component.
//
// This unit holds the player's library binding: the media libraries (the
// process-wide loader) and the player's own copy of the audio-output
// library. Playback itself builds on it.
#pragma once

#include <atomic>
#include <string>

#include "medialib/FFLoad.h"
#include "player/libsdl/SDLLoad.h"
#include "util/FFBaseComponent.h"

// The libraries a player needs.
constexpr TLibraries PlayerLibraries{avCodec, avCore, avFormat,   avUtil,
                                     swScale, myUtil, swResample, avFilter};

class TCustomPlayer : public TFFBaseComponent {
public:
  explicit TCustomPlayer(TFFBaseComponent* AOwner = nullptr);
  ~TCustomPlayer() override;

  // Sets the loader's library folder and loads the player's libraries; with
  // AAutoLoadSDL also the player's copy of the audio-output library (made
  // from APath's copy when the folder holds one, else from the system's).
  bool LoadAVLib(const std::string& APath, bool AAutoLoadSDL = true);
  bool AVLibLoaded() const;
  void UnloadAVLib();

  // Loads AFile from APath (or through the system's search) as this
  // player's audio-output library.
  bool LoadSDLLib(const std::string& APath, const std::string& AFile);
  // Makes this player's private copy of the audio-output library (the one
  // in APath when there is one, else the system's) and loads it.
  bool LoadSDLCopy(const std::string& APath);
  bool SDLLibLoaded() const;
  const TSDLEntryPoints& SDL() const { return FSDL.EntryPoints(); }

  // The number of this player among the players of the process (names its
  // library copy).
  int PlayerNumber() const { return FPlayerNumber; }

private:
  TSDLLoader FSDL;
  int FPlayerNumber;
  bool FAVLoaded = false;
};

class TDURivezu : public TCustomPlayer {
public:
  using TCustomPlayer::TCustomPlayer;
};
