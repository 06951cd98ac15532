#include "token/uri_parser.h"

#include <cstdlib>
#include <cstring>

#include <mbedtls/platform_util.h>

// The URI as the token code holds it. Every decoded value lies in one
// buffer of the URI's own, wiped when it is freed or parsed again: a
// pin-value is a secret.
struct p11_kit_uri {
  P11KitUriType type;  // which parts of a URI this one may have
  bool unrecognized;
  CK_INFO module;
  CK_TOKEN_INFO token;
  CK_SLOT_INFO slot;
  CK_SLOT_ID slotId;
  CK_OBJECT_CLASS objectClass;
  CK_ATTRIBUTE attributes[3];  // CKA_LABEL, CKA_ID and CKA_CLASS, in the URI's order
  CK_ULONG attributeCount;
  const char* modulePath;
  const char* moduleName;
  const char* pinSource;
  const char* pinValue;
  char* values;
  std::size_t valuesSize;
  std::size_t valuesUsed;
};

namespace sealtool {
namespace {

constexpr char kScheme[] = "pkcs11";
constexpr char kFoldingWhiteSpace[] = " \n\r\v";  // folded lines, as RFC 7512 allows
constexpr CK_BYTE kAnyVersion = 0xff;

// A value of the URI, decoded.
struct Value {
  char* bytes;
  std::size_t length;
};

// A span of the URI's text.
struct Span {
  const char* start;
  const char* end;

