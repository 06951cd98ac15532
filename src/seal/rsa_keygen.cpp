#include "seal/rsa_keygen.h"

#include <cstring>

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>

#include "seal/rsa_signature.h"
#include "seal/secret_file.h"

namespace sealtool {
namespace {

constexpr std::size_t kPrimeBytes = kRsaBlockSize / 2;
constexpr int kPublicExponent = 65537;
constexpr int kPrimalityRounds = 40;
constexpr int kHexRadix = 16;

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

// "NAME = HEX\r\n" for each value, as mbedtls_mpi_write_file writes them,
// but into the caller's buffer: no stream buffer ever holds the key.
int FormatValues(const char* const* names, const mbedtls_mpi* const* values, int count,
                 char* text, std::size_t size, std::size_t* length) {
  std::size_t used = 0;
  for (int i = 0; i < count; ++i) {
    const std::size_t nameLength = std::strlen(names[i]);
    if (size - used < nameLength + 3) return MBEDTLS_ERR_MPI_BUFFER_TOO_SMALL;
    std::memcpy(text + used, names[i], nameLength);
    used += nameLength;
    std::size_t written = 0;  // the digits and their NUL
    const int ret = mbedtls_mpi_write_string(values[i], 16, text + used, size - used - 2, &written);
    if (ret != 0) return ret;
    used += written - 1;
    text[used++] = '\r';
    text[used++] = '\n';
  }
  *length = used;
  return 0;
}

}  // namespace

int GenerateSealingRsaKey(mbedtls_rsa_context* rsa, RandomSource random, void* randomState) {
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
  return ret;
}

int ReadRsaKeyValues(const char* path, mbedtls_mpi* const* values, int count) {
  SecretFile file{};
  if (OpenSecretFile(&file, path) != SecretFileStatus::kOpened) {
    return kKeyFileNotOpened;
  }
  int ret = 0;
  for (int i = 0; i < count && ret == 0; ++i) {
    ret = mbedtls_mpi_read_file(values[i], kHexRadix, file.stream);
  }
  CloseSecretFile(&file);
  return ret;
}

int ReadRsaPrivateKeyFile(const char* path, mbedtls_rsa_context* rsa) {
  mbedtls_mpi* const values[] = {&rsa->N, &rsa->D, &rsa->P, &rsa->Q, &rsa->DP, &rsa->DQ, &rsa->QP};
  return ReadRsaKeyValues(path, values, 7);
}

int ReadRsaPublicKeyFile(const char* path, mbedtls_rsa_context* rsa) {
  mbedtls_mpi* const values[] = {&rsa->N, &rsa->E};
  return ReadRsaKeyValues(path, values, 2);
}

int FormatRsaPrivateKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                            std::size_t* length) {
  const char* const names[] = {"N = ", "D = ", "P = ", "Q = ", "DP = ", "DQ = ", "QP = "};
  const mbedtls_mpi* const values[] = {&rsa->N, &rsa->D, &rsa->P, &rsa->Q,
                                       &rsa->DP, &rsa->DQ, &rsa->QP};
  return FormatValues(names, values, 7, text, size, length);
}

int FormatRsaPublicKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                           std::size_t* length) {
  const char* const names[] = {"N = ", "E = "};
  const mbedtls_mpi* const values[] = {&rsa->N, &rsa->E};
  return FormatValues(names, values, 2, text, size, length);
}

}  // namespace sealtool
