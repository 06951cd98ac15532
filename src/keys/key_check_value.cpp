#include "keys/key_check_value.h"

#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>

#include "console/console.h"
#include "image/hex_text.h"
#include "keys/aes_cbc.h"
#include "keys/aes_key_file.h"
#include "keys/public_key.h"
#include "platform/file_facts.h"

namespace sealtool {

bool KeyCheckValue(const KeyHandle& key, std::uint8_t (&value)[kKeyCheckValueSize]) {
  // One block of zero-IV CBC is ECB of that block.
  std::uint8_t block[16] = {};
  const bool encrypted = KeyEncryptCbc(key, KeyEcho::kNone, block, sizeof block);
  if (encrypted) std::memcpy(value, block, sizeof value);
  mbedtls_platform_zeroize(block, sizeof block);
  return encrypted;
}

std::string CheckValueOfKeyBytes(const std::uint8_t* key) {
  std::uint8_t block[16] = {};
  const bool encrypted = AesCbcZeroIv(key, MBEDTLS_AES_ENCRYPT, block, sizeof block) == 0;
  std::string value = encrypted ? HexString(block, kKeyCheckValueSize) : std::string();
  mbedtls_platform_zeroize(block, sizeof block);
  return value;
}

bool RefNamesAesKey(const char* ref, KeyRole* role) {
  if (ref == nullptr) return false;
  if (KeyRefIsPath(ref)) return AesKeyFileRole(ref, role);
  mbedtls_mpi n;
  mbedtls_mpi e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  std::uint8_t value[kKeyCheckValueSize] = {};
  BeginQuietSteps();
  const bool aes = !LoadPublicKey(ref, &n, &e, &kind) && KeyCheckValue(ResolveKey(ref, KeyRole::kAesKey), value);
  StepFailure failure{};
  EndQuietSteps(&failure);
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  *role = KeyRole::kAesKey;
  return aes;
}

bool AesKeyFileRole(const char* path, KeyRole* role) {
  if (!FileReadable(path)) return false;
  std::uint8_t key[16] = {};
  bool hexDigitsOnly = false;
  bool allSixteen = false;
  KeyRole found = KeyRole::kAesKey;
  bool isKey = false;
  if (FindAesKeyToken(path, 0, key, &hexDigitsOnly) == KeyOrigin::kFile && hexDigitsOnly) {
    isKey = true;
  } else if (FindAesKeyBytes(path, 0, key, &allSixteen) == KeyOrigin::kFile && allSixteen) {
    found = KeyRole::kSealKey;
    isKey = true;
  }
  mbedtls_platform_zeroize(key, sizeof key);
  if (isKey) *role = found;
  return isKey;
}

}  // namespace sealtool
