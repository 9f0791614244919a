#include <dlfcn.h>
#include <fenv.h>
#include <link.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "medialib/FFLoad.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// The system's copy of a library, found the way the loader would find it.
std::string SystemPath(const std::string& ASoname) {
  void* h = dlopen(ASoname.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE); // as the loader does
  if (!h) return {};
  link_map* map = nullptr;
  dlinfo(h, RTLD_DI_LINKMAP, &map);
  std::string path = map ? map->l_name : "";
  dlclose(h);
  return fs::canonical(path).string();
}

const TLibrary KRealLibs[] = {avUtil, swResample, swScale, avCodec, avFormat, avFilter, avDevice};

// Builds a tiny shared library from C source with the given soname.
bool BuildStub(const std::string& ASource, const std::string& AOut, const std::string& AExtra = "") {
  std::string c = AOut + ".c";
  WriteFile(c, ASource);
  auto r = RunProgram({"sh", "-c", "cc -shared -fPIC -o '" + AOut + "' '" + c + "' " + AExtra});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  return r.ExitCode == 0;
}

int CountMapped(const char* ABase) {
  struct TArg {
    const char* Base;
    int Count;
  } arg{ABase, 0};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto a = static_cast<TArg*>(data);
        if (info->dlpi_name && std::strstr(info->dlpi_name, a->Base)) ++a->Count;
        return 0;
      },
      &arg);
  return arg.Count;
}

} // namespace

