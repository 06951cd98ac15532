// Which key seals, and may it: every key a run uses is identified (an RSA
// key by its key ids, an AES key by its check value) and held against a
// keyring before anything is sealed. A key the keyring does not hold, or
// holds as revoked, is refused; a retired one is warned about; a
// production release takes no development key, and the built-in keys and
// the example keys are development keys whatever a keyring says.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/run_mode.h"
#include "keys/key_handle.h"
#include "release/keyring.h"

namespace sealtool {

struct KeyringUse {
  const Keyring* keyring;  // null: no keyring, only the production release's rule
  const char* path;        // for messages
  bool production;         // a production release
};

// A key as the keyring named it when the run checked it; its use is
// development for the built-in and example keys whatever the keyring says.
struct KeyVerdict {
  std::string role;  // rsa_key, aes_key or seal_key
  KeyringEntry entry;
};

// The keys mode reads, checked in the order that needs no token where a
// key file can answer first. Prints a line per key; false after saying why
// a key is refused. With a keyring, verdicts (when not null) gets what it
// said of each key.
bool CheckRunKeys(const RunKeys& keys, RunMode mode, const KeyringUse& use,
                  std::vector<KeyVerdict>* verdicts = nullptr);

// Writes into the record's keys what the keyring said of them (the RSA
// key's verdict goes to rsa_key and rsa_pub alike).
struct RecordedImage;
void NoteKeyringVerdicts(const std::vector<KeyVerdict>& verdicts, RecordedImage* image);

// Whether the key of these ids (key ids or a check value) is one of the
// built-in keys or the example keys: never a production key.
bool IsDevelopmentKeyId(const std::string& id);

// Reads and parses the keyring at path; false with *problem ("cannot be
// read", "is refused: keys[0].use: ...").
bool ReadKeyringFile(const char* path, Keyring* keyring, std::string* problem);

// The same for a run: false after saying why.
bool LoadKeyringFile(const char* path, Keyring* keyring);

}  // namespace sealtool
