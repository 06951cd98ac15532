// RSA keys in the formats other tools use: PEM or DER, PKCS#1 or PKCS#8
// (encrypted or not) for private keys, SubjectPublicKeyInfo or PKCS#1 for
// public ones.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

namespace sealtool {

enum class KeyFormat { kPem, kDer };

inline constexpr std::size_t kKeyDerBufferSize = 8192;

// A private key of any of those forms; data holds size bytes (PEM needs no
// terminator). Returns 0 or an mbedtls code: MBEDTLS_ERR_PK_PASSWORD_REQUIRED
// for an encrypted key without passphrase, MBEDTLS_ERR_PK_PASSWORD_MISMATCH
// for a wrong one; kSeveralPrivateKeys for a PEM text with more than one
// private key block (which one is meant cannot be told); or
// kPkcs8TooManyIterations (pkcs8.h).
inline constexpr int kSeveralPrivateKeys = -0x7E01;
int ParsePrivateKey(const std::uint8_t* data, std::size_t size, const char* passphrase,
                    std::size_t passphraseLength, mbedtls_pk_context* pk);

// A public key, SubjectPublicKeyInfo or PKCS#1, PEM or DER.
int ParsePublicKey(const std::uint8_t* data, std::size_t size, mbedtls_pk_context* pk);

// The public key as SubjectPublicKeyInfo, or with pkcs1 as RSAPublicKey,
// into out (kKeyDerBufferSize bytes); *length gets the length. Returns 0 or an
// mbedtls code.
int WritePublicKey(mbedtls_rsa_context* rsa, KeyFormat format, bool pkcs1, std::uint8_t* out,
                   std::size_t* length);

// The private key as PKCS#8, or with pkcs1 as RSAPrivateKey, encrypted
// (PKCS#8 only) when passphraseLength is not 0. out as above, wiped by the
// caller.
int WritePrivateKey(mbedtls_rsa_context* rsa, KeyFormat format, bool pkcs1, const char* passphrase,
                    std::size_t passphraseLength, std::uint8_t* out, std::size_t* length);

}  // namespace sealtool
