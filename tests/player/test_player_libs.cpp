#include <cstdlib>

#include <gtest/gtest.h>

#include "player/FFPlay.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

// Each player gets its own copy of the audio-output library, and the media
// libraries are shared by the process.
TEST(PlayerLibraries, TwoPlayersLoadTheirOwnCopies) {
  TTempDir cache;
  setenv("XDG_CACHE_HOME", cache.Path().c_str(), 1);
  TDURivezu a, b;
  EXPECT_FALSE(a.SDLLibLoaded());
  ASSERT_TRUE(a.LoadAVLib("")) << a.LastErrMsg();
  ASSERT_TRUE(b.LoadAVLib("")) << b.LastErrMsg();
  EXPECT_TRUE(a.AVLibLoaded());
  EXPECT_TRUE(a.SDLLibLoaded());
  EXPECT_TRUE(b.SDLLibLoaded());
  EXPECT_NE(reinterpret_cast<void*>(a.SDL().SDL_Init), reinterpret_cast<void*>(b.SDL().SDL_Init));
  // The second loader cannot take the first one's file.
  EXPECT_FALSE(b.LoadSDLLib("", cache.Path().string() + "/tavrik-sondel/SDL_" +
                                    std::to_string(a.PlayerNumber()) + ".so"));
  EXPECT_NE(b.LastErrMsg().find("alreay loaded in another instance."), std::string::npos) << b.LastErrMsg();
  EXPECT_FALSE(a.LoadSDLLib("/nonexistent", "SDL_missing.so"));
  EXPECT_FALSE(a.LastErrMsg().empty());
}
