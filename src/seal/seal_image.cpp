#include "seal/seal_image.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>

#include "image/byte_order.h"
#include "image/layout.h"
#include "keys/aes_cbc.h"
#include "keys/aes_key_file.h"
#include "token/pkcs11_token.h"
#include "seal/rsa_signature.h"
#include "digest/sha256.h"
#include "secret/wipe_guard.h"

namespace sealtool {
namespace {

static_assert(sizeof SealDigests{}.image == kSha256DigestSize && sizeof SealDigests{}.header == kSha256DigestSize);

void StoreImageDigest(std::uint8_t* image, std::uint8_t* digest) {
  Sha256OneShot(image, static_cast<std::int32_t>(kImageSize), digest);
  std::memcpy(image + kImageDigestOffset, digest, kImageDigestSize);
  PrintDigestWords("SHA256: ", digest);
}

// Encrypts with key, then wipes it; prints the cipher's refusal, if any.
bool EncryptAndWipeKey(std::uint8_t (&key)[kKeyBufferSize], std::uint8_t* data,
                       std::size_t length) {
  const WipeOnExit wipeKey(key, sizeof key);
  const int ret = AesCbcZeroIv(key, MBEDTLS_AES_ENCRYPT, data, length);
  if (ret != 0) PrintCipherFailure(ret);
  return ret == 0;
}

bool EncryptBody(std::uint8_t* image, std::int32_t chip, const char* keySource) {
  if (IsTokenRef(keySource)) {
    std::printf("AES-Key:\r\n");
    if (!TokenEncryptAesCbc(keySource, image + kBodyAreaOffset, kBodyAreaSize)) return false;
    std::printf("in the token\r\n");
    return true;
  }
  std::uint8_t key[kKeyBufferSize] = {};
  const WipeOnExit wipeKey(key, sizeof key);
  return ReadAesKeyToken(keySource, chip, KeyEchoStyle::kSpaced, key) &&
         EncryptAndWipeKey(key, image + kBodyAreaOffset, kBodyAreaSize);
}

// The digest seal in place, under the seal key from wherever it is.
bool EncryptDigestSeal(std::uint8_t* digest, std::int32_t chip, const char* keySource) {
  if (IsTokenRef(keySource)) {
    return TokenEncryptAesCbc(keySource, digest, kDigestSealSize);
  }
  std::uint8_t key[kKeyBufferSize] = {};
  const WipeOnExit wipeKey(key, sizeof key);
  return ReadAesKeyBytes(keySource, chip, key) && EncryptAndWipeKey(key, digest, kDigestSealSize);
}

// AES-seal mode: encrypts the header digest in place with AES-128-CBC under
// the seal key, prints it and stores it in the digest seal region.
bool SealHeaderDigestAes(std::uint8_t* digest, std::uint8_t* image, std::int32_t chip,
                         const char* sealKey) {
  if (!EncryptDigestSeal(digest, chip, sealKey)) return false;
  PrintDigestWords("Encypt Sig: ", digest);
  std::memcpy(image + kDigestSealOffset, digest, kDigestSealSize);
  return true;
}

}  // namespace

void PrintDigestWords(const char* label, const std::uint8_t* digest) {
  std::printf("%s0x%x 0x%x 0x%x 0x%x\r\n", label, LoadU32LE(digest),
              LoadU32LE(digest + 4), LoadU32LE(digest + 8), LoadU32LE(digest + 12));
  std::printf("        0x%x 0x%x 0x%x 0x%x\r\n", LoadU32LE(digest + 16),
              LoadU32LE(digest + 20), LoadU32LE(digest + 24), LoadU32LE(digest + 28));
}

bool SealImage(std::uint8_t* image, std::int32_t chip, RunMode mode, const KeySources& sources,
               SealDigests* digests) {
  std::uint8_t digest[kSha256DigestSize];
  StoreImageDigest(image, digest);
  if (digests != nullptr) std::memcpy(digests->image, digest, sizeof digest);
  if (!EncryptBody(image, chip, sources.aesKey)) return false;
  Sha256OneShot(image, static_cast<std::int32_t>(kHeaderAreaSize), digest);
  if (digests != nullptr) std::memcpy(digests->header, digest, sizeof digest);
  PrintDigestWords("Sig: ", digest);
  std::printf("WIN32 system !!\r\n");
  if (mode == RunMode::kRsa) {
    return SignHeaderDigestRsa(digest, image, sources);
  }
  return SealHeaderDigestAes(digest, image, chip, sources.sealKey);
}

}  // namespace sealtool
