#include "image/hex_text.h"

#include <cstdio>

#include "console/console.h"

namespace sealtool {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

void FormatHex(const std::uint8_t* bytes, std::size_t count, char* text) {
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0xFu];
  }
  text[2 * count] = '\0';
}

void PrintHex(const std::uint8_t* bytes, std::size_t count, const char* separator) {
  for (std::size_t i = 0; i < count; ++i) {
    Say("%s%c%c", i > 0 ? separator : "", kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0xFu]);
  }
}

}  // namespace sealtool
