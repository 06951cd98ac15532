#include "seal/aes_cbc.h"

#include <cstdio>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>

namespace sealtool {
namespace {

constexpr unsigned kAesKeyBits = 128;

}  // namespace

int AesCbcZeroIv(const std::uint8_t* key, int direction, std::uint8_t* data,
                 std::size_t length) {
  if (length % kAesBlockSize != 0) {
    return MBEDTLS_ERR_AES_INVALID_INPUT_LENGTH;
  }
  // The call advances the IV, so it gets a fresh zero one each time.
  std::uint8_t iv[kAesBlockSize] = {};
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  int ret = (direction == MBEDTLS_AES_ENCRYPT) ? mbedtls_aes_setkey_enc(&aes, key, kAesKeyBits)
                                               : mbedtls_aes_setkey_dec(&aes, key, kAesKeyBits);
  if (ret == 0) {
    ret = mbedtls_aes_crypt_cbc(&aes, direction, length, iv, data, data);
  }
  mbedtls_aes_free(&aes);
  mbedtls_platform_zeroize(iv, sizeof iv);
  return ret;
}

void PrintCipherFailure(int ret) {
  std::printf(" failed\n  ! mbedtls_aes_crypt_cbc returned -0x%04x\n\n",
              static_cast<unsigned>(-ret));
}

}  // namespace sealtool
