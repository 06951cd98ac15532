#include "release/keyring_check.h"

#include <cstring>
#include <vector>

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>

#include "console/console.h"
#include "image/hex_text.h"
#include "keys/aes_key_file.h"
#include "keys/key_check_value.h"
#include "keys/key_id.h"
#include "release/release_record.h"

namespace sealtool {
namespace {

// The example keys of examples/keys (a test holds these against the
// files): the RSA key's two key ids, and the check values of aes-token.txt
// and aes-bytes.txt.
constexpr const char* kExampleKeyIds[] = {
    "bea674b019bb62bc5a926a36ea6e511512a074c1ed87e3f896c4beb7553bf71b",
    "26c482409e73a76afde83149d5814317e6a1a809d076ae4d538ba62169aaa6f8",
    "417f8b",
    "a16504",
};

// The check value of a built-in default key (chip 742's, or every other
// chip's).
std::string BuiltInCheckValue(std::int32_t chip) {
  std::uint8_t key[kKeyBufferSize] = {};
  GetDefaultAesKey(chip, key);
  std::string value = CheckValueOfKeyBytes(key);
  mbedtls_platform_zeroize(key, sizeof key);
  return value;
}

// A key of the run and the ids it goes by.
struct RunKey {
  const char* role;
  const KeyHandle* key;
  bool isRsa;
};

// The ids of key: both key ids of an RSA public key, or an AES key's check
// value. False (said why) when the key cannot be read.
bool IdsOf(const RunKey& runKey, std::vector<std::string>* ids) {
  if (runKey.isRsa) {
    mbedtls_mpi n, e;
    mbedtls_mpi_init(&n);
    mbedtls_mpi_init(&e);
    const char* kind = "";
    KeyIds keyIds{};
    const bool read = KeyPublicKey(*runKey.key, &n, &e, &kind) && ComputeKeyIds(&n, &e, &keyIds);
    mbedtls_mpi_free(&n);
    mbedtls_mpi_free(&e);
    if (read) *ids = {HexString(keyIds.header, sizeof keyIds.header), HexString(keyIds.spki, sizeof keyIds.spki)};
    return read;
  }
  std::uint8_t value[kKeyCheckValueSize] = {};
  if (!KeyCheckValue(*runKey.key, value)) return false;
  *ids = {HexString(value, sizeof value)};
  return true;
}

// Without a keyring, a production release refuses the known development
// keys, and nothing else is said.
bool NotADevelopmentKey(const RunKey& runKey, const std::vector<std::string>& ids) {
  for (const std::string& id : ids) {
    if (!IsDevelopmentKeyId(id)) continue;
    SayFailed("  ! %s %s is a built-in or example key: a production release takes none\n\n", runKey.role,
              ids.back().c_str());
    return false;
  }
  return true;
}

bool CheckKey(const RunKey& runKey, const KeyringUse& use, std::vector<KeyVerdict>* verdicts) {
  std::vector<std::string> ids;
  if (!IdsOf(runKey, &ids)) return false;
  if (use.keyring == nullptr) return !use.production || NotADevelopmentKey(runKey, ids);
  const KeyringEntry* entry = nullptr;
  for (const std::string& id : ids) {
    if (entry == nullptr) entry = FindKeyringEntry(*use.keyring, id);
  }
  const std::string& shown = ids.back();
  if (entry == nullptr) {
    SayFailed("  ! %s %s is not in the keyring %s\n\n", runKey.role, shown.c_str(), use.path);
    return false;
  }
  const bool development = entry->use == KeyUse::kDevelopment || IsDevelopmentKeyId(shown);
  if (entry->status == KeyStatus::kRevoked) {
    SayFailed("  ! %s %s is %s, revoked in the keyring %s\n\n", runKey.role, shown.c_str(), entry->name.c_str(),
              use.path);
    return false;
  }
  if (use.production && development) {
    SayFailed("  ! %s %s is %s, a development key: a production release takes none\n\n", runKey.role,
              shown.c_str(), entry->name.c_str());
    return false;
  }
  Say("Keyring: %s %s is %s (%s, %s)\n", runKey.role, shown.c_str(), entry->name.c_str(),
      development ? "development" : "production", KeyStatusName(entry->status));
  if (verdicts != nullptr) {
    verdicts->push_back({runKey.role, *entry});
    if (development) verdicts->back().entry.use = KeyUse::kDevelopment;
  }
  if (entry->status == KeyStatus::kRetired) {
    SayWarning("  ! warning: %s is retired in the keyring %s\n", entry->name.c_str(), use.path);
  }
  return true;
}

bool IsFileKey(const KeyHandle& key) { return key.ref == nullptr || KeyRefIsPath(key.ref); }

}  // namespace

bool IsDevelopmentKeyId(const std::string& id) {
  for (const char* known : kExampleKeyIds) {
    if (id == known) return true;
  }
  return id == BuiltInCheckValue(742) || id == BuiltInCheckValue(0);
}

bool CheckRunKeys(const RunKeys& keys, RunMode mode, const KeyringUse& use, std::vector<KeyVerdict>* verdicts) {
  const unsigned reads = RunOptionsOfMode(mode);
  std::vector<RunKey> used;
  if ((reads & kRunOptionRsaPub) != 0) used.push_back({"rsa_key", &keys.rsaPublic, true});
  if ((reads & kRunOptionAesKey) != 0) used.push_back({"aes_key", &keys.aesKey, false});
  if ((reads & kRunOptionSealKey) != 0) used.push_back({"seal_key", &keys.sealKey, false});
  // Key files answer without a token login: they go first.
  for (const bool files : {true, false}) {
    for (const RunKey& runKey : used) {
      if (IsFileKey(*runKey.key) == files && !CheckKey(runKey, use, verdicts)) return false;
    }
  }
  return true;
}

void NoteKeyringVerdicts(const std::vector<KeyVerdict>& verdicts, RecordedImage* image) {
  for (RecordedKey& key : image->keys) {
    const std::string role = key.role == "rsa_pub" ? "rsa_key" : key.role;
    for (const KeyVerdict& verdict : verdicts) {
      if (verdict.role != role) continue;
      key.inKeyring = true;
      key.keyringName = verdict.entry.name;
      key.keyringUse = KeyUseName(verdict.entry.use);
      key.keyringStatus = KeyStatusName(verdict.entry.status);
    }
  }
}

bool ReadKeyringFile(const char* path, Keyring* keyring, std::string* problem) {
  std::string text;
  if (!ReadReleaseText(path, kMaxKeyringBytes, &text)) {
    *problem = "cannot be read";
    return false;
  }
  if (ParseKeyring(text, keyring, problem)) return true;
  problem->insert(0, "is refused: ");
  return false;
}

bool LoadKeyringFile(const char* path, Keyring* keyring) {
  std::string problem;
  if (ReadKeyringFile(path, keyring, &problem)) return true;
  SayFailed("  ! the keyring %s %s\n\n", path, problem.c_str());
  return false;
}

}  // namespace sealtool
