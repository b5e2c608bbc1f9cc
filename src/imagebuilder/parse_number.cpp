#include "imagebuilder/parse_number.h"

#include <cctype>

namespace tervalo {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ParsedNumber conversionError(std::string_view text) {
  ParsedNumber r;
  r.error.reserve(text.size() + 32);
  r.error.append(1, '\'').append(text).append("' is not a valid integer value");
  return r;
}

}  // namespace

ParsedNumber ParseNumber(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  if (!upper.empty() && upper.back() == 'H') {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i + 1 < upper.size(); ++i) {
      const int d = hexDigit(upper[i]);
      if (d < 0) break;
      value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return {true, static_cast<std::int32_t>(value), {}};
  }

  // Strict signed decimal, read from the text as typed.
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return conversionError(text);
  std::int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return conversionError(text);
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > 2147483648LL) return conversionError(text);
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > 2147483647LL) return conversionError(text);
  return {true, static_cast<std::int32_t>(value), {}};
}

}  // namespace tervalo
