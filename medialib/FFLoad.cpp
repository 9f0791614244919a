#include "medialib/FFLoad.h"

#include <dlfcn.h>
#include <fenv.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <stdexcept>

#include <fmt/printf.h>

namespace {

struct TSlot {
  const char* Name;
  void** Var;
};

#define SONDEL_FF_SLOT(name) TSlot{#name, reinterpret_cast<void**>(&FF.name)},

const std::vector<TSlot>& Slots(TLibrary ALib) {
  static const std::vector<TSlot> util{SONDEL_AVUTIL_FUNCS(SONDEL_FF_SLOT)};
  static const std::vector<TSlot> swr{SONDEL_SWRESAMPLE_FUNCS(SONDEL_FF_SLOT)};
  static const std::vector<TSlot> sws{SONDEL_SWSCALE_FUNCS(SONDEL_FF_SLOT)};
  static const std::vector<TSlot> codec{SONDEL_AVCODEC_FUNCS(SONDEL_FF_SLOT)};
  static const std::vector<TSlot> format{SONDEL_AVFORMAT_FUNCS(SONDEL_FF_SLOT)};
  static const std::vector<TSlot> filter{SONDEL_AVFILTER_FUNCS(SONDEL_FF_SLOT)};
  static const std::vector<TSlot> device{SONDEL_AVDEVICE_FUNCS(SONDEL_FF_SLOT)};
  static const std::vector<TSlot> none;
  switch (ALib) {
  case avUtil:
    return util;
  case swResample:
    return swr;
  case swScale:
    return sws;
  case avCodec:
    return codec;
  case avFormat:
    return format;
  case avFilter:
    return filter;
  case avDevice:
    return device;
  default:
    return none;
  }
}

struct TLibInfo {
  const char* Name; // base name; null for the virtual libraries
  int Major;
  const char* VersionFunc;
};

TLibInfo Info(TLibrary ALib) {
  switch (ALib) {
  case avUtil:
    return {"avutil", LIBAVUTIL_VERSION_MAJOR, "avutil_version"};
  case swResample:
    return {"swresample", LIBSWRESAMPLE_VERSION_MAJOR, "swresample_version"};
  case swScale:
    return {"swscale", LIBSWSCALE_VERSION_MAJOR, "swscale_version"};
  case avCodec:
    return {"avcodec", LIBAVCODEC_VERSION_MAJOR, "avcodec_version"};
  case avFormat:
    return {"avformat", LIBAVFORMAT_VERSION_MAJOR, "avformat_version"};
  case avFilter:
    return {"avfilter", LIBAVFILTER_VERSION_MAJOR, "avfilter_version"};
  case avDevice:
    return {"avdevice", LIBAVDEVICE_VERSION_MAJOR, "avdevice_version"};
  default:
    return {nullptr, -1, nullptr};
  }
}

// Dependency order: a library's dependencies come before it, so that each
// copy in the library folder binds to the copies already loaded.
constexpr TLibrary LoadOrder[] = {avUtil, swResample, swScale, avCodec, avFormat, avFilter, avDevice};

TLibraries Dependencies(TLibrary ALib) {
  switch (ALib) {
  case avCore:
    return {avUtil};
  case swResample:
    return {avUtil};
  case swScale:
    return {avUtil};
  case avCodec:
    return {avUtil, swResample};
  case avFormat:
    return {avUtil, swResample, avCodec};
  case avFilter:
    return {avUtil, swResample, swScale, avCodec, avFormat};
  case avDevice:
    return {avUtil, swResample, swScale, avCodec, avFormat, avFilter};
  default:
    return {};
  }
}

// The closure of ALibs in load order (virtual libraries dropped).
std::vector<TLibrary> Closure(TLibraries ALibs) {
  TLibraries all = ALibs;
  for (int l = 0; l < LibraryCount; ++l)
    if (ALibs.Has(TLibrary(l))) all = all + Dependencies(TLibrary(l));
  std::vector<TLibrary> r;
  for (auto l : LoadOrder)
    if (all.Has(l)) r.push_back(l);
  return r;
}

bool IsReal(TLibrary ALib) {
  return Info(ALib).Name != nullptr;
}

std::string LastDlError() {
  const char* e = dlerror();
  return e ? e : "unknown error";
}

} // namespace

std::string ApplicationFolder() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return p.parent_path().string();
}

// ---------------------------------------------------------------------------
std::string TFFLoader::FileName(TLibrary ALibrary) {
  auto info = Info(ALibrary);
  if (!info.Name) return {};
  return fmt::format("lib{}.so.{}", info.Name, info.Major);
}

