#include "rsa_keygen.h"

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>

#include "image/layout.h"

namespace sealtool {
namespace {

constexpr std::size_t kPrimeBytes = kRsaBlockSize / 2;
constexpr int kPublicExponent = 65537;
constexpr int kPrimalityRounds = 40;

// A random odd start with its top nine bits set, then the next prime above
// it whose P - 1 is prime to E. A search that runs past 512 bits starts over.
int GenerateTopPrime(mbedtls_mpi* prime, RandomSource random, void* randomState) {
  unsigned char start[kPrimeBytes];
  int ret = 0;
  for (;;) {
    ret = random(randomState, start, sizeof start);
    if (ret != 0) {
      break;
    }
    start[0] = 0xFF;
    start[1] |= 0x80;
    start[kPrimeBytes - 1] |= 0x01;
    ret = mbedtls_mpi_read_binary(prime, start, sizeof start);
    while (ret == 0 && mbedtls_mpi_bitlen(prime) == 8 * kPrimeBytes) {
      mbedtls_mpi_uint remainder = 0;
      ret = mbedtls_mpi_mod_int(&remainder, prime, kPublicExponent);
      if (ret == 0 && remainder != 1) {
        ret = mbedtls_mpi_is_prime_ext(prime, kPrimalityRounds, random, randomState);
        if (ret == 0) {
          mbedtls_platform_zeroize(start, sizeof start);
          return 0;
        }
        if (ret != MBEDTLS_ERR_MPI_NOT_ACCEPTABLE) {
          break;
        }
      }
      ret = mbedtls_mpi_add_int(prime, prime, 2);
    }
    if (ret != 0) {
      break;
    }
  }
  mbedtls_platform_zeroize(start, sizeof start);
  return ret;
}

}  // namespace

bool GenerateSealingRsaKey(mbedtls_rsa_context* rsa, RandomSource random, void* randomState) {
  mbedtls_mpi p, q, e;
  mbedtls_mpi_init(&p);
  mbedtls_mpi_init(&q);
  mbedtls_mpi_init(&e);
  int ret = GenerateTopPrime(&p, random, randomState);
  while (ret == 0) {
    ret = GenerateTopPrime(&q, random, randomState);
    if (ret != 0 || mbedtls_mpi_cmp_mpi(&p, &q) != 0) {
      break;
    }
  }
  if (ret == 0) ret = mbedtls_mpi_lset(&e, kPublicExponent);
  if (ret == 0) ret = mbedtls_rsa_import(rsa, nullptr, &p, &q, nullptr, &e);
  if (ret == 0) ret = mbedtls_rsa_complete(rsa);
  if (ret == 0) ret = mbedtls_rsa_check_privkey(rsa);
  mbedtls_mpi_free(&p);
  mbedtls_mpi_free(&q);
  mbedtls_mpi_free(&e);
  return ret == 0;
}

}  // namespace sealtool
