#include "seal/seal_image.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>

#include "image/byte_order.h"
#include "image/layout.h"
#include "seal/aes_key_file.h"
#include "seal/rsa_signature.h"
#include "seal/sha256.h"

namespace sealtool {
namespace {

constexpr std::size_t kAesBlockSize = 16;

void StoreImageDigest(std::uint8_t* image, std::uint8_t* digest) {
  Sha256OneShot(image, static_cast<std::int32_t>(kImageSize), digest);
  std::memcpy(image + kImageDigestOffset, digest, kImageDigestSize);
  PrintDigestWords("SHA256: ", digest);
}

int EncryptBody(std::uint8_t* image, std::int32_t chip) {
  std::uint8_t key[kKeyBufferSize] = {};
  const int result = ReadAesKeyToken(chip, KeyEchoStyle::kSpaced, key);
  if (result == 0) {
    EncryptCbcInPlace(key, image + kBodyAreaOffset, kBodyAreaSize);
  }
  mbedtls_platform_zeroize(key, sizeof key);
  return result;
}

}  // namespace

void EncryptCbcInPlace(const std::uint8_t* key, std::uint8_t* data, std::size_t length) {
  // A 128-bit key and whole blocks: none of these calls can fail.
  std::uint8_t iv[kAesBlockSize] = {};
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  mbedtls_aes_setkey_enc(&aes, key, 128);
  mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, length, iv, data, data);
  mbedtls_aes_free(&aes);
}

void PrintDigestWords(const char* label, const std::uint8_t* digest) {
  std::printf("%s0x%x 0x%x 0x%x 0x%x\r\n", label, LoadU32LE(digest),
              LoadU32LE(digest + 4), LoadU32LE(digest + 8), LoadU32LE(digest + 12));
  std::printf("        0x%x 0x%x 0x%x 0x%x\r\n", LoadU32LE(digest + 16),
              LoadU32LE(digest + 20), LoadU32LE(digest + 24), LoadU32LE(digest + 28));
}

void SealHeaderDigestAes(std::uint8_t* digest, std::uint8_t* image,
                         std::int32_t chip) {
  std::uint8_t key[kKeyBufferSize] = {};
  ReadAesKeyBytes(chip, key);
  EncryptCbcInPlace(key, digest, kSha256DigestSize);
  mbedtls_platform_zeroize(key, sizeof key);
  PrintDigestWords("Encypt Sig: ", digest);
  std::memcpy(image + kDigestSealOffset, digest, kDigestSealSize);
}

int SealImage(std::uint8_t* image, std::int32_t chip, HeaderProtection protection) {
  std::uint8_t digest[kSha256DigestSize];
  StoreImageDigest(image, digest);
  if (EncryptBody(image, chip) != 0) {
    return -1;
  }
  Sha256OneShot(image, static_cast<std::int32_t>(kHeaderAreaSize), digest);
  PrintDigestWords("Sig: ", digest);
  std::printf("WIN32 system !!\r\n");
  if (protection == HeaderProtection::kRsaSignature) {
    return SignHeaderDigestRsa(digest, image);
  }
  SealHeaderDigestAes(digest, image, chip);
  return 0;
}

}  // namespace sealtool
