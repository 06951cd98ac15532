// sealinfo --keyring: which keys made an image, by the names a keyring
// gives them. An RSA image is named by the key it carries; an AES key by
// the check value of the key that verified the body or the digest seal,
// and a key-record image by that of the key it wraps. A key the keyring
// does not hold, or holds as revoked, fails the image; a retired key is
// warned about; in a production release a development key fails too.
#pragma once

#include <cstdint>
#include <string>

#include "inspect.h"
#include "release/keyring.h"

namespace sealtool::inspect {

struct KeyringGate {
  const Keyring* keyring = nullptr;  // null: no keyring; only a production release's rule holds
  const char* path = "";             // for messages
  bool production = false;           // a production release: development keys fail
};

// Adds a keyring check, and a named key, for each key report's mode uses.
// Reads the key files as sealtool reads them; nothing without a keyring or
// a production release.
void NameImageKeys(const std::uint8_t* image, const InspectOptions& options, const KeyringGate& gate,
                   Report* report);

// Whether the keyring named every key of the image and none failed: the
// gate then knows the keys from its own anchor, not from a record's claim.
bool KeyringNamesEveryKey(const Report& report);

// Reads and parses the keyring at path; false after saying why on
// standard error.
bool LoadGateKeyring(const char* path, Keyring* keyring);

}  // namespace sealtool::inspect
