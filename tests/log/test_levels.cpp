// Level tables, the level option, the own-message filter and the
// one-instance rule. No media library is needed here.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <stdexcept>

#include "LogCapture.h"

TEST(LogLevels, LibraryLevelOfEachLevel) {
  const std::pair<TLogLevel, int> table[] = {{llQuiet, -8},   {llPanic, 0}, {llFatal, 8},    {llError, 16},
                                             {llWarning, 24}, {llInfo, 32}, {llVerbose, 40}, {llDebug, 48}};
  for (auto [level, lib] : table) {
    EXPECT_EQ(LibraryLevelOf(level), lib) << level;
    EXPECT_EQ(LogLevelOfLibrary(lib), level) << lib;
  }
}

TEST(LogLevels, LevelOfLibraryValuesTruncatesAndClamps) {
  const std::pair<int, TLogLevel> table[] = {
      {INT_MIN, llQuiet}, {-9, llQuiet},   {-8, llQuiet},   {-7, llPanic}, {-1, llPanic},
      {0, llPanic},       {7, llPanic},    {8, llFatal},    {15, llFatal}, {16, llError},
      {23, llError},      {24, llWarning}, {31, llWarning}, {32, llInfo},  {39, llInfo},
      {40, llVerbose},    {47, llVerbose}, {48, llDebug},   {56, llDebug}, {INT_MAX, llDebug}};
  for (auto [lib, level] : table) EXPECT_EQ(LogLevelOfLibrary(lib), level) << lib;
}

TEST(LogLevels, OptLogLevelNamesAndNumbers) {
  TFFLogger logger;
  const std::pair<const char*, TLogLevel> table[] = {
      {"Warning", llWarning}, {"QUIET", llQuiet}, {"panic", llPanic},     {"Fatal", llFatal},
      {"error", llError},     {"info", llInfo},   {"VERBOSE", llVerbose}, {"debug", llDebug},
      {"20", llError},        {"-8", llQuiet},    {"-7", llPanic},        {"0", llPanic},
      {"56", llDebug},        {"+24", llWarning}, {"31", llWarning}};
  for (auto [text, level] : table) {
    logger.SetLogLevel(level == llInfo ? llDebug : llInfo); // start from another level
    logger.OptLogLevel(text);
    EXPECT_EQ(logger.LogLevel(), level) << text;
  }
}

TEST(LogLevels, OptLogLevelRejectsOtherText) {
  TFFLogger logger;
  logger.SetLogLevel(llWarning);
  for (const char* text : {"abc", "20x", "", "warn", "1.5", "99999999999"}) {
    EXPECT_THROW(logger.OptLogLevel(text), std::invalid_argument) << text;
    EXPECT_EQ(logger.LogLevel(), llWarning) << text;
  }
  try {
    logger.OptLogLevel("abc");
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
}

TEST(LogLevels, OwnMessagesFilteredByLevelVerbosePassesUnlessQuiet) {
  TFFLogger logger;
  logger.TriggerEventInMainThread = false;
  TLogCapture cap;
  cap.Attach(logger);
  struct TCase {
    TLogLevel Current, Message;
    bool Passes;
  };
  const TCase table[] = {
      {llInfo, llError, true},  {llInfo, llInfo, true},      {llInfo, llVerbose, true},
      {llInfo, llDebug, false}, {llError, llWarning, false}, {llError, llVerbose, true},
      {llError, llQuiet, true}, {llQuiet, llVerbose, false}, {llQuiet, llPanic, false},
      {llQuiet, llQuiet, true}, {llDebug, llDebug, true},    {llPanic, llFatal, false},
  };
  for (auto& c : table) {
    cap.Clear();
    logger.SetLogLevel(c.Current);
    logger.Log(nullptr, c.Message, "m");
    EXPECT_EQ(cap.Count(), c.Passes ? 1u : 0u) << "level " << c.Current << " message " << c.Message;
  }
}

TEST(LogLevels, OwnMessagePayloadAndFormatting) {
  TFFLogger logger;
  logger.SetLogLevel(llInfo);
  logger.TriggerEventInMainThread = false;
  TLogCapture cap;
  cap.Attach(logger);
  int sender = 0;
  logger.Log(&sender, llError, "file %s: %d%%", "a.mp3", 42);
  logger.Log(nullptr, llWarning, std::string("plain %s"));
  auto lines = cap.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Sender, &sender);
  EXPECT_EQ(lines[0].ThreadID, CurrentThreadID());
  EXPECT_EQ(lines[0].Level, llError);
  EXPECT_EQ(lines[0].Msg, "file a.mp3: 42%");
  EXPECT_EQ(lines[1].Sender, nullptr);
  EXPECT_EQ(lines[1].Msg, "plain %s");
}

TEST(LogLevels, NothingWithoutHandler) {
  TFFLogger logger;
  logger.SetLogLevel(llInfo);
  logger.TriggerEventInMainThread = false;
  logger.Log(nullptr, llError, "dropped");
  TLogCapture cap;
  cap.Attach(logger);
  logger.Log(nullptr, llError, "kept");
  EXPECT_EQ(cap.Msgs(), std::vector<std::string>{"kept"});
}

TEST(LogInstance, SecondUserLoggerFails) {
  TFFLogger first;
  EXPECT_TRUE(LoggerExists());
  EXPECT_EQ(&Logger(), &first);
  EXPECT_FALSE(first.AutoCreated());
  try {
    TFFLogger second;
    FAIL() << "a second logger was created";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
  }
  // The failed attempt left the first one in place.
  EXPECT_EQ(&Logger(), &first);
}

TEST(LogInstance, AutoCreatedLoggerGivesWayToUserLogger) {
  ASSERT_FALSE(LoggerExists());
  TFFLogger& automatic = Logger();
  EXPECT_TRUE(automatic.AutoCreated());
  EXPECT_EQ(&Logger(), &automatic);
  {
    TFFBaseComponent owner;
    auto* user = new TFFLogger(&owner); // owned: freed with the owner
    EXPECT_FALSE(user->AutoCreated());
    EXPECT_EQ(&Logger(), user);
    EXPECT_THROW(TFFLogger another, std::runtime_error);
  }
  EXPECT_FALSE(LoggerExists());
  // A later use creates a new automatic one; it is freed at process end.
  EXPECT_TRUE(Logger().AutoCreated());
}

TEST(LogInstance, NewLoggerTakesTheCurrentLevel) {
  {
    TFFLogger first;
    first.SetLogLevel(llDebug);
  }
  TFFLogger second;
  EXPECT_EQ(second.LogLevel(), llDebug);
  second.SetLogLevel(llInfo);
}
