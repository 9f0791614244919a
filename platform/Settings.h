// The per-user settings store: one INI file,
// $XDG_CONFIG_HOME/Tavrik/Tavrik Sondel.conf (~/.config when the variable is
// unset), with groups of name=value lines.
//
// Values are text; integers are decimal text. A value that does not read as
// the asked type counts as absent. Writing re-reads the file, changes only the
// given values and replaces the file atomically, so the other groups (and
// edits made meanwhile) are kept.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The values of one group.
class TSettingsGroup {
public:
  bool Has(const std::string& AName) const { return FValues.count(AName) != 0; }
  std::optional<std::string> String(const std::string& AName) const;
  // A decimal 32-bit integer (optional sign, nothing else); otherwise absent.
  std::optional<int32_t> Integer(const std::string& AName) const;
  void Set(const std::string& AName, const std::string& AValue) { FValues[AName] = AValue; }
  void SetInteger(const std::string& AName, int32_t AValue) { FValues[AName] = std::to_string(AValue); }
  const std::map<std::string, std::string>& Values() const { return FValues; }

private:
  std::map<std::string, std::string> FValues;
};

class ISettingsStore {
public:
  virtual ~ISettingsStore() = default;
  // False when the store or the group does not exist (nothing is created).
  virtual bool ReadGroup(const std::string& AGroup, TSettingsGroup& AValues) = 0;
  // Sets the given values of a group, creating the store and the group when
  // needed. False with AError on failure (then nothing was changed).
  virtual bool WriteGroup(const std::string& AGroup, const TSettingsGroup& AValues, std::string& AError) = 0;
};

// The INI file store.
class TIniSettingsStore : public ISettingsStore {
public:
  explicit TIniSettingsStore(std::string AFileName);
  bool ReadGroup(const std::string& AGroup, TSettingsGroup& AValues) override;
  bool WriteGroup(const std::string& AGroup, const TSettingsGroup& AValues, std::string& AError) override;
  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
};

// $XDG_CONFIG_HOME/Tavrik/Tavrik Sondel.conf
std::string DefaultSettingsFileName();

// The INI text form, exposed for tests: groups in file order, each with its
// name=value lines in file order.
struct TIniGroup {
  std::string Name;
  std::vector<std::pair<std::string, std::string>> Values;
};
std::vector<TIniGroup> ParseIni(const std::string& AText);
std::string FormatIni(const std::vector<TIniGroup>& AGroups);
