// The user's folders: home, XDG configuration, documents, music, temporary.
#pragma once

#include <string>

std::string HomeFolder(); // $HOME, else the password database
std::string ConfigHome(); // $XDG_CONFIG_HOME, else ~/.config
std::string CacheHome();  // $XDG_CACHE_HOME, else ~/.cache
// An XDG user directory ("DOCUMENTS", "MUSIC") from user-dirs.dirs; empty
// when it is not set there.
std::string XdgUserDir(const std::string& AName);

class IUserFolders {
public:
  virtual ~IUserFolders() = default;
  // The documents folder (~/Documents when user-dirs.dirs names none).
  virtual std::string Documents() const = 0;
  // The music folder; empty when there is none.
  virtual std::string Music() const = 0;
  // $TMPDIR or /tmp, with a trailing separator.
  virtual std::string Temp() const = 0;
};

class TXdgUserFolders : public IUserFolders {
public:
  std::string Documents() const override;
  std::string Music() const override;
  std::string Temp() const override;
};

// Creates a folder with every missing parent; true when it exists afterwards.
bool CreateFolderChain(const std::string& APath);
bool FolderExists(const std::string& APath);
bool FileExists(const std::string& APath);
