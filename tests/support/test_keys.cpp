#include "test_keys.h"

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>

#include <mbedtls/ctr_drbg.h>

#include "files.h"
#include "keys/rsa_key_files.h"
#include "rsa_keygen.h"

namespace sealtool::test {
namespace {

struct SeedEntropy {
  std::uint32_t seed;
  std::uint32_t counter;
};

int SeedEntropySource(void* state, unsigned char* output, std::size_t length) {
  auto* entropy = static_cast<SeedEntropy*>(state);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t x = (entropy->seed + 1) * 2654435761u + entropy->counter++ * 40503u;
    output[i] = static_cast<unsigned char>(x >> 13);
  }
  return 0;
}

struct KeyHolder {
  mbedtls_rsa_context rsa;
  KeyHolder() { mbedtls_rsa_init(&rsa, 0, 0); }
  ~KeyHolder() { mbedtls_rsa_free(&rsa); }
};

std::string KeyText(const mbedtls_rsa_context& rsa, bool privateKey) {
  char buffer[kKeyFileTextSize];
  std::size_t length = 0;
  const int ret = privateKey ? FormatRsaPrivateKeyFile(&rsa, buffer, sizeof buffer, &length)
                             : FormatRsaPublicKeyFile(&rsa, buffer, sizeof buffer, &length);
  if (ret != 0) {
    throw std::runtime_error("writing a key file failed");
  }
  return std::string(buffer, length);
}

}  // namespace

int DeterministicRandom(void* state, unsigned char* output, std::size_t length) {
  return mbedtls_ctr_drbg_random(state, output, length);
}

const mbedtls_rsa_context& TestRsaKey(std::uint32_t seed) {
  static std::map<std::uint32_t, std::unique_ptr<KeyHolder>> keys;
  auto found = keys.find(seed);
  if (found != keys.end()) {
    return found->second->rsa;
  }
  SeedEntropy entropy{seed, 0};
  mbedtls_ctr_drbg_context drbg;
  mbedtls_ctr_drbg_init(&drbg);
  if (mbedtls_ctr_drbg_seed(&drbg, SeedEntropySource, &entropy, nullptr, 0) != 0) {
    throw std::runtime_error("seeding the test random source failed");
  }
  auto holder = std::make_unique<KeyHolder>();
  const bool generated = GenerateSealingRsaKey(&holder->rsa, DeterministicRandom, &drbg);
  mbedtls_ctr_drbg_free(&drbg);
  if (!generated) {
    throw std::runtime_error("test key generation failed");
  }
  return keys.emplace(seed, std::move(holder)).first->second->rsa;
}

bool GenerateOrdinaryRsaKey(mbedtls_rsa_context* rsa, unsigned bits, std::uint32_t seed,
                            std::uint8_t maxTopByte) {
  SeedEntropy entropy{seed + 1000, 0};
  mbedtls_ctr_drbg_context drbg;
  mbedtls_ctr_drbg_init(&drbg);
  bool ok = mbedtls_ctr_drbg_seed(&drbg, SeedEntropySource, &entropy, nullptr, 0) == 0;
  std::uint8_t top = 0;
  do {
    mbedtls_rsa_free(rsa);
    mbedtls_rsa_init(rsa, 0, 0);
    ok = mbedtls_rsa_gen_key(rsa, mbedtls_ctr_drbg_random, &drbg, bits, 65537) == 0;
    std::uint8_t modulus[512] = {};
    const std::size_t size = mbedtls_mpi_size(&rsa->N);
    ok = ok && size <= sizeof modulus && mbedtls_mpi_write_binary(&rsa->N, modulus, size) == 0;
    top = modulus[0];
  } while (ok && top > maxTopByte);
  mbedtls_ctr_drbg_free(&drbg);
  return ok;
}

std::string RsaPrivateKeyText(const mbedtls_rsa_context& rsa) { return KeyText(rsa, true); }
std::string RsaPublicKeyText(const mbedtls_rsa_context& rsa) { return KeyText(rsa, false); }

void WriteTestRsaKeyFiles(const std::string& dir, std::uint32_t seed) {
  const mbedtls_rsa_context& rsa = TestRsaKey(seed);
  WriteText(dir + "/rsa_priv.txt", RsaPrivateKeyText(rsa));
  WriteText(dir + "/rsa_pub.txt", RsaPublicKeyText(rsa));
}

}  // namespace sealtool::test
