#include "medialib/UnicodeProtocol.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <vector>

#include "medialib/FFLoad.h"

namespace {

const char* const KProtocols = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";
const std::string KPrefix = "unicode:utf8:";
constexpr size_t KMaxName = 2047;
constexpr int KIOBufferSize = 32768;

std::mutex GCodesetLock;
std::string GCodeset;

// Converts between UTF-8 and the library codeset; false when a character
// has no equivalent.
bool Convert(const std::string& AIn, const std::string& AFrom, const std::string& ATo, std::string& AOut) {
  if (AFrom == ATo) {
    AOut = AIn;
    return true;
  }
  iconv_t cd = iconv_open(ATo.c_str(), AFrom.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    AOut = AIn;
    return true;
  }
  std::string out(AIn.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(AIn.data());
  size_t inLeft = AIn.size();
  char* o = out.data();
  size_t outLeft = out.size();
  size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || r > 0) return false; // r > 0: irreversible conversions
  out.resize(out.size() - outLeft);
  AOut = out;
  return true;
}

bool IsUTF8(const std::string& ACodeset) {
  return strcasecmp(ACodeset.c_str(), "UTF-8") == 0 || strcasecmp(ACodeset.c_str(), "UTF8") == 0;
}

struct TUnicodeIO {
  int Fd = -1;
};

std::mutex GIOLock;
std::vector<AVIOContext*> GOurIO;

int ReadPacket(void* AOpaque, uint8_t* ABuf, int ASize) {
  auto io = static_cast<TUnicodeIO*>(AOpaque);
  for (;;) {
    ssize_t n = read(io->Fd, ABuf, ASize);
    if (n > 0) return int(n);
    if (n == 0) return AVERROR_EOF;
    if (errno == EINTR) continue;
    return AVERROR(errno);
  }
}

int WritePacket(void* AOpaque, uint8_t* ABuf, int ASize) {
  auto io = static_cast<TUnicodeIO*>(AOpaque);
  int done = 0;
  while (done < ASize) {
    ssize_t n = write(io->Fd, ABuf + done, ASize - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    done += int(n);
  }
  return done;
}

int64_t SeekIO(void* AOpaque, int64_t AOffset, int AWhence) {
  auto io = static_cast<TUnicodeIO*>(AOpaque);
  AWhence &= ~AVSEEK_FORCE;
  if (AWhence == AVSEEK_SIZE) {
    struct stat sb {};
    if (fstat(io->Fd, &sb) != 0) return AVERROR(errno);
    return sb.st_size;
  }
  if (AWhence != SEEK_SET && AWhence != SEEK_CUR && AWhence != SEEK_END) return AVERROR(EINVAL);
  off_t r = lseek(io->Fd, AOffset, AWhence);
  if (r < 0) return AVERROR(errno);
  return r;
}

} // namespace

void SetLibraryCodeset(const std::string& ACodeset) {
  std::lock_guard lock(GCodesetLock);
  GCodeset = ACodeset;
}

std::string LibraryCodeset() {
  {
    std::lock_guard lock(GCodesetLock);
    if (!GCodeset.empty()) return GCodeset;
  }
  const char* cs = nl_langinfo(CODESET);
  // The C locale reports ASCII; file names on Linux are UTF-8 bytes anyway.
  if (!cs || !*cs || strcmp(cs, "ANSI_X3.4-1968") == 0) return "UTF-8";
  return cs;
}

bool NeedsUnicodeName(const std::string& AName) {
  auto colon = AName.find(':');
  if (colon != std::string::npos) {
    std::string proto = ":" + AName.substr(0, colon) + ":";
    if (std::strstr(KProtocols, proto.c_str())) return false;
  }
  std::string cs = LibraryCodeset();
  if (IsUTF8(cs)) return false;
  std::string narrow, back;
  if (!Convert(AName, "UTF-8", cs, narrow)) return true;
  if (!Convert(narrow, cs, "UTF-8", back)) return true;
  return back != AName;
}

std::string ToLibraryName(const std::string& AName) {
  std::string result;
  if (NeedsUnicodeName(AName)) {
    result = KPrefix + AName;
  } else {
    std::string cs = LibraryCodeset();
    if (!Convert(AName, "UTF-8", cs, result)) result = AName;
  }
  // The libraries keep names in fixed buffers in places; refuse what cannot fit.
  if (result.size() > KMaxName) return {};
  return result;
}

bool IsUnicodeURL(const std::string& AName) {
  return AName.size() >= KPrefix.size() + 1 && AName.compare(0, KPrefix.size(), KPrefix) == 0;
}

std::string FromLibraryName(const std::string& AName) {
  if (IsUnicodeURL(AName)) return AName.substr(KPrefix.size());
  std::string cs = LibraryCodeset();
  std::string out;
  if (!Convert(AName, cs, "UTF-8", out)) return AName;
  return out;
}

AVIOContext* OpenUnicodeIO(const std::string& AURL, int AFlags, int* AError) {
  std::string path = IsUnicodeURL(AURL) ? AURL.substr(KPrefix.size()) : AURL;
  int oflags = O_CLOEXEC;
  if ((AFlags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
    oflags |= O_RDWR | O_CREAT | O_TRUNC;
  else if (AFlags & AVIO_FLAG_WRITE)
    oflags |= O_WRONLY | O_CREAT | O_TRUNC;
  else
    oflags |= O_RDONLY;
  int fd = open(path.c_str(), oflags, 0666);
  if (fd < 0) {
    if (AError) *AError = AVERROR(errno);
    return nullptr;
  }
  auto holder = new TUnicodeIO{fd};
  auto buffer = static_cast<unsigned char*>(FF.av_malloc(KIOBufferSize));
  bool writable = AFlags & AVIO_FLAG_WRITE;
  AVIOContext* io = buffer ? FF.avio_alloc_context(buffer, KIOBufferSize, writable ? 1 : 0, holder,
                                                   writable ? nullptr : ReadPacket,
                                                   writable ? WritePacket : nullptr, SeekIO)
                           : nullptr;
  if (!io) {
    if (buffer) FF.av_free(buffer);
    close(fd);
    delete holder;
    if (AError) *AError = AVERROR(ENOMEM);
    return nullptr;
  }
  if ((AFlags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE) io->read_packet = ReadPacket;
  std::lock_guard lock(GIOLock);
  GOurIO.push_back(io);
  return io;
}

bool IsUnicodeIO(const AVIOContext* AIO) {
  std::lock_guard lock(GIOLock);
  for (auto io : GOurIO)
    if (io == AIO) return true;
  return false;
}

void CloseUnicodeIO(AVIOContext** AIO) {
  if (!AIO || !*AIO) return;
  AVIOContext* io = *AIO;
  {
    std::lock_guard lock(GIOLock);
    auto it = std::find(GOurIO.begin(), GOurIO.end(), io);
    if (it == GOurIO.end()) return;
    GOurIO.erase(it);
  }
  if (io->write_flag) FF.avio_flush(io);
  auto holder = static_cast<TUnicodeIO*>(io->opaque);
  FF.av_freep(&io->buffer);
  FF.avio_context_free(AIO);
  if (holder) {
    close(holder->Fd);
    delete holder;
  }
  *AIO = nullptr;
}

int FFOpenInput(AVFormatContext** ACtx, const std::string& AURL, const AVInputFormat* AFormat,
                AVDictionary** AOpts) {
  *ACtx = FF.avformat_alloc_context();
  if (!*ACtx) return AVERROR(ENOMEM);
  (*ACtx)->interrupt_callback = FFInterruptCB();
  AVIOContext* ourIO = nullptr;
  if (IsUnicodeURL(AURL)) {
    int err = 0;
    ourIO = OpenUnicodeIO(AURL, AVIO_FLAG_READ, &err);
    if (!ourIO) {
      FF.avformat_free_context(*ACtx);
      *ACtx = nullptr;
      return err;
    }
    (*ACtx)->pb = ourIO;
  }
  // On failure the library frees the context and nulls the pointer.
  int ret = FF.avformat_open_input(ACtx, AURL.c_str(), AFormat, AOpts);
  if (ret < 0) {
    *ACtx = nullptr;
    CloseUnicodeIO(&ourIO);
  }
  return ret;
}

void FFCloseInput(AVFormatContext** ACtx) {
  if (!ACtx || !*ACtx) return;
  AVIOContext* pb = (*ACtx)->pb;
  bool ours = pb && IsUnicodeIO(pb);
  FF.avformat_close_input(ACtx);
  if (ours) CloseUnicodeIO(&pb);
}

int FFOpenOutputIO(AVFormatContext* AOutput, const std::string& AURL, int AFlags, AVDictionary** AOpts) {
  if (!AOutput) return AVERROR(EINVAL);
  AOutput->interrupt_callback = FFInterruptCB();
  if (AOutput->oformat && (AOutput->oformat->flags & AVFMT_NOFILE)) return 0;
  if (IsUnicodeURL(AURL)) {
    int err = 0;
    AOutput->pb = OpenUnicodeIO(AURL, AFlags, &err);
    if (!AOutput->pb) return err;
    AOutput->flags |= AVFMT_FLAG_CUSTOM_IO;
    return 0;
  }
  AVIOInterruptCB cb = FFInterruptCB();
  return FF.avio_open2(&AOutput->pb, AURL.c_str(), AFlags, &cb, AOpts);
}

void FFCloseOutputIO(AVFormatContext* AOutput) {
  if (!AOutput || !AOutput->pb) return;
  if (IsUnicodeIO(AOutput->pb)) {
    CloseUnicodeIO(&AOutput->pb);
    return;
  }
  if (AOutput->oformat && (AOutput->oformat->flags & AVFMT_NOFILE)) return;
  FF.avio_closep(&AOutput->pb);
}
