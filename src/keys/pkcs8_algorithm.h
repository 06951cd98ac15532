// The encryption algorithm of an encrypted PKCS#8 key: PBES2 with PBKDF2
// and AES-CBC read from its AlgorithmIdentifier, and the iteration count of
// any scheme bounded before mbedtls is asked to derive a key.
#pragma once

#include <mbedtls/asn1.h>
#include <mbedtls/md.h>
#include <mbedtls/oid.h>

namespace sealtool {

inline constexpr unsigned char kOidPbes2[] = MBEDTLS_OID_PKCS5_PBES2;
inline constexpr unsigned char kOidPkcs12Pbe[] = MBEDTLS_OID_PKCS12_PBE;
inline constexpr unsigned char kOidPbkdf2[] = MBEDTLS_OID_PKCS5_PBKDF2;
inline constexpr unsigned char kOidHmacSha256[] = MBEDTLS_OID_HMAC_SHA256;
// aes128-CBC, aes192-CBC and aes256-CBC of NIST's algorithm arc.
inline constexpr unsigned char kOidAesCbc[3][10] = {MBEDTLS_OID_NIST_ALG "\x01\x02",
                                             MBEDTLS_OID_NIST_ALG "\x01\x16",
                                             MBEDTLS_OID_NIST_ALG "\x01\x2a"};
inline constexpr unsigned kAesKeyBits[3] = {128, 192, 256};

// Within the PKCS#8 code, mbedtls's codes travel up to the public
// functions, which turn them into outcomes; these two are the project's own.
inline constexpr int kNotAes = 1;
inline constexpr int kTooManyIterations = 2;

struct Pbes2Parameters {
  mbedtls_asn1_buf salt;
  int iterations;
  mbedtls_md_type_t prf;
  unsigned keyBits;
  mbedtls_asn1_buf iv;
};

// PBES2 with PBKDF2 and AES-CBC from the AlgorithmIdentifier at *p; kNotAes
// for anything else, which is mbedtls's to parse, once its iteration count
// is known to be bounded (kTooManyIterations); else an mbedtls code or 0.
int ParseAlgorithm(unsigned char** p, const unsigned char* end, Pbes2Parameters* out);

}  // namespace sealtool
