// Option text splitting and locale-free number conversion.
#include <charconv>
#include <cmath>

#include "engine/Options.h"

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

void ReplaceAll(std::string& AText, const std::string& AFrom, const std::string& ATo) {
  size_t pos = 0;
  while ((pos = AText.find(AFrom, pos)) != std::string::npos) {
    AText.replace(pos, AFrom.size(), ATo);
    pos += ATo.size();
  }
}

// Digits of an integer text: sign, optional hex prefix. Returns false on any
// stray character or overflow.
template <typename T> bool ParseInteger(const std::string& AText, T& AResult) {
  std::string s = TrimText(AText);
  if (s.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (s[i] == '+' || s[i] == '-') {
    negative = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size() || s[i] == '+' || s[i] == '-') return false;
  // Parse the magnitude unsigned so that the most negative value fits.
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(s.data() + i, s.data() + s.size(), magnitude, base);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  using U = std::make_unsigned_t<T>;
  const uint64_t limit = negative ? static_cast<uint64_t>(static_cast<U>(std::numeric_limits<T>::max())) + 1
                                  : static_cast<uint64_t>(std::numeric_limits<T>::max());
  if (magnitude > limit) return false;
  if (negative)
    AResult = magnitude == limit ? std::numeric_limits<T>::min() : -static_cast<T>(magnitude);
  else
    AResult = static_cast<T>(magnitude);
  return true;
}

} // namespace

std::string TrimText(const std::string& AText) {
  size_t b = 0, e = AText.size();
  while (b < e && IsBlank(AText[b])) ++b;
  while (e > b && IsBlank(AText[e - 1])) --e;
  return AText.substr(b, e - b);
}

std::vector<TOptionLine> SplitOptionText(const std::string& AText) {
  std::string text = TrimText(AText);
  ReplaceAll(text, "\r\n", "\n");
  ReplaceAll(text, "\r", "\n");
  ReplaceAll(text, "<CRLF>", "\n");
  std::vector<TOptionLine> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    // A blank line is no option (it used to reach the store as an empty name).
    if (TrimText(line).empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos)
      lines.push_back({line, ""});
    else
      lines.push_back({line.substr(0, eq), line.substr(eq + 1)});
  }
  return lines;
}

bool TryStrToInt(const std::string& AText, int32_t& AResult) {
  return ParseInteger(AText, AResult);
}
bool TryStrToInt64(const std::string& AText, int64_t& AResult) {
  return ParseInteger(AText, AResult);
}

int32_t StrToIntStrict(const std::string& AText) {
  int32_t v = 0;
  if (!ParseInteger(AText, v))
    throw FFmpegException(fmt::sprintf("'%s' is not a valid integer value", AText));
  return v;
}

int64_t StrToInt64Strict(const std::string& AText) {
  int64_t v = 0;
  if (!ParseInteger(AText, v))
    throw FFmpegException(fmt::sprintf("'%s' is not a valid integer value", AText));
  return v;
}

double StrToFloatStrict(const std::string& AText) {
  std::string s = TrimText(AText);
  const char* b = s.data();
  const char* e = s.data() + s.size();
  if (b != e && *b == '+') ++b;
  double v = 0;
  auto [end, ec] = std::from_chars(b, e, v, std::chars_format::general);
  if (s.empty() || ec != std::errc() || end != e || !std::isfinite(v))
    throw FFmpegException(fmt::sprintf("'%s' is not a valid floating point value", AText));
  return v;
}

int64_t ParseTimeOrFail(const std::string& AContext, const std::string& AText, bool ADuration) {
  int64_t us = INT64_MIN;
  if (!FF.av_parse_time || FF.av_parse_time(&us, AText.c_str(), ADuration ? 1 : 0) < 0) us = INT64_MIN;
  if (us == INT64_MIN)
    throw FFmpegException(fmt::sprintf("Invalid %s specification for %s: %s", ADuration ? "duration" : "date",
                                       AContext, AText));
  return us;
}
