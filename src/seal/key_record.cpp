#include "seal/key_record.h"

#include <cstdio>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>

#include "image/layout.h"
#include "seal/aes_key_file.h"

namespace sealtool {
namespace {

constexpr std::uint8_t kWrappingKey[kAesKeySize] = {
    0xb1, 0xd0, 0x81, 0x85, 0x3f, 0x56, 0x70, 0x1a,
    0xdb, 0xac, 0x16, 0xf8, 0xb6, 0xe2, 0xb8, 0x45};

}  // namespace

void AssembleWrappingKey(std::uint8_t* key) {
  for (std::size_t i = 0; i < kAesKeySize; ++i) {
    key[i] = kWrappingKey[i];
  }
}

namespace {

// One AES-128 block under the wrapping key, in either direction. A 128-bit
// key and one whole block: neither call can fail.
void CryptWithWrappingKey(int direction, const std::uint8_t* input, std::uint8_t* output) {
  std::uint8_t wrappingKey[kAesKeySize];
  AssembleWrappingKey(wrappingKey);
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  if (direction == MBEDTLS_AES_ENCRYPT) {
    mbedtls_aes_setkey_enc(&aes, wrappingKey, 128);
  } else {
    mbedtls_aes_setkey_dec(&aes, wrappingKey, 128);
  }
  mbedtls_aes_crypt_ecb(&aes, direction, input, output);
  mbedtls_aes_free(&aes);
  mbedtls_platform_zeroize(wrappingKey, sizeof wrappingKey);
}

}  // namespace

void WrapUserKey(const std::uint8_t* userKey, std::uint8_t* image) {
  std::uint8_t wrapped[kWrappedKeySize];
  CryptWithWrappingKey(MBEDTLS_AES_ENCRYPT, userKey, wrapped);
  std::printf("AES-wr-key:\r\n");
  for (std::size_t i = 0; i < kWrappedKeySize; ++i) {
    std::printf("%02x", wrapped[i]);
    image[kWrappedKeyOffset + i] = wrapped[i];
  }
  std::printf("\r\n");
}

void UnwrapUserKey(const std::uint8_t* wrapped, std::uint8_t* userKey) {
  CryptWithWrappingKey(MBEDTLS_AES_DECRYPT, wrapped, userKey);
}

}  // namespace sealtool
