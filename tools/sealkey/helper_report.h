// sealkey check helper:...: what a release engineer runs once when a helper
// is set up, to see that it answers each operation a mode needs, through
// the same door the sealing runs use.
#pragma once

#include "key_report.h"

namespace sealkey {

// Asks the helper for its public key; with one, signs a random block and
// verifies the signature under it (an RSA key); without, encrypts blocks
// and wraps the key (an AES key). Per mode whether it can seal, as text or
// JSON on standard output; the helper's failures on standard error. kDone
// when every mode of its kind can seal, kCheckFailed when one cannot.
KeyToolOutcome CheckHelperKey(const char* ref, bool json);

}  // namespace sealkey
