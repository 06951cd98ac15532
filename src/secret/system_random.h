// The random generator every program seeds from the system the same way:
// a CTR-DRBG seeded from the operating system's generator alone, for RSA
// blinding, key generation, prime tests and the salts and IVs of encrypted
// keys.
#pragma once

#include <mbedtls/ctr_drbg.h>

namespace sealtool {

struct SystemRandom {
  mbedtls_ctr_drbg_context drbg;
};

// Seeds random from the system, with personalization (a short text naming
// the use) mixed in. False when the system gives no entropy; random must
// be freed either way.
bool SeedSystemRandom(SystemRandom* random, const char* personalization);

// Frees and wipes the generator's state.
void FreeSystemRandom(SystemRandom* random);

}  // namespace sealtool
