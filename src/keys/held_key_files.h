// A batch reads each key file once. While a run holds its key files, what
// the file source read (AES keys, parsed RSA private keys with their
// blinding, public keys) is kept here and used for every further image, with
// one random generator for the run's blinding; CloseKeys wipes it all. A
// single run does not hold: it reads each key as it always has.
#pragma once

#include <cstdint>

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

// N and E of the public key file at path, when held.
bool FindHeldPublicKey(const char* path, mbedtls_mpi* n, mbedtls_mpi* e);
void HoldPublicKey(const char* path, const mbedtls_mpi* n, const mbedtls_mpi* e);

// The run's generator for blinding, seeded from the system once; null when
// the system gives no entropy.
mbedtls_ctr_drbg_context* HeldRandom();

// Wipes and forgets everything held; the run holds nothing afterwards.
void ForgetHeldKeyFiles();

}  // namespace sealtool
