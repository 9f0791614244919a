// Presets: named sets of option lines, built in or read from files.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The built-in presets (name, text), in table order.
const std::vector<std::pair<std::string, std::string>>& BuiltinPresets();
// The text of a built-in preset, the name compared ignoring case; null when none.
const std::string* FindBuiltinPreset(const std::string& AName);

// The file a preset path names: "~/" is the home folder, other relative
// paths are taken against the current folder.
std::string ResolvePresetPath(const std::string& APath);
// Reads the whole file as bytes; false when it cannot be read.
bool ReadPresetFile(const std::string& AFileName, std::string& AText);
