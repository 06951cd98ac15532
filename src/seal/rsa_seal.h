// The RSA seal of an image, made and checked by the same code in sealtool,
// sealinfo and sealkey: the input block built from the header digest, and
// the check that the signature opens to the block under a public key
// (keys/public_key.h reads the one an image stores).
#pragma once

#include <cstdint>

#include <mbedtls/bignum.h>

#include "image/layout.h"

namespace sealtool {

// Copies n bytes so that destination byte n-1-i receives source byte i.
void ReverseCopy(const std::uint8_t* source, std::uint8_t* destination, std::uint8_t n);

// The block that RSA mode signs: the header digest byte-reversed into its
// first 32 bytes, read big-endian, zeros behind.
void MakeRsaInputBlock(const std::uint8_t* headerDigest, std::uint8_t (&block)[kRsaBlockSize]);

enum class RsaSealCheck {
  kVerifies,      // S^E mod N is the block
  kOtherImage,    // a signature by this key of another header digest
  kOtherKey,      // made with another key, or damaged
  kUnsoundKey,    // N or E is no public key a device can use
};

// Checks signature against block under (N, E) in a context of its own, the
// key imported and completed as a verifier would.
RsaSealCheck CheckRsaSeal(const mbedtls_mpi* n, const mbedtls_mpi* e, const std::uint8_t* signature,
                          const std::uint8_t* block);

}  // namespace sealtool
