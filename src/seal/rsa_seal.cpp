#include "seal/rsa_seal.h"

#include <algorithm>
#include <cstring>

#include <mbedtls/rsa.h>

#include "digest/sha256.h"
#include "keys/public_key.h"

namespace sealtool {

void ReverseCopy(const std::uint8_t* source, std::uint8_t* destination, std::uint8_t n) {
  for (unsigned i = 0; i < n; ++i) {
    destination[n - 1 - i] = source[i];
  }
}

void MakeRsaInputBlock(const std::uint8_t* headerDigest, std::uint8_t (&block)[kRsaBlockSize]) {
  std::memset(block, 0, sizeof block);
  ReverseCopy(headerDigest, block, static_cast<std::uint8_t>(kSha256DigestSize));
}

RsaSealCheck CheckRsaSeal(const mbedtls_mpi* n, const mbedtls_mpi* e, const std::uint8_t* signature,
                          const std::uint8_t* block) {
  if (mbedtls_mpi_bitlen(n) != 8 * kRsaBlockSize || !PublicExponentIsSound(e)) {
    return RsaSealCheck::kUnsoundKey;
  }
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
  std::uint8_t recovered[kRsaBlockSize];
  const bool keyImported = mbedtls_rsa_import(&rsa, n, nullptr, nullptr, nullptr, e) == 0 &&
                           mbedtls_rsa_complete(&rsa) == 0 && mbedtls_rsa_check_pubkey(&rsa) == 0;
  const bool opened = keyImported && mbedtls_rsa_public(&rsa, signature, recovered) == 0;
  mbedtls_rsa_free(&rsa);
  if (!keyImported) return RsaSealCheck::kUnsoundKey;
  if (opened && std::memcmp(recovered, block, kRsaBlockSize) == 0) return RsaSealCheck::kVerifies;
  // An input block of this layout (a digest, then zeros) is this key's
  // signature of some other header.
  const bool otherImage = opened && std::all_of(recovered + kSha256DigestSize, recovered + kRsaBlockSize,
                                                [](std::uint8_t b) { return b == 0; });
  return otherImage ? RsaSealCheck::kOtherImage : RsaSealCheck::kOtherKey;
}

}  // namespace sealtool
