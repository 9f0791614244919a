// Run-time binding of the SDL 1.2 library used by the players for audio
// output, the video overlay, the event queue, threads and locks.
//
// SDL keeps process-wide state (audio device, video surface, event queue), so
// every player loads its own copy of the library file: TSDLLoader refuses a
// file that another loader of this process holds. Files are told apart by
// their canonical path and by (device, inode), which also catches hard links,
// symbolic links and two loaders that both fell back to the system's soname.
//
// Contract of the table:
// - SDL is never linked: every call goes through TSDLEntryPoints. The types
//   are those of the SDL 1.2 headers.
// - Every entry is set while Loaded() is true, SDL_putenv included: when the
//   library exports none (SDL 1.2 builds that map it to putenv), it points to
//   SDLSetEnvAssignment, which copies the value with setenv.
// - SDL_Linked_Version and SDL_WasInit are extras: null when not exported.
// - The library is opened with RTLD_NOW | RTLD_LOCAL, and it is refused when
//   another SDL is in the process's global symbol scope (its copies would
//   bind their internal calls to it).
// - SDLLock() guards the list of loaded files; the players take the same
//   lock around setting SDL's environment variables and calling SDL_Init.
//   It is not re-entrant: never call Load or Unload while holding it.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include <SDL/SDL.h>

// The SDL 1.2 headers turn these names into macros (putenv, SDL_mutexP,
// SDL_mutexV). The table keeps them as field names, so they must not expand.
#undef SDL_putenv
#undef SDL_LockMutex
#undef SDL_UnlockMutex

// X(field, type, exported name). The order is the order of the table.
#define SONDEL_SDL_ENTRY_POINTS(X)                                                                           \
  X(SDL_Init, decltype(&::SDL_Init), "SDL_Init")                                                             \
  X(SDL_Quit, decltype(&::SDL_Quit), "SDL_Quit")                                                             \
  X(SDL_putenv, TSDLPutEnvProc, "SDL_putenv")                                                                \
  X(SDL_GetError, decltype(&::SDL_GetError), "SDL_GetError")                                                 \
  X(SDL_OpenAudio, decltype(&::SDL_OpenAudio), "SDL_OpenAudio")                                              \
  X(SDL_PauseAudio, decltype(&::SDL_PauseAudio), "SDL_PauseAudio")                                           \
  X(SDL_CloseAudio, decltype(&::SDL_CloseAudio), "SDL_CloseAudio")                                           \
  X(SDL_MixAudio, decltype(&::SDL_MixAudio), "SDL_MixAudio")                                                 \
  X(SDL_WaitEvent, decltype(&::SDL_WaitEvent), "SDL_WaitEvent")                                              \
  X(SDL_PushEvent, decltype(&::SDL_PushEvent), "SDL_PushEvent")                                              \
  X(SDL_EventState, decltype(&::SDL_EventState), "SDL_EventState")                                           \
  X(SDL_GetVideoInfo, decltype(&::SDL_GetVideoInfo), "SDL_GetVideoInfo")                                     \
  X(SDL_SetVideoMode, decltype(&::SDL_SetVideoMode), "SDL_SetVideoMode")                                     \
  X(SDL_UpdateRect, decltype(&::SDL_UpdateRect), "SDL_UpdateRect")                                           \
  X(SDL_WM_SetCaption, decltype(&::SDL_WM_SetCaption), "SDL_WM_SetCaption")                                  \
  X(SDL_MapRGB, decltype(&::SDL_MapRGB), "SDL_MapRGB")                                                       \
  X(SDL_FillRect, decltype(&::SDL_FillRect), "SDL_FillRect")                                                 \
  X(SDL_CreateYUVOverlay, decltype(&::SDL_CreateYUVOverlay), "SDL_CreateYUVOverlay")                         \
  X(SDL_LockYUVOverlay, decltype(&::SDL_LockYUVOverlay), "SDL_LockYUVOverlay")                               \
  X(SDL_UnlockYUVOverlay, decltype(&::SDL_UnlockYUVOverlay), "SDL_UnlockYUVOverlay")                         \
  X(SDL_DisplayYUVOverlay, decltype(&::SDL_DisplayYUVOverlay), "SDL_DisplayYUVOverlay")                      \
  X(SDL_FreeYUVOverlay, decltype(&::SDL_FreeYUVOverlay), "SDL_FreeYUVOverlay")                               \
  X(SDL_CreateMutex, decltype(&::SDL_CreateMutex), "SDL_CreateMutex")                                        \
  X(SDL_LockMutex, decltype(&::SDL_mutexP), "SDL_mutexP")                                                    \
  X(SDL_UnlockMutex, decltype(&::SDL_mutexV), "SDL_mutexV")                                                  \
  X(SDL_DestroyMutex, decltype(&::SDL_DestroyMutex), "SDL_DestroyMutex")                                     \
  X(SDL_CreateCond, decltype(&::SDL_CreateCond), "SDL_CreateCond")                                           \
  X(SDL_DestroyCond, decltype(&::SDL_DestroyCond), "SDL_DestroyCond")                                        \
  X(SDL_CondSignal, decltype(&::SDL_CondSignal), "SDL_CondSignal")                                           \
  X(SDL_CondWait, decltype(&::SDL_CondWait), "SDL_CondWait")                                                 \
  X(SDL_CreateThread, decltype(&::SDL_CreateThread), "SDL_CreateThread")                                     \
  X(SDL_WaitThread, decltype(&::SDL_WaitThread), "SDL_WaitThread")                                           \
  X(SDL_AudioDriverName, decltype(&::SDL_AudioDriverName), "SDL_AudioDriverName")                            \
  X(SDL_VideoDriverName, decltype(&::SDL_VideoDriverName), "SDL_VideoDriverName")

