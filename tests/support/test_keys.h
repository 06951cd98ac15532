// RSA key pairs for the tests, made by the project's own key generator from a
// deterministic random source, so that every run uses the same keys.
#pragma once

#include <cstdint>
#include <string>

#include <mbedtls/rsa.h>

namespace sealtool::test {

// Key number `seed`, generated once per test program and kept. Its N starts
// with 0xFF.
const mbedtls_rsa_context& TestRsaKey(std::uint32_t seed);

// The two key files of key `seed` in dir.
void WriteTestRsaKeyFiles(const std::string& dir, std::uint32_t seed);

// The text of the two key files.
std::string RsaPrivateKeyText(const mbedtls_rsa_context& rsa);
std::string RsaPublicKeyText(const mbedtls_rsa_context& rsa);

// An ordinary key from mbedtls's own generator (its N has any top byte up to
// maxTopByte), of the given size, repeatable for a seed. rsa must be
// initialised; returns false when generation fails.
bool GenerateOrdinaryRsaKey(mbedtls_rsa_context* rsa, unsigned bits, std::uint32_t seed,
                            std::uint8_t maxTopByte = 0xFF);

// A repeatable random source for mbedtls calls.
int DeterministicRandom(void* state, unsigned char* output, std::size_t length);

}  // namespace sealtool::test