// Each case runs in a child process: the loader is process-wide.
TEST(Loader, LoadsFromTheApplicationLibraryFolderFirst) {
  TTempDir dir;
  fs::create_directory(dir.Path() / "LibAV");
  for (auto lib : KRealLibs) {
    auto name = TFFLoader::FileName(lib);
    fs::create_symlink(SystemPath(name), dir.Path() / "LibAV" / name);
  }
  std::string folder = (dir.Path() / "LibAV").string();
  EXPECT_EXIT(
      {
        FFLoader().SetLibraryPath(folder);
        if (!FFLoader().Load(AllLibraries)) _exit(1);
        for (auto lib : KRealLibs)
          if (FFLoader().LoadedFrom(lib).rfind(folder, 0) != 0) _exit(2);
        // Exactly one copy of avutil is mapped: every library bound to ours.
        if (CountMapped("libavutil.so") != 1) _exit(3);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Loader, LoadsFromTheSystemAndResolvesEveryEntry) {
  EXPECT_EXIT(
      {
        FFLoader().SetLibraryPath("/nonexistent-folder");
        if (!FFLoader().Load(AllLibraries)) _exit(1);
        const void* const* begin = reinterpret_cast<const void* const*>(&FF);
        size_t n = sizeof(TFFFunctions) / sizeof(void*);
        for (size_t i = 0; i < n; ++i)
          if (!begin[i]) _exit(2);
        if (FFLoader().LoadedFrom(avCodec) != "libavcodec.so.59") _exit(3);
        FFLoader().Unload(AllLibraries);
        for (size_t i = 0; i < n; ++i)
          if (begin[i]) _exit(4);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Loader, FailuresLeaveNothingHalfLoaded) {
  TTempDir dir;
  auto lib = dir.Path() / "LibAV";
  fs::create_directory(lib);
  struct TCase {
    const char* Name;
    std::string Source; // for libavutil.so.57 / libavcodec.so.59 stubs
    std::string File;
    std::string Extra;
    TLibraries Load;
    std::string Expected;
  } cases[] = {
      {"missing function", "unsigned avutil_version(void){return 57u<<16;}", "libavutil.so.57", "",
       TLibraries{avUtil}, "Load function av_log@" + (lib / "libavutil.so.57").string() + " error: "},
      {"other major", "unsigned avutil_version(void){return 58u<<16;}", "libavutil.so.57", "",
       TLibraries{avUtil},
       "Load library " + (lib / "libavutil.so.57").string() + " error: major version 58 found, 57 required"},
      {"missing library", "unsigned avcodec_version(void){return 59u<<16;}", "libavcodec.so.59",
       "-Wl,--no-as-needed -L" + lib.string() + " -l:libsondelmissing.so.1", TLibraries{avFormat},
       "Load library " + (lib / "libavcodec.so.59").string() +
           " error: libsondelmissing.so.1: cannot open shared"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(lib);
    fs::create_directory(lib);
    if (c.Extra.find("sondelmissing") != std::string::npos) {
      ASSERT_TRUE(BuildStub("int sondel_missing;", (lib / "libsondelmissing.so.1").string(),
                            "-Wl,-soname,libsondelmissing.so.1"));
    }
    ASSERT_TRUE(BuildStub(c.Source, (lib / c.File).string(), c.Extra));
    fs::remove(lib / "libsondelmissing.so.1");
    std::string folder = lib.string();
    std::string expected = c.Expected;
    TLibraries set = c.Load;
    EXPECT_EXIT(
        {
          FFLoader().SetLibraryPath(folder);
          if (FFLoader().Load(set)) _exit(1);
          std::string msg = FFLoader().LastErrMsg();
          if (msg.rfind(expected, 0) != 0) {
            fprintf(stderr, "message: %s\n", msg.c_str());
            fflush(stderr);
            _exit(2);
          }
          for (auto l : KRealLibs)
            if (FFLoader().LoadCount(l) != 0 || FFLoader().Loaded(l)) _exit(3);
          if (FF.avutil_version || FF.av_malloc || FF.avcodec_version) _exit(4);
          _exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
  }
}

TEST(Loader, LoadsAreCountedPerLibrary) {
  FFLoader().SetLibraryPath("");
  ASSERT_TRUE(FFLoader().Load(EncoderLibraries)) << FFLoader().LastErrMsg(); // first component
  ASSERT_TRUE(FFLoader().Load(ProbeLibraries)) << FFLoader().LastErrMsg();   // second component
  FFLoader().Unload(EncoderLibraries);
  EXPECT_TRUE(FFLoader().Loaded(ProbeLibraries));
  EXPECT_FALSE(FFLoader().Loaded(avFilter));
  ASSERT_NE(FF.avcodec_find_decoder, nullptr);
  EXPECT_NE(FF.avcodec_find_decoder(AV_CODEC_ID_FLAC), nullptr);
  FFLoader().Unload(ProbeLibraries);
  EXPECT_FALSE(FFLoader().Loaded(avUtil));
  EXPECT_EQ(FF.avcodec_find_decoder, nullptr);
  EXPECT_TRUE(FFLoader().Loaded(myUtil));
}

TEST(Loader, EmptySetIsAProgrammingError) {
  EXPECT_THROW(FFLoader().Load(TLibraries{}), std::logic_error);
}

TEST(Loader, FloatingPointExceptionsAreMasked) {
  FFLoader();
  EXPECT_EQ(fegetexcept(), 0);
}

TEST(InterruptRegistry, RoutesByThreadAndKeepsEntriesUnique) {
  TInterruptCB cb;
  int a = 0, b = 0;
  auto yes = [](void* s) {
    ++*static_cast<int*>(s);
    return true;
  };
  auto no = [](void* s) {
    ++*static_cast<int*>(s);
    return false;
  };
  cb.Add(1, &a, yes);
  cb.Add(1, &a, yes); // duplicate
  cb.Add(1, &b, no);
  cb.Add(2, &b, no);
  EXPECT_EQ(cb.Count(), 3u);
  EXPECT_TRUE(cb.Interrupt(1)); // the first entry of thread 1 answers
  EXPECT_EQ(a, 1);
  EXPECT_FALSE(cb.Interrupt(2));
  EXPECT_FALSE(cb.Interrupt(3));
  cb.Remove(1, &a, no); // not an exact match
  EXPECT_EQ(cb.Count(), 3u);
  cb.Remove(1, &a, yes);
  EXPECT_FALSE(cb.Interrupt(1)); // now thread 1's first entry is b/no
  EXPECT_EQ(b, 2);
  cb.Clear();
  EXPECT_EQ(cb.Count(), 0u);
}

TEST(InterruptRegistry, AbortsABlockingOpen) {
  ASSERT_TRUE(FFLoader().Load(TLibraries{avFormat}));
  // A peer that accepts the connection and never sends: probing blocks in
  // reading until the callback gives up.
  int srv = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(srv, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(srv, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  static std::atomic<int> asked{0};
  auto giveUp = [](void*) { return ++asked > 3; };
  InterruptCB().Add(CurrentThreadID(), nullptr, giveUp);
  AVFormatContext* ctx = FF.avformat_alloc_context();
  ctx->interrupt_callback = FFInterruptCB();
  AVDictionary* opts = nullptr;
  auto start = std::chrono::steady_clock::now();
  int ret = FF.avformat_open_input(&ctx, url.c_str(), nullptr, &opts);
  auto took = std::chrono::steady_clock::now() - start;
  FF.av_dict_free(&opts);
  InterruptCB().Remove(CurrentThreadID(), nullptr, giveUp);
  EXPECT_EQ(ret, AVERROR_EXIT);
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_GT(asked.load(), 3);
  close(srv);
  FFLoader().Unload(TLibraries{avFormat});
}
