// The SDL loader against the real SDL 1.2 library (dummy drivers), its
// private copies, and a stub library that lacks entry points.
#include "player/libsdl/SDLLoad.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// SDL 1.2 keeps one mutex (40 bytes) that it makes while opening the audio
// device after SDL_Quit: its own leak, unattributable once the copy is gone.
#define SDL_OWN_LEAKS_BEGIN() __lsan_disable()
#define SDL_OWN_LEAKS_END() __lsan_enable()
#else
#define SDL_OWN_LEAKS_BEGIN() (void)0
#define SDL_OWN_LEAKS_END() (void)0
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ReadFile;
using testsupport::TTempDir;
using testsupport::WriteFile;

namespace {

// Sets an environment variable for the lifetime of the object.
class TEnvVar {
public:
  TEnvVar(const char* AName, const char* AValue) : FName(AName) {
    if (const char* old = std::getenv(AName)) FOld = old;
    if (AValue)
      setenv(AName, AValue, 1);
    else
      unsetenv(AName);
  }
  ~TEnvVar() {
    if (FOld)
      setenv(FName.c_str(), FOld->c_str(), 1);
    else
      unsetenv(FName.c_str());
  }

private:
  std::string FName;
  std::optional<std::string> FOld;
};

struct stat StatOf(const std::string& AFile) {
  struct stat st {};
  EXPECT_EQ(stat(AFile.c_str(), &st), 0) << AFile;
  return st;
}

bool WaitFor(const std::function<bool()>& ACond, std::chrono::milliseconds ATimeout = 10s) {
  auto end = std::chrono::steady_clock::now() + ATimeout;
  while (!ACond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void CountingFill(void* AUser, Uint8* AStream, int ALen) {
  std::memset(AStream, 0, static_cast<size_t>(ALen));
  static_cast<std::atomic<int>*>(AUser)->fetch_add(1);
}

SDL_AudioSpec DummySpec(std::atomic<int>* ACounter) {
  SDL_AudioSpec s{};
  s.freq = 22050;
  s.format = AUDIO_S16SYS;
  s.channels = 2;
  s.samples = 512;
  s.callback = CountingFill;
  s.userdata = ACounter;
  return s;
}

bool StillMapped(const std::string& AFile) {
  void* h = dlopen(AFile.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

class SDLLoaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    FCache.emplace("XDG_CACHE_HOME", (FTemp.Path() / "cache").c_str());
    FAudio.emplace("SDL_AUDIODRIVER", "dummy");
    FVideo.emplace("SDL_VIDEODRIVER", "dummy");
    FFolder = (FTemp.Path() / "cache" / "tavrik-sondel").string();
  }

  std::string Copy(int APlayer) {
    std::string file, err;
    EXPECT_TRUE(PrepareSDLCopy(APlayer, file, err)) << err;
    return file;
  }

  TTempDir FTemp;
  std::optional<TEnvVar> FCache, FAudio, FVideo;
  std::string FFolder;
};

} // namespace

// Two players' copies are two SDL instances: each initialises and opens its
// own audio device (SDL allows one per instance) and one quitting leaves the
// other playing.
TEST_F(SDLLoaderTest, TwoCopiesAreIndependentInstances) {
  std::string err;
  const std::string sys = SystemSDLLibraryFile(&err);
  ASSERT_FALSE(sys.empty()) << err;
  const std::string f0 = Copy(0), f1 = Copy(1);
  ASSERT_EQ(f0, FFolder + "/SDL_0.so");
  ASSERT_EQ(f1, FFolder + "/SDL_1.so");
  EXPECT_EQ(StatOf(FFolder).st_mode & 07777, 0700u);
  for (const auto& f : {f0, f1}) {
    struct stat st = StatOf(f), sst = StatOf(sys);
    EXPECT_EQ(st.st_nlink, 1u) << f << " must be a copy, not a link";
    EXPECT_NE(st.st_ino, sst.st_ino);
    EXPECT_EQ(ReadFile(f), ReadFile(sys));
  }

  TSDLLoader a, b;
  ASSERT_TRUE(a.Load(f0)) << a.LastErrMsg();
  ASSERT_TRUE(b.Load(f1)) << b.LastErrMsg();
  const TSDLEntryPoints& A = a.EntryPoints();
  const TSDLEntryPoints& B = b.EntryPoints();
#define CHECK_SET(name, type, symbol)                                                                        \
  EXPECT_NE(A.name, nullptr) << symbol;                                                                      \
  EXPECT_NE(B.name, nullptr) << symbol;
  SONDEL_SDL_ENTRY_POINTS(CHECK_SET)
#undef CHECK_SET
  ASSERT_NE(A.SDL_WasInit, nullptr);
  EXPECT_NE(reinterpret_cast<void*>(A.SDL_Init), reinterpret_cast<void*>(B.SDL_Init));
  EXPECT_EQ(a.MappedFile(), f0);
  EXPECT_FALSE(a.CompatLibrary());

  ASSERT_EQ(A.SDL_Init(SDL_INIT_AUDIO | SDL_INIT_NOPARACHUTE), 0) << A.SDL_GetError();
  EXPECT_EQ(B.SDL_WasInit(SDL_INIT_AUDIO), 0u);
  ASSERT_EQ(B.SDL_Init(SDL_INIT_AUDIO | SDL_INIT_NOPARACHUTE), 0) << B.SDL_GetError();
  char name[32];
  ASSERT_NE(A.SDL_AudioDriverName(name, sizeof name), nullptr);
  EXPECT_STREQ(name, "dummy");

  std::atomic<int> countA{0}, countB{0};
  SDL_AudioSpec specA = DummySpec(&countA), specB = DummySpec(&countB);
  SDL_OWN_LEAKS_BEGIN();
  const int openA = A.SDL_OpenAudio(&specA, nullptr);
  const int openB = B.SDL_OpenAudio(&specB, nullptr);
  SDL_OWN_LEAKS_END();
  ASSERT_EQ(openA, 0) << A.SDL_GetError();
  ASSERT_EQ(openB, 0) << B.SDL_GetError();
  A.SDL_PauseAudio(0);
  B.SDL_PauseAudio(0);
  EXPECT_TRUE(WaitFor([&] { return countA > 2 && countB > 2; }));

  A.SDL_CloseAudio();
  A.SDL_Quit();
  EXPECT_EQ(A.SDL_WasInit(SDL_INIT_AUDIO), 0u);
  EXPECT_NE(B.SDL_WasInit(SDL_INIT_AUDIO), 0u);
  const int before = countB;
  EXPECT_TRUE(WaitFor([&] { return countB > before + 2; }));
  B.SDL_CloseAudio();
  B.SDL_Quit();
}

// One file, one loader, whatever name the file is reached by.
TEST_F(SDLLoaderTest, AFileIsHeldByOneLoaderAtATime) {
  const std::string f0 = Copy(0), f1 = Copy(1);
  const std::string soft = FFolder + "/soft.so", hard = FFolder + "/hard.so";
  ASSERT_EQ(symlink(f0.c_str(), soft.c_str()), 0);
  ASSERT_EQ(link(f0.c_str(), hard.c_str()), 0);

  TSDLLoader a, b;
  ASSERT_TRUE(a.Load(FFolder, "SDL_0.so")) << a.LastErrMsg();
  EXPECT_EQ(a.LibFile(), f0);
  const auto init = a.EntryPoints().SDL_Init;
  EXPECT_TRUE(a.Load(FFolder + "/", "SDL_0.so")); // the same full name: nothing to do
  EXPECT_EQ(a.EntryPoints().SDL_Init, init);

  for (const auto& name : {f0, soft, hard}) {
    EXPECT_FALSE(b.Load(name)) << name;
    EXPECT_EQ(b.LastErrMsg(), name + " alreay loaded in another instance.");
    EXPECT_FALSE(b.Loaded());
    EXPECT_EQ(b.EntryPoints().SDL_Init, nullptr);
  }
  EXPECT_TRUE(a.Loaded());

  // Loading another file releases the first one.
  ASSERT_TRUE(a.Load(f1)) << a.LastErrMsg();
  EXPECT_FALSE(StillMapped(f0));
  ASSERT_TRUE(b.Load(f0)) << b.LastErrMsg();

  a.Unload();
  EXPECT_FALSE(a.Loaded());
  EXPECT_EQ(a.LibFile(), "");
  EXPECT_EQ(a.EntryPoints().SDL_Init, nullptr);
  EXPECT_FALSE(StillMapped(f1));
  TSDLLoader c;
  EXPECT_TRUE(c.Load(f1)) << c.LastErrMsg();
}

// Without a copy, loaders fall back to the system's soname; they would all
// share one instance, so only the first gets it.
TEST_F(SDLLoaderTest, TheSystemLibraryIsHeldOnce) {
  std::string err;
  const std::string sys = SystemSDLLibraryFile(&err);
  ASSERT_FALSE(sys.empty()) << err;
  const std::string empty = (FTemp.Path() / "empty").string();
  fs::create_directory(empty);

  const std::string f0 = Copy(0);
  TSDLLoader a, b;
  ASSERT_TRUE(a.Load(SDLLibrarySoname)) << a.LastErrMsg();
  ASSERT_TRUE(b.Load(f0)) << b.LastErrMsg();
  EXPECT_EQ(a.MappedFile(), sys);
  EXPECT_FALSE(a.PutEnvExported());
  struct {
    std::string Path, File, FullName;
  } cases[] = {
      {"", SDLLibrarySoname, SDLLibrarySoname},
      {empty, SDLLibrarySoname, empty + "/" + SDLLibrarySoname}, // not there: system search
      {"", sys, sys},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(b.Load(c.Path, c.File)) << c.FullName;
    EXPECT_EQ(b.LastErrMsg(), c.FullName + " alreay loaded in another instance.");
    // A refused load leaves what the loader holds in place.
    EXPECT_TRUE(b.Loaded());
    EXPECT_EQ(b.LibFile(), f0);
  }
}

TEST_F(SDLLoaderTest, FailedLoadsLeaveNothingLoaded) {
  const std::string dir = FTemp.Path().string();
  const std::string text = dir + "/notalib.so";
  WriteFile(text, "just some text, long enough to not be an ELF header at all\n");
  const std::string stub = SONDEL_SDL_STUB_FILE;
  const std::string stubName = fs::path(stub).filename().string();
  struct {
    std::string Path, File, Prefix, Contains;
  } cases[] = {
      {dir, "SDL_9.so", "Load library " + dir + "/SDL_9.so error: ", "No such file or directory"},
      {dir, "notalib.so", "Load library " + text + " error: ", text},
      {fs::path(stub).parent_path().string(), stubName,
       "Load function SDL_OpenAudio@" + stubName + " error: ", "SDL_OpenAudio"},
  };
  const std::string f0 = Copy(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    TSDLLoader a;
    ASSERT_TRUE(a.Load(f0)) << a.LastErrMsg();
    EXPECT_FALSE(a.Load(c.Path, c.File));
    EXPECT_FALSE(a.Loaded());
    EXPECT_EQ(a.LibFile(), "");
    EXPECT_EQ(a.EntryPoints().SDL_Init, nullptr);
    EXPECT_EQ(a.LastErrMsg().rfind(c.Prefix, 0), 0u) << a.LastErrMsg();
    EXPECT_NE(a.LastErrMsg().find(c.Contains), std::string::npos) << a.LastErrMsg();
    // Both the failed file and the one held before are released.
    EXPECT_FALSE(StillMapped(f0));
    EXPECT_FALSE(StillMapped(stub));
    TSDLLoader b;
    EXPECT_TRUE(b.Load(f0)) << b.LastErrMsg();
  }
}

TEST_F(SDLLoaderTest, ConcurrentLoadsOfOneFileHaveOneWinner) {
  const std::string f0 = Copy(0);
  std::vector<std::unique_ptr<TSDLLoader>> loaders;
  for (int i = 0; i < 8; ++i) loaders.push_back(std::make_unique<TSDLLoader>());
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (auto& l : loaders) threads.emplace_back([&, l = l.get()] { wins += l->Load(f0) ? 1 : 0; });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wins, 1);
  for (auto& l : loaders)
    if (!l->Loaded()) {
      EXPECT_EQ(l->LastErrMsg(), f0 + " alreay loaded in another instance.");
    }
}

// Unloading a copy while its SDL still runs an audio thread must not pull the
// code from under that thread.
TEST_F(SDLLoaderTest, UnloadQuitsARunningSDL) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string f0 = Copy(0);
  EXPECT_EXIT(
      {
        std::atomic<int> count{0};
        SDL_AudioSpec spec = DummySpec(&count);
        TSDLLoader a;
        if (!a.Load(f0)) _exit(2);
        const TSDLEntryPoints& A = a.EntryPoints();
        if (A.SDL_Init(SDL_INIT_AUDIO | SDL_INIT_NOPARACHUTE) != 0 || A.SDL_OpenAudio(&spec, nullptr) != 0)
          _exit(3);
        A.SDL_PauseAudio(0);
        if (!WaitFor([&] { return count > 2; })) _exit(4);
        a.Unload();
        const int after = count;
        std::this_thread::sleep_for(300ms);
        _exit(count == after && !StillMapped(f0) ? 0 : 5);
      },
      ::testing::ExitedWithCode(0), "");
}

