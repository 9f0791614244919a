// Common base of the media components: an owner, a read-only version and the
// text of the last failure.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <fmt/printf.h>

#define SONDEL_VERSION_TEXT "0.1.0"

class TFFBaseComponent {
public:
  explicit TFFBaseComponent(TFFBaseComponent* AOwner = nullptr);
  virtual ~TFFBaseComponent();
  TFFBaseComponent(const TFFBaseComponent&) = delete;
  TFFBaseComponent& operator=(const TFFBaseComponent&) = delete;

  TFFBaseComponent* Owner() const { return FOwner; }
  const std::string& Version() const { return FVersion; }
  // Kept until the next failure: a success never clears it.
  std::string LastErrMsg() const;

protected:
  void SetLastErrMsg(std::string AMsg);
  template <typename... Args> void SetLastErrMsgF(const char* AFormat, const Args&... AArgs) {
    SetLastErrMsg(fmt::sprintf(AFormat, AArgs...));
  }

private:
  TFFBaseComponent* FOwner;
  std::string FVersion{SONDEL_VERSION_TEXT};
  mutable std::mutex FErrLock;
  std::string FLastErrMsg;
  // Owned components die with their owner, in reverse order of creation.
  std::vector<TFFBaseComponent*> FChildren;
  std::mutex FChildLock;
  void AddChild(TFFBaseComponent* AChild);
  void RemoveChild(TFFBaseComponent* AChild);
};

// Seek flags shared by the decoder and the player.
enum class TSeekFlag { sfBackward, sfByte, sfAny, sfFrame };
struct TSeekFlags {
  unsigned Bits = 0;
  TSeekFlags() = default;
  TSeekFlags(std::initializer_list<TSeekFlag> AFlags) {
    for (auto f : AFlags) Bits |= 1u << static_cast<unsigned>(f);
  }
  bool Has(TSeekFlag f) const { return Bits & (1u << static_cast<unsigned>(f)); }
};

enum class TPictureType { ptNone, ptI, ptP, ptB, ptS, ptSI, ptSP, ptBI };
