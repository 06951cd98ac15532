// The two ids of an RSA public key: the SHA-256 of the 160 bytes the image
// header carries for it (N as 128 and E as 32 little-endian bytes, as
// stored), which is what a device sees, and the SHA-256 of its DER
// SubjectPublicKeyInfo, which is what openssl and HSM tools show.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/bignum.h>

namespace sealtool {

inline constexpr std::size_t kKeyIdSize = 32;
inline constexpr std::size_t kKeyIdTextSize = 2 * kKeyIdSize + 1;

struct KeyIds {
  std::uint8_t header[kKeyIdSize];
  std::uint8_t spki[kKeyIdSize];
};

// Both ids of the key (N, E); false when N or E is too long for the image
// header.
bool ComputeKeyIds(const mbedtls_mpi* n, const mbedtls_mpi* e, KeyIds* ids);

// 64 lower-case hex digits and a NUL.
void FormatKeyId(const std::uint8_t* id, char (&text)[kKeyIdTextSize]);

// Reads 64 hex digits (either case) into id; false for any other text.
bool ParseKeyId(const char* text, std::uint8_t* id);

}  // namespace sealtool
