// How a pkcs11: URI reaches any output: with every PIN it carries masked,
// or for a command line without it. Key references of every source reach
// output through keys/key_handle.h, which uses these for URIs.
#pragma once

#include <cstddef>

namespace sealtool {

// Room for a reference as messages show it; a longer one is cut short.
inline constexpr std::size_t kKeyRefTextSize = 512;

struct KeyRefText {
  char text[kKeyRefTextSize];
};

// ref as messages show it: every pin-value attribute of a URI (its name in
// any case, percent-encoded or not) has its value replaced by "***".
KeyRefText UriForDisplay(const char* ref);

// ref for a command line to run again: a URI without its pin-value
// attributes, so that the PIN comes from pin-source, the environment or the
// prompt. False when it does not fit in size bytes.
bool UriWithoutPin(const char* ref, char* out, std::size_t size);

// Whether every slot-id a URI names is a slot number (decimal digits that
// fit a CK_SLOT_ID): p11-kit takes an empty or too large one as slot 0,
// which could be another token's.
bool UriSlotIdIsNumber(const char* uri);

// The first attribute that a URI names twice (RFC 7512 allows each at most
// once), into name (size bytes); false when none repeats.
bool UriRepeatedAttribute(const char* uri, char* name, std::size_t size);

}  // namespace sealtool
