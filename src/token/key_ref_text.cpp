#include "token/key_ref_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include <p11-kit/pkcs11.h>

namespace sealtool {
namespace {

constexpr char kUriScheme[] = "pkcs11:";
constexpr std::size_t kSchemeLength = sizeof kUriScheme - 1;
constexpr std::size_t kMaxNameLength = 64;

bool IsUri(const char* ref) {
  return std::strncmp(ref, kUriScheme, kSchemeLength) == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const int lower = std::tolower(static_cast<unsigned char>(c));
  return (lower >= 'a' && lower <= 'f') ? lower - 'a' + 10 : -1;
}

// The attribute name of the component [begin, end) as the URI means it:
// percent escapes decoded, in lower case (p11-kit and RFC 7512 disagree on
// case, so a name is taken in any case). Cut at kMaxNameLength.
void ComponentName(const char* begin, const char* end, char (&name)[kMaxNameLength + 1]) {
  std::size_t used = 0;
  for (const char* c = begin; c < end && *c != '=' && used < kMaxNameLength; ++c) {
    char decoded = *c;
    if (*c == '%' && c + 2 < end && HexValue(c[1]) >= 0 && HexValue(c[2]) >= 0) {
      decoded = static_cast<char>(HexValue(c[1]) * 16 + HexValue(c[2]));
      c += 2;
    }
    name[used++] = static_cast<char>(std::tolower(static_cast<unsigned char>(decoded)));
  }
  name[used] = '\0';
}

bool IsPinValue(const char* begin, const char* end) {
  char name[kMaxNameLength + 1];
  ComponentName(begin, end, name);
  return std::strcmp(name, "pin-value") == 0;
}

// One attribute of a URI: [begin, end), the separator that ends it, and
// whether it lies in the query.
struct Component {
  const char* begin;
  const char* end;
  bool inQuery;
};

// The components from at (in the query when inQuery) to the end, in
// order; calls visit for each until it returns false.
template <typename Visit>
void ForEachComponentFrom(const char* at, bool inQuery, Visit visit) {
  while (*at != '\0') {
    const char* separators = inQuery ? "&" : ";?";
    const char* end = at + std::strcspn(at, separators);
    if (!visit(Component{at, end, inQuery})) return;
    if (*end == '?') inQuery = true;
    at = *end == '\0' ? end : end + 1;
  }
}

// The components of uri after the scheme.
template <typename Visit>
void ForEachComponent(const char* uri, Visit visit) {
  ForEachComponentFrom(uri + kSchemeLength, false, visit);
}

// Appends text of length bytes to out; false when it does not fit.
bool Append(char* out, std::size_t size, std::size_t* used, const char* text, std::size_t length) {
  if (*used + length + 1 > size) return false;
  std::memcpy(out + *used, text, length);
  *used += length;
  out[*used] = '\0';
  return true;
}

}  // namespace

KeyRefText UriForDisplay(const char* ref) {
  KeyRefText shown{};
  if (ref == nullptr) return shown;
  if (!IsUri(ref)) {
    std::snprintf(shown.text, sizeof shown.text, "%s", ref);
    return shown;
  }
  std::size_t used = 0;
  bool fits = Append(shown.text, sizeof shown.text, &used, ref, kSchemeLength);
  ForEachComponent(ref, [&](const Component& part) {
    const bool masked = IsPinValue(part.begin, part.end);
    const char* value = std::strchr(part.begin, '=');
    const std::size_t kept = (masked && value != nullptr && value < part.end)
                                 ? static_cast<std::size_t>(value + 1 - part.begin)
                                 : static_cast<std::size_t>(part.end - part.begin);
    fits = fits && Append(shown.text, sizeof shown.text, &used, part.begin, kept);
    if (masked) fits = fits && Append(shown.text, sizeof shown.text, &used, "***", 3);
    if (*part.end != '\0') fits = fits && Append(shown.text, sizeof shown.text, &used, part.end, 1);
    return fits;
  });
  if (!fits) {
    // Cut short where a piece did not fit: a masked value is never appended,
    // so no part of a PIN is left in.
    const std::size_t at = used < sizeof shown.text - 4 ? used : sizeof shown.text - 4;
    std::snprintf(shown.text + at, 4, "...");
  }
  return shown;
}

bool UriWithoutPin(const char* ref, char* out, std::size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  std::size_t used = 0;
  if (!IsUri(ref)) return Append(out, size, &used, ref, std::strlen(ref));
  bool fits = Append(out, size, &used, ref, kSchemeLength);
  bool pathStarted = false;
  bool queryStarted = false;
  ForEachComponent(ref, [&](const Component& part) {
    if (part.begin == part.end || IsPinValue(part.begin, part.end)) return true;
    const char* separator = part.inQuery ? (queryStarted ? "&" : "?") : (pathStarted ? ";" : "");
    fits = fits && Append(out, size, &used, separator, std::strlen(separator));
    fits = fits && Append(out, size, &used, part.begin, static_cast<std::size_t>(part.end - part.begin));
    (part.inQuery ? queryStarted : pathStarted) = true;
    return fits;
  });
  return fits;
}

bool UriRepeatedAttribute(const char* uri, char* name, std::size_t size) {
  if (!IsUri(uri)) return false;
  bool repeated = false;
  ForEachComponent(uri, [&](const Component& part) {
    if (part.begin == part.end) return true;
    char first[kMaxNameLength + 1];
    ComponentName(part.begin, part.end, first);
    if (*part.end == '\0') return true;
    ForEachComponentFrom(part.end + 1, part.inQuery || *part.end == '?', [&](const Component& later) {
      char second[kMaxNameLength + 1];
      ComponentName(later.begin, later.end, second);
      repeated = later.inQuery == part.inQuery && std::strcmp(first, second) == 0;
      return !repeated;
    });
    if (repeated) std::snprintf(name, size, "%s", first);
    return !repeated;
  });
  return repeated;
}

bool UriSlotIdIsNumber(const char* uri) {
  if (!IsUri(uri)) return true;
  bool number = true;
  ForEachComponent(uri, [&](const Component& part) {
    char name[kMaxNameLength + 1];
    ComponentName(part.begin, part.end, name);
    if (part.inQuery || std::strcmp(name, "slot-id") != 0) return true;
    const char* digits = static_cast<const char*>(std::memchr(part.begin, '=', static_cast<std::size_t>(part.end - part.begin)));
    digits = digits != nullptr ? digits + 1 : part.end;
    constexpr auto kLargest = static_cast<CK_SLOT_ID>(-1);
    CK_SLOT_ID slot = 0;
    number = digits < part.end;
    for (const char* c = digits; number && c < part.end; ++c) {
      const auto digit = static_cast<CK_SLOT_ID>(*c - '0');
      number = *c >= '0' && *c <= '9' && slot <= (kLargest - digit) / 10;
      slot = slot * 10 + digit;
    }
    return number;
  });
  return number;
}

}  // namespace sealtool
