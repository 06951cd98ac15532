// Bytes as lower-case hex digits, the one way every program writes them:
// key ids, digests, wrapped keys and region previews.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace sealtool {

// The 2 * count digits of bytes and a NUL into text (2 * count + 1 chars).
void FormatHex(const std::uint8_t* bytes, std::size_t count, char* text);

// The same digits as a string, for the programs' reports (the sealing path
// itself keeps to fixed buffers).
inline std::string HexString(const std::uint8_t* bytes, std::size_t count) {
  std::string text(2 * count + 1, '\0');
  FormatHex(bytes, count, text.data());
  text.pop_back();
  return text;
}

// The digits of bytes on standard output, separator between two bytes.
void PrintHex(const std::uint8_t* bytes, std::size_t count, const char* separator);

// Whether a is below b, both count bytes read big-endian (an RSA input block
// against a modulus).
inline bool BigEndianBelow(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  return std::memcmp(a, b, count) < 0;
}

}  // namespace sealtool
