#include "player/libsdl/SDLLoad.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fmt/printf.h>

namespace {

// Identity of a library file: its canonical path and its (device, inode).
struct TFileKey {
  std::string Canonical;
  dev_t Dev = 0;
  ino_t Ino = 0;
  bool Valid = false;
};

TFileKey KeyOf(const std::string& AFile) {
  TFileKey k;
  char buf[PATH_MAX];
  struct stat st;
  if (AFile.empty() || !realpath(AFile.c_str(), buf) || stat(buf, &st) != 0) return k;
  k.Canonical = buf;
  k.Dev = st.st_dev;
  k.Ino = st.st_ino;
  k.Valid = true;
  return k;
}

bool SameFile(const TFileKey& A, const TFileKey& B) {
  return A.Valid && B.Valid && (A.Canonical == B.Canonical || (A.Dev == B.Dev && A.Ino == B.Ino));
}

struct TLoadedFile {
  const TSDLLoader* Owner;
  TFileKey Key;
  void* Handle;
};

// The files loaded by all loaders; guarded by SDLLock().
std::vector<TLoadedFile>& LoadedFiles() {
  static std::vector<TLoadedFile> list;
  return list;
}

bool HeldByAnother(const TSDLLoader* ASelf, const TFileKey& AKey, void* AHandle) {
  for (const auto& e : LoadedFiles())
    if (e.Owner != ASelf && (SameFile(e.Key, AKey) || (AHandle && e.Handle == AHandle))) return true;
  return false;
}

void Forget(const TSDLLoader* ASelf) {
  auto& list = LoadedFiles();
  std::erase_if(list, [ASelf](const TLoadedFile& e) { return e.Owner == ASelf; });
}

std::string DLError() {
  const char* e = dlerror();
  return e ? e : "unknown error";
}

// The file the dynamic linker really mapped for AHandle.
std::string MappedPath(void* AHandle) {
  struct link_map* lm = nullptr;
  if (dlinfo(AHandle, RTLD_DI_LINKMAP, &lm) != 0 || !lm || !lm->l_name || !*lm->l_name) return {};
  return lm->l_name;
}

bool IsRegularFile(const std::string& AFile) {
  struct stat st;
  return stat(AFile.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ErrnoText(int AErr) {
  return std::strerror(AErr);
}

} // namespace

// ---------------------------------------------------------------------------

int SDLSetEnvAssignment(const char* AVariable) {
  if (!AVariable || !*AVariable) return -1;
  const char* eq = std::strchr(AVariable, '=');
  if (!eq) return unsetenv(AVariable) == 0 ? 0 : -1;
  if (eq == AVariable) return -1;
  std::string name(AVariable, eq);
  return setenv(name.c_str(), eq + 1, 1) == 0 ? 0 : -1;
}

std::mutex& SDLLock() {
  static std::mutex lock;
  return lock;
}

TSDLLoader::TSDLLoader() = default;

TSDLLoader::~TSDLLoader() {
  Unload();
}

void TSDLLoader::SetLastErrMsg(std::string AMsg) {
  std::lock_guard lk(FErrLock);
  FLastErrMsg = std::move(AMsg);
}

std::string TSDLLoader::LastErrMsg() const {
  std::lock_guard lk(FErrLock);
  return FLastErrMsg;
}

std::string TSDLLoader::LibFile() const {
  std::lock_guard lk(SDLLock());
  return FLibFile;
}

std::string TSDLLoader::MappedFile() const {
  std::lock_guard lk(SDLLock());
  return FMappedFile;
}

// FFixuped is only ever set together with FHandle, under SDLLock().
bool TSDLLoader::Loaded() const {
  return FFixuped.load();
}

bool TSDLLoader::CompatLibrary() const {
  if (!Loaded() || !FEntries.SDL_Linked_Version) return false;
  const SDL_version* v = FEntries.SDL_Linked_Version();
  return v && v->major == 1 && v->minor == 2 && v->patch >= 50;
}

bool TSDLLoader::Load(const std::string& AFileName) {
  auto slash = AFileName.rfind('/');
  if (slash == std::string::npos) return Load(std::string(), AFileName);
  return Load(AFileName.substr(0, slash + 1), AFileName.substr(slash + 1));
}

bool TSDLLoader::Load(const std::string& APath, const std::string& AFile) {
  std::string fullName = APath;
  if (!fullName.empty() && fullName.back() != '/') fullName += '/';
  fullName += AFile;

  std::lock_guard lk(SDLLock());
  if (Loaded() && FLibFile == fullName) return true;

  const std::string refused = fmt::sprintf("%s alreay loaded in another instance.", fullName);
  // The file in APath when it is there, else AFile through the system's search.
  const bool inPath = !APath.empty() && IsRegularFile(fullName);
  if (inPath && HeldByAnother(this, KeyOf(fullName), nullptr)) {
    SetLastErrMsg(refused);
    return false;
  }

  // An SDL in the global scope would take over the internal calls of every
  // copy, whose state would then be shared (or whose calls would crash).
  dlerror();
  if (dlsym(RTLD_DEFAULT, "SDL_Init")) {
    UnloadLocked();
    SetLastErrMsg(fmt::sprintf("Load library %s error: %s", fullName,
                               "an SDL library is already loaded into the global symbol scope"));
    return false;
  }

  dlerror();
  void* handle = dlopen(inPath ? fullName.c_str() : AFile.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const std::string err = DLError();
    UnloadLocked();
    SetLastErrMsg(fmt::sprintf("Load library %s error: %s", fullName, err));
    return false;
  }

  // The system's search may have found a file another loader holds under
  // another name (a link, the soname): the dynamic linker then hands out the
  // very same instance. Refused like a file named directly: what this loader
  // holds stays loaded.
  const std::string mapped = MappedPath(handle);
  const TFileKey key = KeyOf(mapped.empty() ? fullName : mapped);
  if (HeldByAnother(this, key, handle)) {
    dlclose(handle);
    SetLastErrMsg(refused);
    return false;
  }

  // The new file is mapped (and counted once more when it is the one held):
  // release the old one.
  UnloadLocked();

  TSDLEntryPoints entries;
  bool putEnvExported = true;
#define SONDEL_SDL_RESOLVE(name, type, symbol)                                                               \
  {                                                                                                          \
    dlerror();                                                                                               \
    void* p = dlsym(handle, symbol);                                                                         \
    if (!p) {                                                                                                \
      std::string err = DLError();                                                                           \
      if (std::strcmp(symbol, "SDL_putenv") == 0) {                                                          \
        p = reinterpret_cast<void*>(&SDLSetEnvAssignment);                                                   \
        putEnvExported = false;                                                                              \
      } else {                                                                                               \
        dlclose(handle);                                                                                     \
        SetLastErrMsg(fmt::sprintf("Load function %s@%s error: %s", symbol, AFile, err));                    \
        return false;                                                                                        \
      }                                                                                                      \
    }                                                                                                        \
    entries.name = reinterpret_cast<type>(p);                                                                \
  }
  SONDEL_SDL_ENTRY_POINTS(SONDEL_SDL_RESOLVE)
#undef SONDEL_SDL_RESOLVE
#define SONDEL_SDL_RESOLVE_EXTRA(name, type, symbol)                                                         \
  entries.name = reinterpret_cast<type>(dlsym(handle, symbol));
  SONDEL_SDL_EXTRA_ENTRY_POINTS(SONDEL_SDL_RESOLVE_EXTRA)
#undef SONDEL_SDL_RESOLVE_EXTRA

  FHandle = handle;
  FEntries = entries;
  FPutEnvExported = putEnvExported;
  FFixuped = true;
  FLibFile = fullName;
  FMappedFile = key.Valid ? key.Canonical : mapped;
  LoadedFiles().push_back({this, key, handle});
  return true;
}

void TSDLLoader::Unload() {
  std::lock_guard lk(SDLLock());
  UnloadLocked();
}

void TSDLLoader::UnloadLocked() {
  if (FHandle) {
    // Unmapping the code of SDL's audio or event threads would crash them.
    if (FFixuped && FEntries.SDL_WasInit && FEntries.SDL_WasInit(SDL_INIT_EVERYTHING) != 0)
      FEntries.SDL_Quit();
    dlclose(FHandle);
    FHandle = nullptr;
  }
  FEntries = TSDLEntryPoints();
  FFixuped = false;
  FPutEnvExported = false;
  Forget(this);
  FLibFile.clear();
  FMappedFile.clear();
}

// ---------------------------------------------------------------------------

std::string SystemSDLLibraryFile(std::string* AErrMsg) {
  std::string path, err;
  {
    std::lock_guard lk(SDLLock());
    dlerror();
    // The dynamic linker knows where the soname lives (its cache, the
    // multiarch folders, LD_LIBRARY_PATH): ask it rather than guess.
    void* h = dlopen(SDLLibrarySoname, RTLD_LAZY | RTLD_LOCAL);
    if (!h) {
      err = DLError();
    } else {
      const TFileKey key = KeyOf(MappedPath(h));
      dlclose(h);
      if (key.Valid)
        path = key.Canonical;
      else
        err = "the file it was loaded from is unknown";
    }
  }
  if (path.empty() && AErrMsg)
    *AErrMsg = fmt::sprintf("Could not find the library %s: %s", SDLLibrarySoname, err);
  return path;
}

std::string SDLCopyFolder() {
  std::string base;
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') { // a relative setting is invalid and ignored
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string h = home && *home ? home : "";
    if (h.empty()) {
      struct passwd pw, *res = nullptr;
      char buf[4096];
      if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir) h = res->pw_dir;
    }
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    if (h.empty()) return {};
    base = (h == "/" ? std::string() : h) + "/.cache";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/tavrik-sondel";
}

namespace {

// Creates AFolder and its missing parents with mode 0700; the folder itself
// must be a real folder of this user, and is closed to others when it is not.
bool MakePrivateFolder(const std::string& AFolder, std::string& AErrMsg) {
  for (size_t pos = 1; pos <= AFolder.size(); ++pos) {
    if (pos != AFolder.size() && AFolder[pos] != '/') continue;
    const std::string part = AFolder.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      AErrMsg = fmt::sprintf("Could not create the folder %s: %s", part, ErrnoText(errno));
      return false;
    }
  }
  struct stat st;
  if (lstat(AFolder.c_str(), &st) != 0) {
    AErrMsg = fmt::sprintf("Could not create the folder %s: %s", AFolder, ErrnoText(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    AErrMsg = fmt::sprintf("The folder %s is not a private folder of this user", AFolder);
    return false;
  }
  if ((st.st_mode & 07777) != 0700 && chmod(AFolder.c_str(), 0700) != 0) {
    AErrMsg = fmt::sprintf("Could not protect the folder %s: %s", AFolder, ErrnoText(errno));
    return false;
  }
  return true;
}

bool SameTime(const struct timespec& A, const struct timespec& B) {
  return A.tv_sec == B.tv_sec && A.tv_nsec == B.tv_nsec;
}

bool WriteAll(int AFd, const char* AData, size_t ASize) {
  while (ASize > 0) {
    ssize_t n = write(AFd, AData, ASize);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    AData += n;
    ASize -= static_cast<size_t>(n);
  }
  return true;
}

// Copies the open source ASrcFd (described by ASrcStat) to ADest through a
// temporary file in the same folder and a rename, so that ADest is always
// either the old copy or the complete new one.
bool CopyAtomically(int ASrcFd, const struct stat& ASrcStat, const std::string& ASource,
                    const std::string& ADest, std::string& AErrMsg) {
  std::string tmp = ADest + ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    AErrMsg = fmt::sprintf("Could not create a file in %s: %s", ADest, ErrnoText(errno));
    return false;
  }
  auto fail = [&](const std::string& AWhat, int AErr) {
    AErrMsg = fmt::sprintf("Could not copy %s to %s: %s: %s", ASource, ADest, AWhat, ErrnoText(AErr));
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    return false;
  };

  std::vector<char> buf(1 << 16);
  off_t copied = 0;
  for (;;) {
    ssize_t n = read(ASrcFd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("read", errno);
    }
    if (n == 0) break;
    if (!WriteAll(fd, buf.data(), static_cast<size_t>(n))) return fail("write", errno);
    copied += n;
  }
  if (copied != ASrcStat.st_size) return fail("the source changed while it was copied", EAGAIN);
  // The copy carries the source's time, which tells later whether it is stale.
  const struct timespec times[2] = {ASrcStat.st_atim, ASrcStat.st_mtim};
  if (fchmod(fd, 0700) != 0) return fail("chmod", errno);
  if (futimens(fd, times) != 0) return fail("set time", errno);
  if (fsync(fd) != 0) return fail("fsync", errno);
  if (close(fd) != 0) {
    fd = -1;
    return fail("close", errno);
  }
  fd = -1;
  if (rename(tmp.c_str(), ADest.c_str()) != 0) return fail("rename", errno);

  const std::string folder = ADest.substr(0, ADest.rfind('/') + 1);
  int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

} // namespace

bool PrepareSDLCopy(int APlayer, std::string& AFile, std::string& AErrMsg, const std::string& ASource) {
  AFile.clear();
  if (APlayer < 0) {
    AErrMsg = fmt::sprintf("Invalid player number %d", APlayer);
    return false;
  }
  const std::string source = ASource.empty() ? SystemSDLLibraryFile(&AErrMsg) : ASource;
  if (source.empty()) return false;

  const std::string folder = SDLCopyFolder();
  if (folder.empty()) {
    AErrMsg = "Could not find the home folder of this user";
    return false;
  }
  if (!MakePrivateFolder(folder, AErrMsg)) return false;
  const std::string dest = fmt::sprintf("%s/SDL_%d.so", folder, APlayer);

  int src = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) {
    AErrMsg = fmt::sprintf("Could not open %s: %s", source, ErrnoText(errno));
    return false;
  }
  struct stat ss;
  if (fstat(src, &ss) != 0) {
    AErrMsg = fmt::sprintf("Could not open %s: %s", source, ErrnoText(errno));
    close(src);
    return false;
  }
  if (!S_ISREG(ss.st_mode)) {
    AErrMsg = fmt::sprintf("Could not open %s: %s", source, "not a regular file");
    close(src);
    return false;
  }

  // A copy of this user that matches the source is kept; anything else (a
  // partial or stale copy, a link, a file of another user) is replaced.
  struct stat ds;
  bool ok = lstat(dest.c_str(), &ds) == 0 && S_ISREG(ds.st_mode) && ds.st_uid == geteuid() &&
            ds.st_size == ss.st_size && SameTime(ds.st_mtim, ss.st_mtim);
  if (!ok) ok = CopyAtomically(src, ss, source, dest, AErrMsg);
  close(src);
  if (ok) AFile = dest;
  return ok;
}
