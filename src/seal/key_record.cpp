#include "seal/key_record.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>

#include "console/console.h"
#include "image/hex_text.h"
#include "image/layout.h"
#include "keys/aes_cbc.h"
#include "keys/aes_key_file.h"
#include "keys/key_handle.h"
#include "secret/wipe_guard.h"

namespace sealtool {
namespace {

constexpr std::uint8_t kWrappingKey[kAesKeySize] = {
    0xb1, 0xd0, 0x81, 0x85, 0x3f, 0x56, 0x70, 0x1a,
    0xdb, 0xac, 0x16, 0xf8, 0xb6, 0xe2, 0xb8, 0x45};

// One AES-128 block under the wrapping key, in either direction.
int CryptWithWrappingKey(int direction, const std::uint8_t* input, std::uint8_t* output) {
  std::uint8_t wrappingKey[kAesKeySize];
  AssembleWrappingKey(wrappingKey);
  std::memcpy(output, input, kWrappedKeySize);
  const int ret = AesCbcZeroIv(wrappingKey, direction, output, kWrappedKeySize);
  mbedtls_platform_zeroize(wrappingKey, sizeof wrappingKey);
  return ret;
}

void StoreWrappedKey(const std::uint8_t* wrapped, std::uint8_t* image) {
  Say("AES-wr-key:\r\n");
  PrintHex(wrapped, kWrappedKeySize, "");
  std::memcpy(image + kWrappedKeyOffset, wrapped, kWrappedKeySize);
  Say("\r\n");
}

}  // namespace

void AssembleWrappingKey(std::uint8_t* key) {
  for (std::size_t i = 0; i < kAesKeySize; ++i) {
    key[i] = kWrappingKey[i];
  }
}

bool WrapUserKey(const std::uint8_t* userKey, std::uint8_t* image) {
  std::uint8_t wrapped[kWrappedKeySize];
  const int ret = CryptWithWrappingKey(MBEDTLS_AES_ENCRYPT, userKey, wrapped);
  if (ret != 0) {
    mbedtls_platform_zeroize(wrapped, sizeof wrapped);
    PrintCipherFailure(ret);
    return false;
  }
  StoreWrappedKey(wrapped, image);
  return true;
}

bool WrapUserKeyFrom(const KeyHandle& userKey, std::uint8_t* image) {
  std::uint8_t wrappingKey[kAesKeySize];
  const WipeOnExit wipeWrappingKey(wrappingKey, sizeof wrappingKey);
  AssembleWrappingKey(wrappingKey);
  std::uint8_t wrapped[kWrappedKeySize];
  if (!KeyWrap(userKey, KeyEcho::kCompact, wrappingKey, wrapped)) return false;
  StoreWrappedKey(wrapped, image);
  return true;
}

bool WrapUserKeyInto(ModeRun* run) { return WrapUserKeyFrom(run->keys->aesKey, run->image); }

bool UnwrapUserKey(const std::uint8_t* wrapped, std::uint8_t* userKey) {
  return CryptWithWrappingKey(MBEDTLS_AES_DECRYPT, wrapped, userKey) == 0;
}

}  // namespace sealtool