TFFLoader& FFLoader() {
  static TFFLoader* loader = [] {
    InitFPEnvironment();
    auto l = new TFFLoader; // lives to process end: library threads may still call into it
    l->SetLibraryPath(ApplicationFolder() + "/LibAV");
    return l;
  }();
  return *loader;
}

std::string TFFLoader::LastErrMsg() const {
  std::lock_guard lock(FLock);
  return FLastErrMsg;
}

std::string TFFLoader::LibraryPath() const {
  std::lock_guard lock(FLock);
  return FLibraryPath;
}

void TFFLoader::SetLibraryPath(const std::string& APath) {
  std::lock_guard lock(FLock);
  FLibraryPath = APath;
}

void TFFLoader::SetLogInstaller(std::function<void()> AInstaller) {
  std::function<void()> now;
  {
    std::lock_guard lock(FLock);
    FLogInstaller = std::move(AInstaller);
    if (FStatus[avUtil].Fixuped && InstallLogger) now = FLogInstaller;
  }
  if (now) now();
}

std::string TFFLoader::LoadedFrom(TLibrary ALibrary) const {
  std::lock_guard lock(FLock);
  return FStatus[ALibrary].Path;
}

int TFFLoader::LoadCount(TLibrary ALibrary) const {
  std::lock_guard lock(FLock);
  if (ALibrary == avCore) return FStatus[avUtil].Count;
  if (!IsReal(ALibrary)) return 1;
  return FStatus[ALibrary].Count;
}

bool TFFLoader::LoadOne(TLibrary ALib) {
  auto& st = FStatus[ALib];
  if (st.Fixuped) {
    ++st.Count;
    return true;
  }
  auto info = Info(ALib);
  std::string file = FileName(ALib);
  std::string folder = FLibraryPath;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::string full = folder + file;
  struct stat sb {};
  bool fromFolder = !FLibraryPath.empty() && stat(full.c_str(), &sb) == 0;
  dlerror();
  // RTLD_NODELETE: after the last unload the function table is cleared and
  // the handle closed, but the code stays mapped. The libraries keep
  // start-up allocations and may leave helper threads or registered
  // callbacks behind that must never jump into unmapped code.
  void* handle = dlopen(fromFolder ? full.c_str() : file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    FLastErrMsg = fmt::sprintf("Load library %s error: %s", fromFolder ? full : file, LastDlError());
    return false;
  }
  st.Handle = handle;
  st.Path = fromFolder ? full : file;
  // The version first: we read structure fields directly, so another major
  // version must never be used.
  try {
    dlerror();
    auto version = reinterpret_cast<unsigned (*)()>(dlsym(handle, info.VersionFunc));
    if (!version)
      throw std::runtime_error(
          fmt::sprintf("Load function %s@%s error: %s", info.VersionFunc, st.Path, LastDlError()));
    int major = int(version() >> 16);
    if (major != info.Major)
      throw std::runtime_error(
          fmt::sprintf("Load library %s error: %s", st.Path,
                       fmt::sprintf("major version %d found, %d required", major, info.Major)));
    for (auto& slot : Slots(ALib)) {
      dlerror();
      void* p = dlsym(handle, slot.Name);
      if (!p)
        throw std::runtime_error(
            fmt::sprintf("Load function %s@%s error: %s", slot.Name, st.Path, LastDlError()));
      *slot.Var = p;
    }
    if (ALib == avDevice) FF.avdevice_register_all();
    if (ALib == avFormat) FF.avformat_network_init();
    st.Fixuped = true;
    st.Count = 1;
  } catch (const std::exception& e) {
    FLastErrMsg = e.what();
    for (auto& slot : Slots(ALib)) *slot.Var = nullptr;
    dlclose(handle);
    st = TStatus{};
    return false;
  }
  return true;
}

void TFFLoader::UnloadOne(TLibrary ALib) {
  auto& st = FStatus[ALib];
  if (st.Count <= 0) return;
  if (--st.Count > 0) return;
  if (ALib == avUtil && FF.av_log_set_callback && FF.av_log_default_callback)
    FF.av_log_set_callback(FF.av_log_default_callback);
  if (ALib == avFormat && FF.avformat_network_deinit) FF.avformat_network_deinit();
  for (auto& slot : Slots(ALib)) *slot.Var = nullptr;
  st.Fixuped = false;
  if (st.Handle) dlclose(st.Handle);
  st = TStatus{};
}

bool TFFLoader::Load(TLibrary ALibrary) {
  return Load(TLibraries{ALibrary});
}

