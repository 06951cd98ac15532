// sealkey keyring: look at a keyring file, and add a key to it by its
// reference, with the key's id worked out here, never typed.
#pragma once

#include "key_report.h"

namespace sealkey {

struct KeyringAddition {
  const char* ref = nullptr;   // the key to add: any key reference
  const char* name = nullptr;
  const char* use = nullptr;   // development or production
  const char* status = nullptr;  // active unless given
  const char* note = nullptr;
};

// Reads and checks the keyring at path and lists its keys: kCheckFailed for
// a malformed one (its problem named with the field's path), kUnreadable
// when it cannot be read.
KeyToolOutcome ShowKeyring(const char* path, bool json);

// Adds the key to the keyring at path (made when it does not exist): its
// id is the key's SubjectPublicKeyInfo key id for an RSA key, its check
// value for an AES key. A name or id the keyring holds already is refused.
KeyToolOutcome AddToKeyring(const char* path, const KeyringAddition& addition);

}  // namespace sealkey
