// The RSA keys of a signing run: the private key file read and completed
// with the public exponent that fits it, and the public key that goes
// beside the signature, from rsa_pub.txt, the file or token key named, or a
// token private key's own public key. Every reader says why it fails.
#pragma once

#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>

#include "keys/key_sources.h"

namespace sealtool {

// The public key that goes beside the signature, read apart from the
// private key's context.
struct PublicKey {
  mbedtls_mpi n;
  mbedtls_mpi e;
};

void InitPublicKey(PublicKey* key);
void FreePublicKey(PublicKey* key);

// N and E to store: from rsa_pub.txt or the file or token key named, or,
// for a token private key named alone, from its public key in the token.
// *name gets the reference they came from.
bool ReadPublicKey(const KeySources& sources, PublicKey* key, const char** name);

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
