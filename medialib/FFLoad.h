// Loading the media libraries at run time.
//
// TFFLoader loads the FFmpeg libraries (from <app folder>/LibAV when a copy
// is there, else through the system's library path), checks that each has
// the major version we were compiled against, and fills the function table
// FF (util/FFApi.h). Loads are counted: a library is unloaded only when every
// Load has been matched by an Unload. Loading a library loads the libraries it
// depends on first.
//
// TInterruptCB is the registry through which blocking library I/O asks the
// job or player of the blocked thread whether to give up.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "util/FFApi.h"

enum TLibrary { avCodec, avCore, avDevice, avFilter, avFormat, avUtil, swScale, myUtil, swResample };
constexpr int LibraryCount = 9;

struct TLibraries {
  uint32_t Bits = 0;
  constexpr TLibraries() = default;
  constexpr TLibraries(std::initializer_list<TLibrary> ALibs) {
    for (auto l : ALibs) Bits |= 1u << l;
  }
  constexpr bool Has(TLibrary l) const { return Bits & (1u << l); }
  constexpr bool Empty() const { return Bits == 0; }
  constexpr TLibraries operator+(TLibraries o) const {
    TLibraries r;
    r.Bits = Bits | o.Bits;
    return r;
  }
  constexpr TLibraries operator-(TLibraries o) const {
    TLibraries r;
    r.Bits = Bits & ~o.Bits;
    return r;
  }
};

// Every library, and the sets the components use.
constexpr TLibraries AllLibraries{avCodec, avCore,  avDevice, avFilter,  avFormat,
                                  avUtil,  swScale, myUtil,   swResample};
constexpr TLibraries EncoderLibraries = AllLibraries - TLibraries{avDevice};
constexpr TLibraries ProbeLibraries{avCodec, avCore, avFormat, avUtil, swScale, myUtil, swResample};

class TFFLoader {
public:
  // Loads ALibrary and what it depends on. False with LastErrMsg on failure,
  // leaving nothing of this call loaded.
  bool Load(TLibrary ALibrary);
  // Loads every member; on the first failure unloads what this call loaded.
  bool Load(TLibraries ALibraries);
  bool Loaded(TLibrary ALibrary) const;
  bool Loaded(TLibraries ALibraries) const;
  void Unload(TLibrary ALibrary);
  void Unload(TLibraries ALibraries);

  std::string LastErrMsg() const;
  std::string LibraryPath() const;
  void SetLibraryPath(const std::string& APath);
  bool InstallLogger = true;

  // File name of a library ("libavutil.so.57"); empty for the virtual ones.
  static std::string FileName(TLibrary ALibrary);
  // Folder or full path a loaded library was mapped from (for diagnostics).
  std::string LoadedFrom(TLibrary ALibrary) const;
  // How many loads are outstanding.
  int LoadCount(TLibrary ALibrary) const;

  // Called after avutil has been loaded, when InstallLogger is set: the log
  // sink installs its library callback here.
  void SetLogInstaller(std::function<void()> AInstaller);

  // Unloads everything regardless of counts (process end).
  void UnloadAll();

private:
  struct TStatus {
    void* Handle = nullptr;
    bool Fixuped = false;
    int Count = 0;
    std::string Path;
  };
  mutable std::recursive_mutex FLock;
  TStatus FStatus[LibraryCount];
  std::string FLibraryPath;
  std::string FLastErrMsg;
  std::function<void()> FLogInstaller;

  bool LoadOne(TLibrary ALibrary);
  void UnloadOne(TLibrary ALibrary);
};

// The process-wide loader.
TFFLoader& FFLoader();

// Folder of the running executable.
std::string ApplicationFolder();

// Saves the floating-point environment and masks every floating-point
// exception (done once when the loader first starts); RestoreFPEnvironment
// puts the saved environment back.
void InitFPEnvironment();
void RestoreFPEnvironment();

// ---------------------------------------------------------------------------
using TInterruptProc = bool (*)(void* ASender);

class TInterruptCB {
public:
  void Add(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt);
  void Remove(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt);
  // Asks the first entry of the thread; false when the thread has none.
  bool Interrupt(uint32_t AThreadID);
  void Clear();
  size_t Count() const;

private:
  struct TEntry {
    uint32_t ThreadID;
    void* Sender;
    TInterruptProc Proc;
  };
  mutable std::mutex FLock;
  std::vector<TEntry> FList;
};

TInterruptCB& InterruptCB();
uint32_t CurrentThreadID();

// The callback every format context gets (interrupt_callback, avio_open2).
AVIOInterruptCB FFInterruptCB();
