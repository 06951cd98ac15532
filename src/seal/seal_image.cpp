#include "seal/seal_image.h"

#include <cstdio>
#include <cstring>


#include "image/byte_order.h"
#include "image/layout.h"
#include "seal/rsa_signature.h"
#include "digest/sha256.h"

namespace sealtool {
namespace {

static_assert(sizeof SealDigests{}.image == kSha256DigestSize && sizeof SealDigests{}.header == kSha256DigestSize);

void StoreImageDigest(std::uint8_t* image, std::uint8_t* digest) {
  Sha256OneShot(image, static_cast<std::int32_t>(kImageSize), digest);
  std::memcpy(image + kImageDigestOffset, digest, kImageDigestSize);
  PrintDigestWords("SHA256: ", digest);
}

// AES-seal mode: encrypts the header digest in place with AES-128-CBC under
// the seal key, prints it and stores it in the digest seal region.
bool SealHeaderDigestAes(std::uint8_t* digest, std::uint8_t* image, const KeyHandle& sealKey) {
  if (!KeyEncryptCbc(sealKey, KeyEcho::kNone, digest, kDigestSealSize)) return false;
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
  return SealImage(image, mode, ResolveRunKeys(sources, chip), digests);
}

bool SealImage(std::uint8_t* image, RunMode mode, const RunKeys& keys, SealDigests* digests) {
  std::uint8_t digest[kSha256DigestSize];
  StoreImageDigest(image, digest);
  if (digests != nullptr) std::memcpy(digests->image, digest, sizeof digest);
  if (!KeyEncryptCbc(keys.aesKey, KeyEcho::kSpaced, image + kBodyAreaOffset, kBodyAreaSize)) return false;
  Sha256OneShot(image, static_cast<std::int32_t>(kHeaderAreaSize), digest);
  if (digests != nullptr) std::memcpy(digests->header, digest, sizeof digest);
  PrintDigestWords("Sig: ", digest);
  std::printf("WIN32 system !!\r\n");
  if (mode == RunMode::kRsa) {
    const bool signedDigest = SignHeaderDigestRsa(digest, image, keys, digests != nullptr ? &digests->keyIds : nullptr);
    if (digests != nullptr) digests->hasKeyIds = signedDigest;
    return signedDigest;
  }
  return SealHeaderDigestAes(digest, image, keys.sealKey);
}

}  // namespace sealtool
