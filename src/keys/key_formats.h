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

enum class KeyParse {
  kParsed,
  kNeedsPassphrase,  // encrypted, and no passphrase was given
  kWrongPassphrase,
  kSeveralKeys,  // a PEM text with more than one private key: which is meant cannot be told
  kTooManyIterations,  // more than kPkcs8MaxIterations (pkcs8.h)
  kNotAKey,
};

// A private key of any of those forms into pk; data holds size bytes (PEM
// needs no terminator).
KeyParse ParsePrivateKey(const std::uint8_t* data, std::size_t size, const char* passphrase,
                         std::size_t passphraseLength, mbedtls_pk_context* pk);

// A public key, SubjectPublicKeyInfo or PKCS#1, PEM or DER.
bool ParsePublicKey(const std::uint8_t* data, std::size_t size, mbedtls_pk_context* pk);

// The public key as SubjectPublicKeyInfo, or with pkcs1 as RSAPublicKey,
// into out (kKeyDerBufferSize bytes); *length gets the length. False when
// it cannot be written in that form.
bool WritePublicKey(mbedtls_rsa_context* rsa, KeyFormat format, bool pkcs1, std::uint8_t* out,
                    std::size_t* length);

// The private key as PKCS#8, or with pkcs1 as RSAPrivateKey, encrypted
// (PKCS#8 only) when passphraseLength is not 0. out as above, wiped by the
// caller.
bool WritePrivateKey(mbedtls_rsa_context* rsa, KeyFormat format, bool pkcs1, const char* passphrase,
                     std::size_t passphraseLength, std::uint8_t* out, std::size_t* length);

}  // namespace sealtool
