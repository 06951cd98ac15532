#include "secret/system_random.h"

#include <cstring>

namespace sealtool {

bool SeedSystemRandom(SystemRandom* random, const char* personalization) {
  mbedtls_entropy_init(&random->entropy);
  mbedtls_ctr_drbg_init(&random->drbg);
  return mbedtls_ctr_drbg_seed(&random->drbg, mbedtls_entropy_func, &random->entropy,
                               reinterpret_cast<const unsigned char*>(personalization),
                               std::strlen(personalization)) == 0;
}

void FreeSystemRandom(SystemRandom* random) {
  mbedtls_ctr_drbg_free(&random->drbg);
  mbedtls_entropy_free(&random->entropy);
}

}  // namespace sealtool
