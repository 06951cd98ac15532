// The RSA seal of an image, made and checked by the same code in sealtool,
// sealinfo and sealkey: the input block built from the header digest, the
// public key as the image stores it, and the check that the signature opens
// to the block under that key.
#pragma once

#include <cstdint>

#include <mbedtls/bignum.h>

#include "image/layout.h"
#include "keys/key_id.h"

namespace sealtool {

// Copies n bytes so that destination byte n-1-i receives source byte i.
void ReverseCopy(const std::uint8_t* source, std::uint8_t* destination, std::uint8_t n);

// The block that RSA mode signs: the header digest byte-reversed into its
// first 32 bytes, read big-endian, zeros behind.
void MakeRsaInputBlock(const std::uint8_t* headerDigest, std::uint8_t (&block)[kRsaBlockSize]);

// N and E as the image's modulus and exponent areas hold them. Returns 0 or
// an mbedtls error code.
int LoadImagePublicKey(const std::uint8_t* image, mbedtls_mpi* n, mbedtls_mpi* e);

// Both ids of the key an image header carries (its modulus and exponent
// areas). Returns 0 or an mbedtls error code.
int ComputeImageKeyIds(const std::uint8_t* image, KeyIds* ids);

// Writes N and E into the modulus and exponent areas; both must fit.
void StoreImagePublicKey(const mbedtls_mpi* n, const mbedtls_mpi* e, std::uint8_t* image);

// A public exponent under which a signature means something: odd and at
// least 3 (with E = 1 the signature is the block itself, which anyone can
// make).
bool PublicExponentIsSound(const mbedtls_mpi* e);

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
