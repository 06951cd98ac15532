// A batch reads each key once. While a run holds its keys, what the file
// source read (AES keys, parsed RSA private keys with their blinding) and
// the public keys of every source (a token's modulus, a helper's answer) are
// kept here and used for every further image, with one random generator for
// the run's blinding; CloseKeys wipes it all. A single run does not hold: it
// reads each key as it always has.
#pragma once

#include <cstdint>
#include <string>

#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/rsa.h>

#include "keys/key_handle.h"

namespace sealtool {

// From now until CloseKeys, key files are read once.
void HoldKeyFilesForRun();
bool HoldingKeyFiles();

// The AES key of ref (null: the default file) read in role for chip, when
// held: copied into bytes (kKeyBufferSize).
bool FindHeldAesKey(const char* ref, KeyRole role, std::int32_t chip, std::uint8_t* bytes);
void HoldAesKey(const char* ref, KeyRole role, std::int32_t chip, const std::uint8_t* bytes);

// The parsed private key of path, or a fresh context to read it into (null
// when no room is left); a context read into must be kept with
// KeepHeldRsaKey or given back with DropHeldRsaKey.
mbedtls_rsa_context* FindHeldRsaKey(const char* path, bool* loaded);
void KeepHeldRsaKey(mbedtls_rsa_context* rsa);
void DropHeldRsaKey(mbedtls_rsa_context* rsa);

// N and E of a public key of any source, by a name that tells the key
// (its source, reference and role), and what carried them, when held.
bool FindHeldPublicKey(const std::string& name, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind);
void HoldPublicKey(const std::string& name, const mbedtls_mpi* n, const mbedtls_mpi* e, const char* kind);

// The run's generator for blinding, seeded from the system once; null when
// the system gives no entropy.
mbedtls_ctr_drbg_context* HeldRandom();

// Wipes and forgets everything held; the run holds nothing afterwards.
void ForgetHeldKeyFiles();

}  // namespace sealtool
