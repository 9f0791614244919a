#include "app/Profiles.h"

#include <strings.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

std::string Trim(const std::string& S) {
  size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

// UTF-16 (with its byte-order mark) to UTF-8; anything else is taken as UTF-8.
std::string DecodeText(const std::string& ABytes) {
  auto u8 = [](std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  };
  if (ABytes.size() >= 3 && ABytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return ABytes.substr(3);
  bool le = ABytes.size() >= 2 && ABytes[0] == '\xFF' && ABytes[1] == '\xFE';
  bool be = ABytes.size() >= 2 && ABytes[0] == '\xFE' && ABytes[1] == '\xFF';
  if (!le && !be) return ABytes;
  std::string out;
  for (size_t i = 2; i + 1 < ABytes.size(); i += 2) {
    unsigned a = static_cast<unsigned char>(ABytes[i]), b = static_cast<unsigned char>(ABytes[i + 1]);
    unsigned unit = le ? (a | (b << 8)) : ((a << 8) | b);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < ABytes.size()) {
      unsigned c = static_cast<unsigned char>(ABytes[i + 2]), d = static_cast<unsigned char>(ABytes[i + 3]);
      unsigned low = le ? (c | (d << 8)) : ((c << 8) | d);
      u8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      i += 2;
    } else {
      u8(out, unit);
    }
  }
  return out;
}

} // namespace

void SplitChoiceList(const std::string& AList, std::vector<std::string>& AValues,
                     std::vector<std::string>& ACaptions) {
  AValues.clear();
  ACaptions.clear();
  std::string cur;
  for (char c : AList) {
    if (c == '$') {
      AValues.push_back(cur);
      cur.clear();
    } else if (c == ',') {
      ACaptions.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  ACaptions.push_back(cur);
}

int ChoiceIndex(const std::string& AList, const std::string& AValue) {
  std::vector<std::string> values, captions;
  SplitChoiceList(AList, values, captions);
  for (size_t i = 0; i < values.size(); ++i)
    if (strcasecmp(values[i].c_str(), AValue.c_str()) == 0) return int(i);
  return -1;
}

std::vector<TProfile> ParseProfileSet(const std::string& AText) {
  std::vector<TProfile> profiles;
  std::string text = DecodeText(AText);
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    std::string line = Trim(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos)
      pos = text.size() + 1;
    else
      pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    if (line == "<Profile>") {
      profiles.emplace_back();
      continue;
    }
    if (line == "</ProfileSet>") break;
    std::string key;
    auto lt = line.find('<');
    if (lt != std::string::npos) {
      auto sp = line.find(' ', lt);
      if (sp != std::string::npos) key = line.substr(lt + 1, sp - lt - 1);
    }
    std::string value;
    auto q1 = line.find('"');
    if (q1 != std::string::npos) {
      auto q2 = line.find('"', q1 + 1);
      if (q2 != std::string::npos) value = line.substr(q1 + 1, q2 - q1 - 1);
    }
    static const std::pair<const char*, std::string TProfile::*> KKeys[] = {
        {"profilename", &TProfile::Title},
        {"formatext", &TProfile::FormatExt},
        {"description", &TProfile::Description},
        {"audiobitrate", &TProfile::AudioBitRate},
        {"samplerate", &TProfile::SampleRate},
        {"channel", &TProfile::Channel},
        {"audiocodecname", &TProfile::AudioCodecName},
        {"samplerates", &TProfile::SampleRates},
        {"channels", &TProfile::Channels},
        {"audiocodecs", &TProfile::AudioCodecs},
        {"audiobitrates", &TProfile::AudioBitRates},
        {"extraparam", &TProfile::ExtraParam},
    };
    for (auto& [name, field] : KKeys) {
      if (key.empty() || strcasecmp(key.c_str(), name) != 0) continue;
      if (profiles.empty()) throw std::runtime_error("Profile key \"" + key + "\" before the first profile");
      profiles.back().*field = value;
      break;
    }
  }
  return profiles;
}

std::string EncodeProfileSet(const std::string& APlain) {
  std::string out = APlain;
  for (auto& c : out) c = char(~static_cast<unsigned char>(c));
  return out;
}

std::vector<TProfile> LoadProfileSet(const std::string& AFileName) {
  std::ifstream f(AFileName, std::ios::binary);
  if (!f) throw std::runtime_error("Cannot open file \"" + AFileName + "\"");
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw std::runtime_error("Cannot read file \"" + AFileName + "\"");
  if (bytes.empty()) throw std::runtime_error("The profile set \"" + AFileName + "\" is empty");
  return ParseProfileSet(EncodeProfileSet(bytes));
}