// An SDL in the process's global symbol scope would capture the internal
// calls of every copy.
TEST_F(SDLLoaderTest, AGlobalSDLIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string f0 = Copy(0), f1 = Copy(1);
  EXPECT_EXIT(
      {
        if (!dlopen(f1.c_str(), RTLD_NOW | RTLD_GLOBAL)) _exit(2);
        TSDLLoader a;
        const bool ok = a.Load(f0);
        const bool text =
            a.LastErrMsg() ==
            "Load library " + f0 + " error: an SDL library is already loaded into the global symbol scope";
        _exit(!ok && text ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SDLSetEnvAssignment, CopiesTheValue) {
  TEnvVar guard("SONDEL_SDL_TEST", nullptr);
  {
    std::string s = "SONDEL_SDL_TEST=12345";
    EXPECT_EQ(SDLSetEnvAssignment(s.c_str()), 0);
    s.assign("SONDEL_SDL_TEST=xxxxx"); // putenv would now see the new text
  }
  EXPECT_STREQ(std::getenv("SONDEL_SDL_TEST"), "12345");
  EXPECT_EQ(SDLSetEnvAssignment("SONDEL_SDL_TEST="), 0);
  EXPECT_STREQ(std::getenv("SONDEL_SDL_TEST"), "");
  EXPECT_EQ(SDLSetEnvAssignment("SONDEL_SDL_TEST"), 0);
  EXPECT_EQ(std::getenv("SONDEL_SDL_TEST"), nullptr);
  EXPECT_EQ(SDLSetEnvAssignment("=1"), -1);
  EXPECT_EQ(SDLSetEnvAssignment(""), -1);
  EXPECT_EQ(SDLSetEnvAssignment(nullptr), -1);
}

TEST(SDLCopyFolder, FollowsTheCacheFolderRules) {
  struct {
    const char* Xdg;
    const char* Home;
    std::string Expected;
  } cases[] = {
      {"/x/cache", "/h", "/x/cache/tavrik-sondel"},  {"/x/cache/", "/h", "/x/cache/tavrik-sondel"},
      {"relative", "/h", "/h/.cache/tavrik-sondel"}, {"", "/h", "/h/.cache/tavrik-sondel"},
      {nullptr, "/h/", "/h/.cache/tavrik-sondel"},
  };
  for (const auto& c : cases) {
    TEnvVar x("XDG_CACHE_HOME", c.Xdg), h("HOME", c.Home);
    EXPECT_EQ(SDLCopyFolder(), c.Expected) << (c.Xdg ? c.Xdg : "(unset)");
  }
}

// The copy is kept while it matches its source and made again otherwise; it
// never exists half-written.
TEST_F(SDLLoaderTest, TheCopyFollowsItsSource) {
  const std::string src = (FTemp.Path() / "source.so").string();
  const auto setTime = [](const std::string& AFile, time_t ASec) {
    const struct timespec t[2] = {{ASec, 0}, {ASec, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, AFile.c_str(), t, 0), 0);
  };
  struct {
    const char* Name;
    std::function<void(const std::string& ACopy)> Change;
    bool Recopy;
  } cases[] = {
      {"unchanged", [](const std::string&) {}, false},
      {"source grown", [&](const std::string&) { WriteFile(src, "version two, longer"); }, true},
      {"source rewritten at the same size",
       [&](const std::string&) {
         WriteFile(src, "VERSION ONE");
         setTime(src, 1700000000);
       },
       true},
      {"copy truncated", [](const std::string& ACopy) { ASSERT_EQ(truncate(ACopy.c_str(), 3), 0); }, true},
      {"copy touched", [&](const std::string& ACopy) { setTime(ACopy, 1600000000); }, true},
      {"copy replaced by a link",
       [&](const std::string& ACopy) {
         fs::remove(ACopy);
         ASSERT_EQ(symlink(src.c_str(), ACopy.c_str()), 0);
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteFile(src, "version one");
    setTime(src, 1500000000);
    std::string file, err;
    ASSERT_TRUE(PrepareSDLCopy(2, file, err, src)) << err;
    ASSERT_EQ(file, FFolder + "/SDL_2.so");
    const ino_t first = StatOf(file).st_ino;

    c.Change(file);
    ASSERT_TRUE(PrepareSDLCopy(2, file, err, src)) << err;
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // A re-made copy shows in its content, time and type below (its inode
    // number may be the freed one of the old copy).
    if (!c.Recopy) {
      EXPECT_EQ(st.st_ino, first);
    }
    EXPECT_EQ(ReadFile(file), ReadFile(src));
    EXPECT_EQ(st.st_mtim.tv_sec, StatOf(src).st_mtim.tv_sec);
    EXPECT_EQ(st.st_mode & 077, 0u);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(FFolder)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"SDL_2.so"}) << "no temporary file is left behind";
  }
}

TEST_F(SDLLoaderTest, CopyFolderAndFailures) {
  const std::string src = (FTemp.Path() / "source.so").string();
  WriteFile(src, "library");
  // An existing folder open to others is closed.
  fs::create_directories(FFolder);
  ASSERT_EQ(chmod(FFolder.c_str(), 0755), 0);
  std::string file, err;
  ASSERT_TRUE(PrepareSDLCopy(0, file, err, src)) << err;
  EXPECT_EQ(StatOf(FFolder).st_mode & 07777, 0700u);

  struct {
    int Player;
    std::string Source;
    std::string Contains;
  } cases[] = {
      {0, (FTemp.Path() / "missing.so").string(), "missing.so: No such file or directory"},
      {0, FTemp.Path().string(), "not a regular file"},
      {-1, src, "Invalid player number -1"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(PrepareSDLCopy(c.Player, file, err, c.Source)) << c.Source;
    EXPECT_EQ(file, "");
    EXPECT_NE(err.find(c.Contains), std::string::npos) << err;
  }

  // A folder that is not a folder.
  TEnvVar x("XDG_CACHE_HOME", src.c_str());
  EXPECT_FALSE(PrepareSDLCopy(0, file, err, src));
  EXPECT_NE(err.find("Could not create the folder"), std::string::npos) << err;
}