// Resolved when present, ignored when missing.
#define SONDEL_SDL_EXTRA_ENTRY_POINTS(X)                                                                     \
  X(SDL_Linked_Version, decltype(&::SDL_Linked_Version), "SDL_Linked_Version")                               \
  X(SDL_WasInit, decltype(&::SDL_WasInit), "SDL_WasInit")

using TSDLPutEnvProc = int (*)(const char* AVariable);

struct TSDLEntryPoints {
#define SONDEL_SDL_FIELD(name, type, symbol) type name = nullptr;
  SONDEL_SDL_ENTRY_POINTS(SONDEL_SDL_FIELD)
  SONDEL_SDL_EXTRA_ENTRY_POINTS(SONDEL_SDL_FIELD)
#undef SONDEL_SDL_FIELD
};

// The number of required entry points.
constexpr int SDLEntryPointCount = 34;

// "NAME=VALUE" -> setenv(NAME, VALUE); "NAME" alone -> unsetenv(NAME). Unlike
// putenv it keeps no pointer to the caller's text. 0 on success, -1 otherwise.
int SDLSetEnvAssignment(const char* AVariable);

class TSDLLoader {
public:
  TSDLLoader();
  ~TSDLLoader(); // Unload
  TSDLLoader(const TSDLLoader&) = delete;
  TSDLLoader& operator=(const TSDLLoader&) = delete;

  // Loads APath + "/" (when missing) + AFile and resolves the entry points.
  // When APath is empty, or the file is not there, AFile is loaded through
  // the system's library search. Loading the file this loader already holds
  // under the same name does nothing; loading another file releases the
  // current one first. False with LastErrMsg on failure, leaving nothing
  // loaded.
  bool Load(const std::string& APath, const std::string& AFile);
  // The same with a full file name (or a bare soname).
  bool Load(const std::string& AFileName);
  // Releases the library. When SDL is still initialised in it, SDL_Quit runs
  // first: unmapping SDL under its own audio or event threads would crash.
  void Unload();
  bool Loaded() const;

  std::string LastErrMsg() const;
  // Full name as passed to Load; empty when nothing is loaded.
  std::string LibFile() const;
  // Canonical path of the file really mapped (after the system's search).
  std::string MappedFile() const;
  // The function table; every entry is null while nothing is loaded.
  const TSDLEntryPoints& EntryPoints() const { return FEntries; }
  // True when SDL_putenv is the library's own, false when it is the setenv
  // fallback.
  bool PutEnvExported() const { return FPutEnvExported; }
  // True when the library reports itself as a 1.2 compatibility layer over a
  // later SDL (version 1.2.50 or later): its copies share one SDL state.
  bool CompatLibrary() const;

private:
  std::string FLibFile;
  void* FHandle = nullptr;
  std::atomic<bool> FFixuped{false};
  mutable std::mutex FErrLock;
  std::string FLastErrMsg;
  TSDLEntryPoints FEntries;
  bool FPutEnvExported = false;
  std::string FMappedFile;

  void SetLastErrMsg(std::string AMsg);
  void UnloadLocked();
};

// The process-wide lock shared by every loader and player (see above).
std::mutex& SDLLock();

// The soname of the system's SDL 1.2 library.
constexpr const char* SDLLibrarySoname = "libSDL-1.2.so.0";

// Canonical path of the system's SDL 1.2 library file (the target of the
// soname's symbolic link); empty with AErrMsg when it cannot be found.
std::string SystemSDLLibraryFile(std::string* AErrMsg = nullptr);

// The private folder of this user for the players' library copies:
// $XDG_CACHE_HOME/tavrik-sondel, by default ~/.cache/tavrik-sondel.
std::string SDLCopyFolder();

// Makes sure the private copy of the library for player APlayer (0, 1, ...)
// exists as SDLCopyFolder()/SDL_<APlayer>.so and matches ASource (the system
// library when empty) in size and modification time; otherwise the copy is
// made again, atomically (written under a temporary name, then renamed). The
// folder is created with mode 0700 and refused when it belongs to another
// user. AFile receives the copy's full name. False with AErrMsg on failure.
bool PrepareSDLCopy(int APlayer, std::string& AFile, std::string& AErrMsg, const std::string& ASource = {});
