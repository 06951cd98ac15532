// RSA-1024 key pairs that the RSA mode can use, made by rsa_genkey and
// sealkey generate.
#pragma once

#include <cstddef>

#include <mbedtls/rsa.h>

namespace sealtool {

using RandomSource = int (*)(void* state, unsigned char* output, std::size_t length);

// Generates a key with E = 65537 whose primes each lie at or above
// (1 - 2^-9) * 2^512, so that N's top byte is 0xFF: the RSA mode then refuses
// only images whose header digest ends in 0xFF and exceeds N, about one in
// 256, where an ordinary key refuses one in five or so. rsa must be
// initialised. False when random bytes or the arithmetic fail.
bool GenerateSealingRsaKey(mbedtls_rsa_context* rsa, RandomSource random, void* randomState);

}  // namespace sealtool
