#include "keys/aes_cbc.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>

#include "console/console.h"

namespace sealtool {
namespace {

constexpr unsigned kAesKeyBits = 128;

}  // namespace

int AesCbc(const std::uint8_t* key, unsigned keyBits, int direction, const std::uint8_t* iv,
           const std::uint8_t* input, std::uint8_t* output, std::size_t length) {
  if (length % kAesBlockSize != 0) {
    return MBEDTLS_ERR_AES_INVALID_INPUT_LENGTH;
  }
  // The library advances the IV it is given, so it works on a copy.
  std::uint8_t chain[kAesBlockSize];
  std::memcpy(chain, iv, sizeof chain);
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  int ret = (direction == MBEDTLS_AES_ENCRYPT) ? mbedtls_aes_setkey_enc(&aes, key, keyBits)
                                               : mbedtls_aes_setkey_dec(&aes, key, keyBits);
  if (ret == 0) {
    ret = mbedtls_aes_crypt_cbc(&aes, direction, length, chain, input, output);
  }
  mbedtls_aes_free(&aes);
  mbedtls_platform_zeroize(chain, sizeof chain);
  return ret;
}

int AesCbcZeroIv(const std::uint8_t* key, int direction, std::uint8_t* data,
                 std::size_t length) {
  static constexpr std::uint8_t kZeroIv[kAesBlockSize] = {};
  return AesCbc(key, kAesKeyBits, direction, kZeroIv, data, data, length);
}

void PrintCipherFailure(int ret) {
  SayFailed("  ! mbedtls_aes_crypt_cbc returned -0x%04x\n\n",
              static_cast<unsigned>(-ret));
}

}  // namespace sealtool
