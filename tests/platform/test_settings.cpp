// The INI settings store: round trips of awkward values, typed reads, keeping
// the rest of the file, and write failures.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Settings.h"
#include "tests/support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::TTempDir;
using testsupport::WriteFile;

TEST(SettingsStore, ValuesRoundTripUnchanged) {
  TTempDir dir;
  TIniSettingsStore store(dir / "sub/Tavrik Sondel.conf");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "/home/u/Music"},
      {"spaces", "  leading and trailing  "},
      {"empty", ""},
      {"breaks", "line one\nline two\r\nthree"},
      {"specials", "a=b;c#d\\e\"f\"[g]"},
      {"comment-like", "; not a comment"},
      {"utf8", "Müsik/曲"},
  };
  TSettingsGroup g;
  for (auto& [k, v] : cases) g.Set(k, v);
  std::string err;
  ASSERT_TRUE(store.WriteGroup("Tavrik Sondel", g, err)) << err;

  TSettingsGroup back;
  ASSERT_TRUE(store.ReadGroup("Tavrik Sondel", back));
  for (auto& [k, v] : cases) EXPECT_EQ(back.String(k).value_or("<missing>"), v) << k;
  EXPECT_FALSE(store.ReadGroup("Other", back));
}

TEST(SettingsStore, IntegersOfTheWrongFormCountAsAbsent) {
  TTempDir dir;
  WriteFile(dir / "s.conf",
            "[G]\nok=42\nneg=-7\nspace= 5 \nword=abc\nfloat=1.5\nhuge=99999999999\nempty=\nhex=0x10\n");
  TIniSettingsStore store(dir / "s.conf");
  TSettingsGroup g;
  ASSERT_TRUE(store.ReadGroup("G", g));
  EXPECT_EQ(g.Integer("ok"), 42);
  EXPECT_EQ(g.Integer("neg"), -7);
  EXPECT_EQ(g.Integer("space"), 5); // the line's own spaces are not part of the value
  for (const char* bad : {"word", "float", "huge", "empty", "hex", "missing"})
    EXPECT_FALSE(g.Integer(bad).has_value()) << bad;
}

TEST(SettingsStore, WritingKeepsOtherGroupsAndValues) {
  TTempDir dir;
  WriteFile(dir / "s.conf", "; mail settings\n[ErrorReport]\nServer=mail.example\nPort=26\n\n[Tavrik "
                            "Sondel]\nOutputPath=/old\nkeep=1\n");
  TIniSettingsStore store(dir / "s.conf");
  TSettingsGroup g;
  g.Set("OutputPath", "/new");
  g.SetInteger("recentprofileind", 3);
  std::string err;
  ASSERT_TRUE(store.WriteGroup("Tavrik Sondel", g, err)) << err;

  TSettingsGroup mail, app;
  ASSERT_TRUE(store.ReadGroup("ErrorReport", mail));
  EXPECT_EQ(mail.String("Server"), "mail.example");
  EXPECT_EQ(mail.Integer("Port"), 26);
  ASSERT_TRUE(store.ReadGroup("Tavrik Sondel", app));
  EXPECT_EQ(app.String("OutputPath"), "/new");
  EXPECT_EQ(app.String("keep"), "1");
  EXPECT_EQ(app.Integer("recentprofileind"), 3);
  // No temporary file is left behind.
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.Path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST(SettingsStore, WriteFailsWhenTheFolderCannotExist) {
  TTempDir dir;
  WriteFile(dir / "Tavrik", "a file where the folder should be");
  TIniSettingsStore store(dir / "Tavrik/Tavrik Sondel.conf");
  TSettingsGroup g;
  g.Set("OutputPath", "/x");
  std::string err;
  EXPECT_FALSE(store.WriteGroup("Tavrik Sondel", g, err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(ReadFile(dir / "Tavrik"), "a file where the folder should be");
}

TEST(SettingsStore, FileNameFollowsXdgConfigHome) {
  TTempDir dir;
  setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
  EXPECT_EQ(DefaultSettingsFileName(), dir.Path().string() + "/Tavrik/Tavrik Sondel.conf");
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  setenv("HOME", dir.Path().c_str(), 1);
  EXPECT_EQ(DefaultSettingsFileName(), dir.Path().string() + "/.config/Tavrik/Tavrik Sondel.conf");
}
