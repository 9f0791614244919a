// Compiled into every test binary: where the built programs and the sources
// are, unless the environment already says so.
#include <cstdlib>

namespace {
struct TTestEnv {
  TTestEnv() {
    setenv("SONDEL_TEST_BIN", SONDEL_TEST_BIN_DEFAULT, 0);
    setenv("SONDEL_SOURCE_DIR", SONDEL_SOURCE_DIR_DEFAULT, 0);
  }
} GTestEnv;
} // namespace
