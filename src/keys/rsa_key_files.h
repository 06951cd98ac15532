// The two RSA key files in the "NAME = HEX" line form that rsa_genkey and
// sealkey write and the signing step reads: rsa_priv.txt (N, D, P, Q, DP,
// DQ, QP) and rsa_pub.txt (N, E).
#pragma once

#include <cstddef>

#include <mbedtls/rsa.h>

namespace sealtool {

inline constexpr unsigned kRsaModulusBits = 1024;
inline constexpr char kRsaPrivateKeyFileName[] = "rsa_priv.txt";
inline constexpr char kRsaPublicKeyFileName[] = "rsa_pub.txt";

// Room for the text of either key file of an RSA-1024 key.
inline constexpr std::size_t kKeyFileTextSize = 4096;

// The text of rsa_priv.txt: N, D, P, Q, DP, DQ, QP, one "NAME = HEX\r\n"
// line each. Written into text (size bytes, the caller's to wipe); *length
// gets its length. Returns 0 or an mbedtls error code.
int FormatRsaPrivateKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                            std::size_t* length);

// The text of rsa_pub.txt: N and E.
int FormatRsaPublicKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                           std::size_t* length);

enum class RsaKeyFileRead { kRead, kNotOpened, kValueUnreadable };

// Reads count values, one "NAME = HEX" line each, from the key file at path,
// quietly, stopping at the first value that cannot be read. When
// libraryResult is given it gets mbedtls_mpi_read_file's result for that
// value, for the message that names it.
RsaKeyFileRead ReadRsaKeyValues(const char* path, mbedtls_mpi* const* values, int count,
                                int* libraryResult = nullptr);

// rsa_priv.txt's seven values, or rsa_pub.txt's N and E, into rsa; false
// when the file cannot be opened or a value read.
bool ReadRsaPrivateKeyFile(const char* path, mbedtls_rsa_context* rsa);
bool ReadRsaPublicKeyFile(const char* path, mbedtls_rsa_context* rsa);

}  // namespace sealtool