bool TFFLoader::Load(TLibraries ALibraries) {
  if (ALibraries.Empty()) throw std::logic_error("TFFLoader::Load: empty library set");
  std::function<void()> installer;
  {
    std::lock_guard lock(FLock);
    bool utilBefore = FStatus[avUtil].Fixuped;
    std::vector<TLibrary> done;
    for (auto lib : Closure(ALibraries)) {
      if (!LoadOne(lib)) {
        for (auto it = done.rbegin(); it != done.rend(); ++it) UnloadOne(*it);
        return false;
      }
      done.push_back(lib);
    }
    if (!utilBefore && FStatus[avUtil].Fixuped && InstallLogger) installer = FLogInstaller;
  }
  if (installer) installer();
  return true;
}

bool TFFLoader::Loaded(TLibrary ALibrary) const {
  std::lock_guard lock(FLock);
  if (ALibrary == avCore) return FStatus[avUtil].Fixuped;
  if (!IsReal(ALibrary)) return true;
  return FStatus[ALibrary].Fixuped && FStatus[ALibrary].Handle;
}

bool TFFLoader::Loaded(TLibraries ALibraries) const {
  if (ALibraries.Empty()) throw std::logic_error("TFFLoader::Loaded: empty library set");
  for (int l = 0; l < LibraryCount; ++l)
    if (ALibraries.Has(TLibrary(l)) && !Loaded(TLibrary(l))) return false;
  return true;
}

void TFFLoader::Unload(TLibrary ALibrary) {
  Unload(TLibraries{ALibrary});
}

void TFFLoader::Unload(TLibraries ALibraries) {
  if (ALibraries.Empty()) throw std::logic_error("TFFLoader::Unload: empty library set");
  std::lock_guard lock(FLock);
  auto libs = Closure(ALibraries);
  for (auto it = libs.rbegin(); it != libs.rend(); ++it) UnloadOne(*it);
}

void TFFLoader::UnloadAll() {
  std::lock_guard lock(FLock);
  for (auto it = std::rbegin(LoadOrder); it != std::rend(LoadOrder); ++it) {
    FStatus[*it].Count = std::min(FStatus[*it].Count, 1);
    UnloadOne(*it);
  }
}

// ---------------------------------------------------------------------------
namespace {
fenv_t GSavedEnv;
bool GEnvSaved = false;
} // namespace

void InitFPEnvironment() {
  if (GEnvSaved) return;
  fegetenv(&GSavedEnv);
  GEnvSaved = true;
#if defined(__GLIBC__)
  fedisableexcept(FE_ALL_EXCEPT);
#endif
  fesetround(FE_TONEAREST);
}

void RestoreFPEnvironment() {
  if (!GEnvSaved) return;
  fesetenv(&GSavedEnv);
  GEnvSaved = false;
}

// ---------------------------------------------------------------------------
void TInterruptCB::Add(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt) {
  std::lock_guard lock(FLock);
  for (auto& e : FList)
    if (e.ThreadID == AThreadID && e.Sender == ASender && e.Proc == AInterrupt) return;
  FList.push_back({AThreadID, ASender, AInterrupt});
}

void TInterruptCB::Remove(uint32_t AThreadID, void* ASender, TInterruptProc AInterrupt) {
  std::lock_guard lock(FLock);
  for (auto it = FList.begin(); it != FList.end(); ++it)
    if (it->ThreadID == AThreadID && it->Sender == ASender && it->Proc == AInterrupt) {
      FList.erase(it);
      return;
    }
}

bool TInterruptCB::Interrupt(uint32_t AThreadID) {
  // Held during the call so that an entry cannot be removed (and its sender
  // destroyed) while it is being asked.
  std::lock_guard lock(FLock);
  for (auto& e : FList)
    if (e.ThreadID == AThreadID) return e.Proc(e.Sender);
  return false;
}

void TInterruptCB::Clear() {
  std::lock_guard lock(FLock);
  FList.clear();
}

size_t TInterruptCB::Count() const {
  std::lock_guard lock(FLock);
  return FList.size();
}

TInterruptCB& InterruptCB() {
  static TInterruptCB* registry = new TInterruptCB; // outlives library threads
  return *registry;
}

uint32_t CurrentThreadID() {
  return static_cast<uint32_t>(syscall(SYS_gettid));
}

namespace {
int InterruptCallback(void*) {
  return InterruptCB().Interrupt(CurrentThreadID()) ? 1 : 0;
}
} // namespace

AVIOInterruptCB FFInterruptCB() {
  return AVIOInterruptCB{InterruptCallback, nullptr};
}
