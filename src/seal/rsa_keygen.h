// RSA-1024 key pairs that the RSA mode can use, and the two key files in the
// "NAME = HEX" line form that the signing step reads.
#pragma once

#include <cstddef>

#include <mbedtls/rsa.h>

namespace sealtool {

using RandomSource = int (*)(void* state, unsigned char* output, std::size_t length);

// Generates a key with E = 65537 whose primes each lie at or above
// (1 - 2^-9) * 2^512, so that N's top byte is 0xFF: the RSA mode then refuses
// only images whose header digest ends in 0xFF and exceeds N, about one in
// 256, where an ordinary key refuses one in five or so. rsa must be
// initialised. Returns 0 or an mbedtls error code.
int GenerateSealingRsaKey(mbedtls_rsa_context* rsa, RandomSource random, void* randomState);

// Room for the text of either key file of an RSA-1024 key.
inline constexpr std::size_t kKeyFileTextSize = 4096;

// The text of rsa_priv.txt: N, D, P, Q, DP, DQ, QP, one "NAME = HEX\r\n"
// line each. Written into text (size bytes, the caller's to wipe); *length
// gets its length. Returns 0 or an mbedtls error code.
int FormatRsaPrivateKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                            std::size_t* length);

// Reads count values, one "NAME = HEX" line each, from the key file at path,
// quietly. Returns 0, kKeyFileNotOpened, or the first non-zero result of
// mbedtls_mpi_read_file.
inline constexpr int kKeyFileNotOpened = 1;
int ReadRsaKeyValues(const char* path, mbedtls_mpi* const* values, int count);

// rsa_priv.txt's seven values, or rsa_pub.txt's N and E, into rsa.
int ReadRsaPrivateKeyFile(const char* path, mbedtls_rsa_context* rsa);
int ReadRsaPublicKeyFile(const char* path, mbedtls_rsa_context* rsa);

// The text of rsa_pub.txt: N and E.
int FormatRsaPublicKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                           std::size_t* length);

}  // namespace sealtool
