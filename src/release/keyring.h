// A keyring: every key a team seals with, by name, with its use
// (development or production) and its status (active, retired, revoked).
// Other tools write it too, so its shape is fixed:
//   {"version": 1, "keys": [{"name": "prod-2026", "id": "...",
//     "use": "production", "status": "active", "note": "..."}]}
// A key's id is, for an RSA key, either of its key ids (64 hex digits: the
// image header's or the SubjectPublicKeyInfo's, as sealkey id shows them);
// for an AES key its check value (6 hex digits).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sealtool {

enum class KeyUse { kDevelopment, kProduction };
enum class KeyStatus { kActive, kRetired, kRevoked };

struct KeyringEntry {
  std::string name;
  std::string id;  // lower-case hex
  KeyUse use = KeyUse::kDevelopment;
  KeyStatus status = KeyStatus::kActive;
  std::string note;
  bool hasNote = false;
};

struct Keyring {
  std::vector<KeyringEntry> keys;
};

// The most a keyring may hold, in bytes.
inline constexpr std::size_t kMaxKeyringBytes = 1u << 20;

// Parses a keyring; false with *problem naming the field and what is wrong
// ("keys[2].use: development or production is needed"). Unknown fields,
// two entries of one name or one id, and ids that are no key id or check
// value are refused.
bool ParseKeyring(const std::string& text, Keyring* keyring, std::string* problem);

// The keyring as JSON text, in the shape above.
std::string FormatKeyring(const Keyring& keyring);

// The entry whose id is id (either case), or null.
const KeyringEntry* FindKeyringEntry(const Keyring& keyring, const std::string& id);

const char* KeyUseName(KeyUse use);
const char* KeyStatusName(KeyStatus status);
bool ParseKeyUse(const std::string& text, KeyUse* use);
bool ParseKeyStatus(const std::string& text, KeyStatus* status);

// Whether id is a key id (64 hex digits) or a check value (6).
bool IsKeyringId(const std::string& id);

}  // namespace sealtool
