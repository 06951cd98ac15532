#include "keys/helper_reply.h"

#include <cstring>

namespace sealtool {
namespace {

constexpr std::size_t kMaxHexDigits = 1024;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// One "NAME = HEX" line at *at (up to end), its line end included; *at is
// moved past it.
bool ReadLine(const char** at, const char* end, const char* name, mbedtls_mpi* value) {
  const std::size_t nameLength = std::strlen(name);
  if (static_cast<std::size_t>(end - *at) < nameLength || std::memcmp(*at, name, nameLength) != 0) return false;
  const char* digits = *at + nameLength;
  const char* stop = digits;
  while (stop != end && IsHexDigit(*stop)) ++stop;
  const auto count = static_cast<std::size_t>(stop - digits);
  if (count == 0 || count > kMaxHexDigits) return false;
  if (stop != end && *stop == '\r') ++stop;
  if (stop == end || *stop != '\n') return false;
  char hex[kMaxHexDigits + 1];
  std::memcpy(hex, digits, count);
  hex[count] = '\0';
  *at = stop + 1;
  return mbedtls_mpi_read_string(value, 16, hex) == 0;
}

}  // namespace

HelperAnswer JudgeHelperAnswer(const ProgramResult& result, std::size_t expected, std::size_t room) {
  if (result.end != ProgramEnd::kExited || result.status != 0) return HelperAnswer::kNoAnswer;
  const bool rightLength =
      expected != 0 ? result.outputSize == expected : result.outputSize > 0 && result.outputSize < room;
  if (!rightLength) return HelperAnswer::kWrongLength;
  return result.inputLeft == 0 ? HelperAnswer::kWhole : HelperAnswer::kInputLeft;
}

bool ParsePublicKeyReply(const char* text, std::size_t length, mbedtls_mpi* n, mbedtls_mpi* e, const char** why) {
  const char* at = text;
  const char* end = text + length;
  if (!ReadLine(&at, end, "N = ", n)) {
    *why = "its first line is not \"N = \" and hex digits";
    return false;
  }
  if (!ReadLine(&at, end, "E = ", e)) {
    *why = "its second line is not \"E = \" and hex digits";
    return false;
  }
  if (at != end) {
    *why = "more follows the lines of N and E";
    return false;
  }
  if (mbedtls_mpi_cmp_int(n, 0) == 0 || mbedtls_mpi_cmp_int(e, 0) == 0) {
    *why = "N or E is zero";
    return false;
  }
  return true;
}

}  // namespace sealtool
