// The PIN that unlocks a token, from where a build may keep it: never the
// command line by default.
#pragma once

#include <cstddef>

#include "token/p11kit_library.h"

namespace sealtool {

inline constexpr std::size_t kMaxPinLength = 256;
inline constexpr char kPinEnvironmentVariable[] = "SEALTOOL_PIN";

// A PIN, with room for one character more than the longest, and its line
// end, so that a PIN that is too long is seen as such.
struct PinBuffer {
  char text[kMaxPinLength + 3];
};

void WipePin(PinBuffer* pin);

// The PIN for the token of uri, in this order: the URI's pin-source (a file,
// "file:PATH" or a plain path), a pin-value in the URI (used, with a
// warning), the SEALTOOL_PIN environment variable, a prompt without echo
// when standard input is a terminal. Writes at most kMaxPinLength characters
// and a NUL to pin (the caller wipes it), its length to *length; false
// after printing " failed" and why there is none (the caller names the
// key): a longer PIN is refused, whatever its source. *prompted tells
// whether a person typed it just now. tokenLabel names the token in the
// prompt.
bool ObtainTokenPin(const P11KitLibrary& kit, const P11KitUri* uri, const char* tokenLabel,
                    char* pin, std::size_t* length, bool* prompted);

}  // namespace sealtool
