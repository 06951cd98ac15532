#include "secret/system_random.h"

#include <mbedtls/entropy.h>

#include <cstring>

#include "platform/system_entropy.h"

namespace sealtool {
namespace {

// mbedtls's default sources would poll more than the system's generator
// for nothing this program needs.
int EntropyFromSystem(void* /*unused*/, unsigned char* bytes, std::size_t size) {
  return SystemEntropy(bytes, size) ? 0 : MBEDTLS_ERR_ENTROPY_SOURCE_FAILED;
}

}  // namespace

bool SeedSystemRandom(SystemRandom* random, const char* personalization) {
  mbedtls_ctr_drbg_init(&random->drbg);
  return mbedtls_ctr_drbg_seed(&random->drbg, EntropyFromSystem, nullptr,
                               reinterpret_cast<const unsigned char*>(personalization),
                               std::strlen(personalization)) == 0;
}

void FreeSystemRandom(SystemRandom* random) { mbedtls_ctr_drbg_free(&random->drbg); }

}  // namespace sealtool
