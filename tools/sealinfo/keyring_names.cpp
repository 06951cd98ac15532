#include "keyring_names.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "checks.h"
#include "image/hex_text.h"
#include "image/layout.h"
#include "keys/aes_key_file.h"
#include "keys/key_check_value.h"
#include "release/keyring_check.h"
#include "seal/key_record.h"

namespace sealtool::inspect {
namespace {

// The check value of an AES-128 key, as hex.
void CheckValueText(const std::uint8_t* key, char (&text)[kNamedKeyIdSize]) {
  std::snprintf(text, sizeof text, "%s", CheckValueOfKeyBytes(key).c_str());
}

// What the key did to the image, as a report says it.
const char* DeedOf(const NamedKey& key, RunMode mode) {
  if (std::strcmp(key.role, "rsa_key") == 0) return "signed by";
  if (std::strcmp(key.role, "seal_key") == 0) return "digest sealed under";
  return mode == RunMode::kKeyRecord ? "wraps" : "body encrypted under";
}

// Looks the key up and says what the keyring makes of it.
// Without a keyring, a production release only refuses the built-in and
// example keys.
void JudgeKey(const KeyringGate& gate, NamedKey* key, Report* report) {
  const KeyringEntry* entry = nullptr;
  if (gate.keyring != nullptr) {
    entry = FindKeyringEntry(*gate.keyring, key->id);
    if (entry == nullptr && key->otherId[0] != '\0') entry = FindKeyringEntry(*gate.keyring, key->otherId);
  }
  key->entry = entry;
  key->development = IsDevelopmentKeyId(key->id) || IsDevelopmentKeyId(key->otherId) ||
                     (entry != nullptr && entry->use == KeyUse::kDevelopment);
  if (gate.keyring == nullptr) {
    if (key->development) {
      AddCheck(report, CheckId::kKeyring, Verdict::kFailed,
               "%s key %.64s is a built-in or example key: a production release takes none", key->role, key->id);
    }
    return;
  }
  if (entry == nullptr) {
    AddCheck(report, CheckId::kKeyring, Verdict::kFailed, "%s key %.64s is not in the keyring %.40s%s", key->role,
             key->id, gate.path, key->development ? " (a built-in or example key: development)" : "");
    return;
  }
  const char* use = key->development ? "development" : "production";
  const char* deed = DeedOf(*key, report->mode);
  const char* name = entry->name.c_str();
  if (entry->status == KeyStatus::kRevoked) {
    AddCheck(report, CheckId::kKeyring, Verdict::kFailed, "%s %.60s, %s, revoked", deed, name, use);
  } else if (gate.production && key->development) {
    AddCheck(report, CheckId::kKeyring, Verdict::kFailed,
             "%s %.60s, development: a production release takes no development key", deed, name);
  } else {
    AddCheck(report, CheckId::kKeyring, Verdict::kOk, "%s %.60s, %s, %s", deed, name, use,
             KeyStatusName(entry->status));
  }
  if (entry->status == KeyStatus::kRetired) {
    char warning[200];
    std::snprintf(warning, sizeof warning, "%.60s is retired in the keyring %.80s", name, gate.path);
    AddWarning(report, warning);
  }
}

NamedKey* NextNamedKey(Report* report, const char* role) {
  if (report->namedKeyCount >= kMaxNamedKeys) return nullptr;
  NamedKey* key = &report->namedKeys[report->namedKeyCount++];
  *key = NamedKey{};
  key->role = role;
  return key;
}

void NameRsaKey(const KeyringGate& gate, Report* report) {
  if (!report->hasKeyIds) {
    AddCheck(report, CheckId::kKeyring, Verdict::kFailed, "the image carries no RSA key to name");
    return;
  }
  NamedKey* key = NextNamedKey(report, "rsa_key");
  if (key == nullptr) return;
  std::snprintf(key->id, sizeof key->id, "%s", HexString(report->keyIds.spki, kKeyIdSize).c_str());
  std::snprintf(key->otherId, sizeof key->otherId, "%s", HexString(report->keyIds.header, kKeyIdSize).c_str());
  JudgeKey(gate, key, report);
}

// An AES key is named only once the check that uses it passed: until then
// the key read is not known to be the image's.
void NameAesKey(const InspectOptions& options, const KeyringGate& gate, bool seal, Report* report) {
  const CheckId verifier = seal ? CheckId::kDigestSeal : CheckId::kImageDigest;
  const char* role = seal ? "seal_key" : "aes_key";
  if (!CheckPassed(*report, verifier)) {
    AddCheck(report, CheckId::kKeyring, Verdict::kNotVerifiable, "the %s cannot be named: the %s did not verify",
             role, CheckName(verifier));
    return;
  }
  char path[kMaxPathSize];
  std::uint8_t bytes[kKeyBufferSize] = {};
  if (seal) {
    SealKeyPath(options, path);
    FindAesKeyBytes(path, report->chip, bytes);
  } else {
    AesKeyPath(options, path);
    FindAesKeyToken(path, report->chip, bytes, nullptr);
  }
  NamedKey* key = NextNamedKey(report, role);
  if (key != nullptr) CheckValueText(bytes, key->id);
  mbedtls_platform_zeroize(bytes, sizeof bytes);
  if (key != nullptr) JudgeKey(gate, key, report);
}

// The user key of a key-record image is in the image itself.
void NameWrappedKey(const std::uint8_t* image, const KeyringGate& gate, Report* report) {
  std::uint8_t userKey[kAesKeySize] = {};
  if (!UnwrapUserKey(image + kWrappedKeyOffset, userKey)) {
    AddCheck(report, CheckId::kKeyring, Verdict::kFailed, "the wrapped key cannot be unwrapped");
    return;
  }
  NamedKey* key = NextNamedKey(report, "aes_key");
  if (key != nullptr) CheckValueText(userKey, key->id);
  mbedtls_platform_zeroize(userKey, sizeof userKey);
  if (key != nullptr) JudgeKey(gate, key, report);
}

}  // namespace

void NameImageKeys(const std::uint8_t* image, const InspectOptions& options, const KeyringGate& gate,
                   Report* report) {
  report->namedKeyCount = 0;
  report->keysNamed = gate.keyring != nullptr || gate.production;
  if (!report->keysNamed) return;
  const unsigned reads = RunOptionsOfMode(report->mode);
  if ((reads & kRunOptionRsaPub) != 0) NameRsaKey(gate, report);
  if ((reads & kRunOptionAesKey) != 0) {
    if (report->mode == RunMode::kKeyRecord) {
      NameWrappedKey(image, gate, report);
    } else {
      NameAesKey(options, gate, false, report);
    }
  }
  if ((reads & kRunOptionSealKey) != 0) NameAesKey(options, gate, true, report);
}

bool LoadGateKeyring(const char* path, Keyring* keyring) {
  std::string problem;
  if (ReadKeyringFile(path, keyring, &problem)) return true;
  std::fprintf(stderr, "sealinfo: the keyring '%s' %s\n", path, problem.c_str());
  return false;
}

bool KeyringNamesEveryKey(const Report& report) {
  bool named = false;
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    if (report.checks[i].id != CheckId::kKeyring) continue;
    if (report.checks[i].verdict != Verdict::kOk) return false;
    named = true;
  }
  return named;
}

}  // namespace sealtool::inspect
