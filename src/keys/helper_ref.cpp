#include "keys/helper_ref.h"

#include <cstdio>
#include <cstring>

namespace sealtool {
namespace {

constexpr char kKeyAttribute[] = "key=";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes text into out (size bytes); a NUL byte would cut the
// name short, so it is refused with the rest of the bad encodings.
bool DecodeKeyName(const char* text, char* out, std::size_t size, const char** why) {
  std::size_t length = 0;
  for (const char* at = text; *at != '\0'; ++at) {
    char c = *at;
    if (c == '%') {
      const int high = HexValue(at[1]);
      const int low = high < 0 ? -1 : HexValue(at[2]);
      if (low < 0) {
        *why = "its key name has a % not followed by two hex digits";
        return false;
      }
      c = static_cast<char>(high << 4 | low);
      if (c == '\0') {
        *why = "its key name holds a NUL byte (%00)";
        return false;
      }
      at += 2;
    }
    if (length + 1 >= size) {
      *why = "its key name is too long";
      return false;
    }
    out[length++] = c;
  }
  out[length] = '\0';
  if (length == 0) *why = "its key name is empty";
  return length > 0;
}

}  // namespace

bool IsHelperRef(const char* ref) {
  return ref != nullptr && std::strncmp(ref, kHelperScheme, sizeof kHelperScheme - 1) == 0;
}

bool ParseHelperRef(const char* ref, HelperRef* parsed, const char** why) {
  *parsed = HelperRef{};
  const char* program = ref + sizeof kHelperScheme - 1;
  const char* query = std::strchr(program, '?');
  const auto programLength = static_cast<std::size_t>(query != nullptr ? query - program : std::strlen(program));
  if (programLength == 0) {
    *why = "it names no program";
    return false;
  }
  if (programLength >= sizeof parsed->program) {
    *why = "its program's path is too long";
    return false;
  }
  std::memcpy(parsed->program, program, programLength);
  if (std::strchr(parsed->program, '/') == nullptr) {
    *why = "its program has no \"/\" in its path (write ./NAME for one in this folder: PATH is never searched)";
    return false;
  }
  if (query == nullptr) return true;
  if (std::strncmp(query + 1, kKeyAttribute, sizeof kKeyAttribute - 1) != 0) {
    *why = "its only query attribute is key=NAME";
    return false;
  }
  const char* name = query + sizeof kKeyAttribute;
  if (std::strpbrk(name, "&?") != nullptr) {
    *why = "its only query attribute is key=NAME (encode & and ? in NAME as %26 and %3F)";
    return false;
  }
  return DecodeKeyName(name, parsed->keyName, sizeof parsed->keyName, why);
}

}  // namespace sealtool
