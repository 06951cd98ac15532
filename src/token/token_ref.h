// A key reference in a token as the token code holds it: the parsed
// RFC 7512 URI, the form messages show, and the failure messages that name it.
#pragma once

#include <string>

#include "token/key_ref_text.h"
#include "token/p11kit_library.h"

namespace sealtool {

// A parsed key reference and the form messages show: the URI as given, with
// every PIN in it masked.
struct TokenRef {
  const P11KitLibrary* kit;
  P11KitUri* uri;
  KeyRefText display;
  const char* text;  // the URI as given, for as long as the caller keeps it
};

// " failed", what, and the key's masked URI.
void PrintFailure(const char* what, const TokenRef& ref);

// " failed" with the token's error code for operation.
void PrintTokenError(const char* operation, CK_RV rv, const TokenRef& ref);

// Parses text into ref (loading p11-kit); false after saying why. ref must
// be released with ReleaseRef either way.
bool ParseRef(const char* text, TokenRef* ref);
void ReleaseRef(TokenRef* ref);

// The URI's module-path, or "" when it names none.
const char* ModulePathOf(const TokenRef& ref);

// The file the URI's pin-source names (as the PIN reader takes it: "file:"
// and a path, or a plain path), or "" when it names none.
const char* PinFileOf(const TokenRef& ref);

// What names the URI's token, decoded and in one order, whatever the URI's
// spelling: its token and library attributes, slot-id, module-path and
// module-name. Two URIs with the same text here name one token.
std::string TokenNameOf(const TokenRef& ref);

// Whether the URI's slot-id and module-name admit slot and module.
bool SlotMatches(const TokenRef& ref, CK_SLOT_ID slot);
bool NameMatches(const TokenRef& ref, CK_FUNCTION_LIST* module);

// The object class the URI names with type=, or false when it names none.
bool UriClass(const TokenRef& ref, CK_OBJECT_CLASS* keyClass);

}  // namespace sealtool