  // Whether the span spells name, folding white space left out.
  bool Is(const char* name) const {
    const char* wanted = name;
    for (const char* at = start; at != end; ++at) {
      if (std::strchr(kFoldingWhiteSpace, *at) != nullptr) continue;
      if (*wanted == '\0' || *at != *wanted) return false;
      ++wanted;
    }
    return *wanted == '\0';
  }
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Letters compared without case, as a URI's scheme is (RFC 3986).
bool SameLetters(const char* text, const char* expected, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != expected[i]) return false;
  }
  return true;
}

void ClearValues(P11KitUri* uri) {
  if (uri->values != nullptr) mbedtls_platform_zeroize(uri->values, uri->valuesSize);
  std::free(uri->values);
}

// Clears everything a previous parse left, and makes room for the values
// of text (never longer than text, each with its terminating zero).
bool Reset(P11KitUri* uri, std::size_t textLength) {
  ClearValues(uri);
  *uri = p11_kit_uri{};
  uri->module.libraryVersion = CK_VERSION{kAnyVersion, kAnyVersion};
  uri->slotId = static_cast<CK_SLOT_ID>(-1);
  uri->valuesSize = 2 * textLength + 1;
  uri->values = static_cast<char*>(std::calloc(uri->valuesSize, 1));
  return uri->values != nullptr;
}

// Percent-decodes span into the URI's buffer, skipping folding white space.
int Decode(Span span, P11KitUri* uri, Value* value) {
  char* out = uri->values + uri->valuesUsed;
  std::size_t length = 0;
  for (const char* at = span.start; at != span.end; ++at) {
    if (*at == '%') {
      if (span.end - at < 3) return P11_KIT_URI_BAD_ENCODING;
      const int high = HexDigit(at[1]);
      const int low = HexDigit(at[2]);
      if (high < 0 || low < 0) return P11_KIT_URI_BAD_ENCODING;
      out[length++] = static_cast<char>(high << 4 | low);
      at += 2;
    } else if (std::strchr(kFoldingWhiteSpace, *at) == nullptr) {
      out[length++] = *at;
    }
  }
  out[length] = '\0';
  uri->valuesUsed += length + 1;
  *value = Value{out, length};
  return P11_KIT_URI_OK;
}

// A text field of a PKCS#11 info structure: padded with spaces; a value
// longer than the field can match no token.
int ParseTextField(Span span, unsigned char* field, std::size_t size, P11KitUri* uri) {
  Value value{};
  if (const int decoded = Decode(span, uri, &value); decoded != P11_KIT_URI_OK) return decoded;
  if (value.length > size) {
    uri->unrecognized = true;
    return P11_KIT_URI_OK;
  }
  std::memset(field, ' ', size);
  std::memcpy(field, value.bytes, value.length);
  return P11_KIT_URI_OK;
}

// Digits alone, as a number no larger than limit.
bool ParseNumber(const char* start, const char* end, unsigned long long limit, unsigned long long* number) {
  if (start == end) return false;
  unsigned long long result = 0;
  for (const char* at = start; at != end; ++at) {
    if (*at < '0' || *at > '9') return false;
    const unsigned digit = static_cast<unsigned>(*at - '0');
    if (result > (limit - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *number = result;
  return true;
}

// "MAJOR" or "MAJOR.MINOR", each a byte.
int ParseVersion(Span span, P11KitUri* uri) {
  Value value{};
  if (const int decoded = Decode(span, uri, &value); decoded != P11_KIT_URI_OK) return decoded;
  const char* end = value.bytes + value.length;
  const char* dot = static_cast<const char*>(std::memchr(value.bytes, '.', value.length));
  unsigned long long major = 0;
  unsigned long long minor = 0;
  // 255 stands for "any version": no component may be it.
  const bool valid = ParseNumber(value.bytes, dot != nullptr ? dot : end, kAnyVersion - 1, &major) &&
                     (dot == nullptr || ParseNumber(dot + 1, end, kAnyVersion - 1, &minor));
  if (!valid) return P11_KIT_URI_BAD_VERSION;
  uri->module.libraryVersion = CK_VERSION{static_cast<CK_BYTE>(major), static_cast<CK_BYTE>(minor)};
  return P11_KIT_URI_OK;
}

int ParseSlotId(Span span, P11KitUri* uri) {
  Value value{};
  if (const int decoded = Decode(span, uri, &value); decoded != P11_KIT_URI_OK) return decoded;
  unsigned long long slot = 0;
  if (!ParseNumber(value.bytes, value.bytes + value.length, static_cast<CK_SLOT_ID>(-1), &slot)) {
    return P11_KIT_URI_BAD_SYNTAX;
  }
  uri->slotId = static_cast<CK_SLOT_ID>(slot);
  return P11_KIT_URI_OK;
}

void AddAttribute(P11KitUri* uri, CK_ATTRIBUTE_TYPE type, void* bytes, std::size_t length) {
  for (CK_ULONG i = 0; i < uri->attributeCount; ++i) {
    if (uri->attributes[i].type == type) {
      uri->attributes[i] = CK_ATTRIBUTE{type, bytes, static_cast<CK_ULONG>(length)};
      return;
    }
  }
  uri->attributes[uri->attributeCount++] = CK_ATTRIBUTE{type, bytes, static_cast<CK_ULONG>(length)};
}

int ParseBytesAttribute(Span span, CK_ATTRIBUTE_TYPE type, P11KitUri* uri) {
  Value value{};
  if (const int decoded = Decode(span, uri, &value); decoded != P11_KIT_URI_OK) return decoded;
  AddAttribute(uri, type, value.bytes, value.length);
  return P11_KIT_URI_OK;
}

struct ClassName {
  const char* name;
  CK_OBJECT_CLASS objectClass;
};

constexpr ClassName kClassNames[] = {
    {"cert", CKO_CERTIFICATE},  {"data", CKO_DATA},          {"private", CKO_PRIVATE_KEY},
    {"public", CKO_PUBLIC_KEY}, {"secret-key", CKO_SECRET_KEY},
};

// An object type this parser does not know can match no object.
int ParseClass(Span span, P11KitUri* uri) {
  Value value{};
  if (const int decoded = Decode(span, uri, &value); decoded != P11_KIT_URI_OK) return decoded;
  for (const ClassName& known : kClassNames) {
    if (std::strcmp(value.bytes, known.name) == 0) {
      uri->objectClass = known.objectClass;
      AddAttribute(uri, CKA_CLASS, &uri->objectClass, sizeof uri->objectClass);
      return P11_KIT_URI_OK;
    }
  }
  uri->unrecognized = true;
  return P11_KIT_URI_OK;
}

bool Admits(const P11KitUri* uri, P11KitUriType kind) { return (uri->type & kind) == kind; }

// Whether name belongs to a part of a URI this kind of URI does not have.
bool NotOfThisKind(Span name, const P11KitUri* uri) {
  const bool slot = name.Is("slot-description") || name.Is("slot-manufacturer") || name.Is("slot-id");
  return (slot && !Admits(uri, P11_KIT_URI_FOR_SLOT)) ||
         (name.Is("library-version") && !Admits(uri, P11_KIT_URI_FOR_MODULE_WITH_VERSION));
}

// An attribute this parser does not know, or not of this kind of URI, can
// match nothing.
int ParsePathAttribute(Span name, Span value, P11KitUri* uri) {
  if (NotOfThisKind(name, uri)) {
    uri->unrecognized = true;
    return P11_KIT_URI_OK;
  }
  if (name.Is("token")) return ParseTextField(value, uri->token.label, sizeof uri->token.label, uri);
  if (name.Is("manufacturer")) {
    return ParseTextField(value, uri->token.manufacturerID, sizeof uri->token.manufacturerID, uri);
  }
  if (name.Is("serial")) {
    return ParseTextField(value, uri->token.serialNumber, sizeof uri->token.serialNumber, uri);
  }
  if (name.Is("model")) return ParseTextField(value, uri->token.model, sizeof uri->token.model, uri);
  if (name.Is("library-description")) {
    return ParseTextField(value, uri->module.libraryDescription, sizeof uri->module.libraryDescription,
                          uri);
  }
  if (name.Is("library-manufacturer")) {
    return ParseTextField(value, uri->module.manufacturerID, sizeof uri->module.manufacturerID, uri);
  }
  if (name.Is("library-version")) return ParseVersion(value, uri);
  if (name.Is("slot-description")) {
    return ParseTextField(value, uri->slot.slotDescription, sizeof uri->slot.slotDescription, uri);
  }
  if (name.Is("slot-manufacturer")) {
    return ParseTextField(value, uri->slot.manufacturerID, sizeof uri->slot.manufacturerID, uri);
  }
  if (name.Is("slot-id")) return ParseSlotId(value, uri);
  if (name.Is("object")) return ParseBytesAttribute(value, CKA_LABEL, uri);
  if (name.Is("id")) return ParseBytesAttribute(value, CKA_ID, uri);
  if (name.Is("type")) return ParseClass(value, uri);
  uri->unrecognized = true;
  return P11_KIT_URI_OK;
}

// Query attributes this parser does not know are left alone, as RFC 7512
// lets a consumer do.
int ParseQueryAttribute(Span name, Span value, P11KitUri* uri) {
  const char** slot = name.Is("module-path")   ? &uri->modulePath
                      : name.Is("module-name") ? &uri->moduleName
                      : name.Is("pin-source")  ? &uri->pinSource
                      : name.Is("pin-value")   ? &uri->pinValue
                                               : nullptr;
  if (slot == nullptr) return P11_KIT_URI_OK;
  Value decoded{};
  if (const int result = Decode(value, uri, &decoded); result != P11_KIT_URI_OK) return result;
  *slot = decoded.bytes;
  return P11_KIT_URI_OK;
}

using AttributeParser = int (*)(Span name, Span value, P11KitUri* uri);

Span Segment(const char* at, const char* ends) { return Span{at, at + std::strcspn(at, ends)}; }

int ParseAttribute(Span segment, AttributeParser parse, P11KitUri* uri) {
  const auto length = static_cast<std::size_t>(segment.end - segment.start);
  const char* equals = static_cast<const char*>(std::memchr(segment.start, '=', length));
  if (equals == nullptr || equals == segment.start) return P11_KIT_URI_BAD_SYNTAX;
  return parse(Span{segment.start, equals}, Span{equals + 1, segment.end}, uri);
}

// The path's attributes, up to its first empty one (p11-kit's reading: the
// query starts after it) or to the query; *at is left on what ended them.
int ParsePath(const char** at, P11KitUri* uri) {
  for (Span segment = Segment(*at, ";?"); segment.end != segment.start; segment = Segment(*at, ";?")) {
    if (const int parsed = ParseAttribute(segment, ParsePathAttribute, uri); parsed != P11_KIT_URI_OK) {
      return parsed;
    }
    *at = segment.end;
    if (**at != ';') return P11_KIT_URI_OK;
    ++*at;
  }
  return P11_KIT_URI_OK;
}

// The query's attributes: none of them may be empty.
int ParseQuery(const char* at, P11KitUri* uri) {
  while (*at != '\0') {
    const Span segment = Segment(at, "&");
    if (segment.end == segment.start) return P11_KIT_URI_BAD_SYNTAX;
    if (const int parsed = ParseAttribute(segment, ParseQueryAttribute, uri); parsed != P11_KIT_URI_OK) {
      return parsed;
    }
    at = *segment.end == '&' ? segment.end + 1 : segment.end;
  }
  return P11_KIT_URI_OK;
}

bool MatchesText(const unsigned char* inUri, const unsigned char* real, std::size_t size) {
  return inUri[0] == 0 || std::memcmp(inUri, real, size) == 0;
}

}  // namespace

P11KitUri* UriNew() {
  auto* uri = static_cast<P11KitUri*>(std::calloc(1, sizeof(P11KitUri)));
  if (uri != nullptr) Reset(uri, 0);
  return uri;
}

void UriFree(P11KitUri* uri) {
  if (uri == nullptr) return;
  ClearValues(uri);
  std::free(uri);
}

int UriParse(const char* text, P11KitUriType type, P11KitUri* uri) {
  if (!Reset(uri, std::strlen(text))) return P11_KIT_URI_UNEXPECTED;
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || static_cast<std::size_t>(colon - text) != sizeof kScheme - 1 ||
      !SameLetters(text, kScheme, sizeof kScheme - 1)) {
    return P11_KIT_URI_BAD_SCHEME;
  }
  uri->type = type;
  const char* at = colon + 1;
  if (const int path = ParsePath(&at, uri); path != P11_KIT_URI_OK) return path;
  return ParseQuery(*at == '\0' ? at : at + 1, uri);
}

const char* UriMessage(int code) {
  switch (code) {
    case P11_KIT_URI_OK: return nullptr;
    case P11_KIT_URI_UNEXPECTED: return "Unexpected or internal system error";
    case P11_KIT_URI_BAD_SCHEME: return "URI scheme must be 'pkcs11:'";
    case P11_KIT_URI_BAD_ENCODING: return "URI encoding invalid or corrupted";
    case P11_KIT_URI_BAD_SYNTAX: return "URI syntax is invalid";
    case P11_KIT_URI_BAD_VERSION: return "URI version component is invalid";
    case P11_KIT_URI_NOT_FOUND: return "The URI component was not found";
    default: return "Unknown error";
  }
}

const char* UriModulePath(const P11KitUri* uri) { return uri->modulePath; }
const char* UriModuleName(const P11KitUri* uri) { return uri->moduleName; }
const char* UriPinSource(const P11KitUri* uri) { return uri->pinSource; }
const char* UriPinValue(const P11KitUri* uri) { return uri->pinValue; }
CK_TOKEN_INFO* UriTokenInfo(P11KitUri* uri) { return &uri->token; }
CK_INFO* UriModuleInfo(P11KitUri* uri) { return &uri->module; }
CK_SLOT_ID UriSlotId(P11KitUri* uri) { return uri->slotId; }

CK_ATTRIBUTE_PTR UriAttributes(P11KitUri* uri, CK_ULONG* count) {
  *count = uri->attributeCount;
  return uri->attributes;
}

int UriMatchesToken(const P11KitUri* uri, const CK_TOKEN_INFO* info) {
  const CK_TOKEN_INFO& wanted = uri->token;
  return !uri->unrecognized && MatchesText(wanted.label, info->label, sizeof info->label) &&
         MatchesText(wanted.manufacturerID, info->manufacturerID, sizeof info->manufacturerID) &&
         MatchesText(wanted.model, info->model, sizeof info->model) &&
         MatchesText(wanted.serialNumber, info->serialNumber, sizeof info->serialNumber);
}

int UriMatchesModule(const P11KitUri* uri, const CK_INFO* info) {
  const CK_INFO& wanted = uri->module;
  const bool anyVersion =
      wanted.libraryVersion.major == kAnyVersion && wanted.libraryVersion.minor == kAnyVersion;
  return !uri->unrecognized &&
         MatchesText(wanted.libraryDescription, info->libraryDescription, sizeof info->libraryDescription) &&
         MatchesText(wanted.manufacturerID, info->manufacturerID, sizeof info->manufacturerID) &&
         (anyVersion || std::memcmp(&wanted.libraryVersion, &info->libraryVersion, sizeof(CK_VERSION)) == 0);
}

}  // namespace sealtool
