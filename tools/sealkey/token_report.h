// sealkey token-check: what a release engineer runs once when setting up a
// signing host, to see that the key a URI names can seal in every mode its
// kind serves.
#pragma once

#include "key_report.h"

namespace sealkey {

// The module, token and key of uri, its attributes, the mechanisms each
// mode needs, a trial of each operation, and per mode whether it can seal;
// as text or JSON on standard output. The token's own messages (a key not
// found, a login refused) go to standard error. kDone when every mode the
// key's kind serves can seal, kCheckFailed when one cannot, kUnreadable
// when the key cannot be looked at.
KeyToolOutcome CheckTokenKey(const char* uri, bool json);

}  // namespace sealkey
