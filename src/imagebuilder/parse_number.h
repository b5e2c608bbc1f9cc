#pragma once
// The number reader of the image builder and the GoTo dialog: hexadecimal when the text ends in
// "H" or "h", otherwise a signed decimal integer.
#include <cstdint>
#include <string>
#include <string_view>

namespace tervalo {

struct ParsedNumber {
  bool ok = false;
  std::int32_t value = 0;
  // When not ok: the conversion error to show, "'TEXT' is not a valid integer value".
  std::string error;

  explicit operator bool() const { return ok; }
};

// Upper-cases a copy of the text. A trailing H reads the characters before it as hexadecimal up
// to the first one that is no hex digit, wrapping in 32 bits ("H" gives 0, "1G2H" gives 1).
// Anything else must be a whole signed 32-bit decimal number (optional sign, digits only).
ParsedNumber ParseNumber(std::string_view text);

}  // namespace tervalo
