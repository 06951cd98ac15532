// The RSA keys of a signing run: the private key file read and completed
// with the public exponent that fits it, the public key file that goes
// beside the signature, and the checks every source's keys must pass.
// Every reader says why it fails.
#pragma once

#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>

#include <cstdint>

namespace sealtool {

// The public key that goes beside the signature, read apart from the
// private key's context.
struct PublicKey {
  mbedtls_mpi n;
  mbedtls_mpi e;
};

void InitPublicKey(PublicKey* key);
void FreePublicKey(PublicKey* key);

// N and E from a public key file in rsa_pub.txt's form (fileName, as
// messages show it); false after printing why.
bool ReadPublicKeyValues(const char* fileName, mbedtls_mpi* n, mbedtls_mpi* e);

// A public key a run may store: N of 1024 bits, E sound and within the
// exponent area. False after printing why, naming the key as name.
bool PublicKeyFitsImage(const mbedtls_mpi* n, const mbedtls_mpi* e, const char* name);

// True when the input block, read big-endian, is not below N: the case the
// library refuses for a sound key.
bool BlockNotBelowModulus(const std::uint8_t* block, const mbedtls_mpi* n);

// Why a block not below N cannot be signed, and what to do.
void PrintBlockNotBelowModulus(const std::uint8_t* block, std::uint8_t modulusTopByte);

// lcm(P - 1, Q - 1), the modulus D and E are inverses under. Returns 0 or an
// mbedtls code (also for P or Q below 2).
int PrimesLcm(const mbedtls_rsa_context* rsa, mbedtls_mpi* lcm);

// rsa_priv.txt's seven values (or those of fileName), N a 1024-bit modulus.
bool ReadPrivateKeyFile(mbedtls_rsa_context* rsa, const char* fileName);

// The library checks its private-key result against E, which rsa_priv.txt
// does not hold (the public key file is read only after signing). E is the
// exponent that fits D: the usual 65537 (or 3 or 17) when it fits, checked
// with two remainders, else the inverse of D modulo lcm(P - 1, Q - 1), which
// costs about as much as the signature itself. Either way the signature is
// S = m^D mod N. A D with no such inverse means the key is not a consistent
// RSA key.
int DerivePublicExponent(mbedtls_rsa_context* rsa);

}  // namespace sealtool
