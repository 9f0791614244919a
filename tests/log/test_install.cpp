// Installing the library callback: by the loader when the utility library
// is loaded after the logger exists, at once when it is loaded before, and
// handing the library its own callback back when the logger goes away.
#include <gtest/gtest.h>

#include <memory>

#include "LogCapture.h"

namespace {

std::unique_ptr<TFFLogger> NewLogger(TLogCapture& ACap) {
  auto logger = std::make_unique<TFFLogger>();
  logger->TriggerEventInMainThread = false;
  logger->SetLogLevel(llInfo);
  ACap.Attach(*logger);
  return logger;
}

// Runs ACall and returns what the library wrote to stderr meanwhile.
template <typename F> std::string StderrOf(F ACall) {
  testing::internal::CaptureStderr();
  ACall();
  return testing::internal::GetCapturedStderr();
}

TEST(LogInstall, LoaderInstallsTheCallbackOfAnExistingLogger) {
  if (FF.av_log_set_callback) GTEST_SKIP() << "the library was loaded by an earlier test of this process";
  TLogCapture cap;
  auto logger = NewLogger(cap);
  ASSERT_TRUE(LoadTestLibraries()) << FFLoader().LastErrMsg();
  FF.av_log(nullptr, AV_LOG_ERROR, "after load\n");
  EXPECT_EQ(cap.Msgs(), std::vector<std::string>{"after load"});
}

TEST(LogInstall, LoggerCreatedAfterLoadingInstallsAtOnce) {
  ASSERT_TRUE(LoadTestLibraries()) << FFLoader().LastErrMsg();
  TLogCapture cap;
  auto logger = NewLogger(cap);
  auto err = StderrOf([] { FF.av_log(nullptr, AV_LOG_ERROR, "to the sink\n"); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(cap.Msgs(), std::vector<std::string>{"to the sink"});
}

TEST(LogInstall, DestroyedLoggerGivesTheLibraryItsOwnCallbackBack) {
  ASSERT_TRUE(LoadTestLibraries()) << FFLoader().LastErrMsg();
  {
    TLogCapture cap;
    auto logger = NewLogger(cap);
    FF.av_log(nullptr, AV_LOG_ERROR, "while alive\n");
    EXPECT_EQ(cap.Count(), 1u);
  }
  EXPECT_FALSE(LoggerExists());
  auto err = StderrOf([] { FF.av_log(nullptr, AV_LOG_ERROR, "after the logger\n"); });
  EXPECT_NE(err.find("after the logger"), std::string::npos) << err;
}

TEST(LogInstall, AutoCreatedLoggerInstallsAsWell) {
  ASSERT_TRUE(LoadTestLibraries()) << FFLoader().LastErrMsg();
  {
    TLogCapture unused;
    auto replaced = NewLogger(unused);
  } // start without a logger
  ASSERT_FALSE(LoggerExists());
  TLogCapture cap;
  cap.Attach(Logger()); // no dispatcher: delivered on the logging thread
  Logger().SetLogLevel(llInfo);
  FF.av_log(nullptr, AV_LOG_WARNING, "auto\n");
  EXPECT_EQ(cap.Msgs(), std::vector<std::string>{"auto"});
  // A logger placed by the application replaces it and takes the callback.
  TLogCapture user;
  auto logger = NewLogger(user);
  FF.av_log(nullptr, AV_LOG_WARNING, "user\n");
  EXPECT_EQ(user.Msgs(), std::vector<std::string>{"user"});
  EXPECT_EQ(cap.Count(), 1u);
}

TEST(LogInstall, NothingInstalledWhenTheLoaderIsToldNotTo) {
  ASSERT_TRUE(LoadTestLibraries()) << FFLoader().LastErrMsg();
  {
    TLogCapture unused;
    auto replaced = NewLogger(unused);
  } // library callback reset
  FFLoader().InstallLogger = false;
  TLogCapture cap;
  auto logger = NewLogger(cap);
  auto err = StderrOf([] { FF.av_log(nullptr, AV_LOG_ERROR, "left to the library\n"); });
  FFLoader().InstallLogger = true;
  EXPECT_NE(err.find("left to the library"), std::string::npos) << err;
  EXPECT_EQ(cap.Count(), 0u);
  // Installing by hand still works.
  logger->InstallAVLogCallback();
  FF.av_log(nullptr, AV_LOG_ERROR, "by hand\n");
  EXPECT_EQ(cap.Msgs(), std::vector<std::string>{"by hand"});
}

} // namespace
