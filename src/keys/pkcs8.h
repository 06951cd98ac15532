// PKCS#8 private keys: the PrivateKeyInfo around an RSA key, and its
// encryption with PBES2, PBKDF2 and AES-CBC, which is what OpenSSL 3 writes
// by default ("openssl genrsa -aes256"). mbedtls 2.28 writes RSA keys only
// as PKCS#1, parses PBES2 only with DES ciphers and writes no encrypted keys
// at all, so this small part is the project's own, on mbedtls's ASN.1,
// PBKDF2 and AES.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

// A key encrypted with more PBKDF2 or PKCS#12 iterations than this is
// refused: deriving its key would hold a run for minutes or days.
inline constexpr int kPkcs8MaxIterations = 2000000;

enum class Pkcs8Decryption {
  kDecrypted,
  kNotAes,  // another scheme, or no encrypted key at all: mbedtls's to parse
  kTooManyIterations,
  kNeedsPassphrase,
  kWrongPassphrase,
  kMalformed,
};

// The DER EncryptedPrivateKeyInfo in der decrypted with passphrase into
// plain (size bytes): a DER PrivateKeyInfo, whose length goes to *length.
// kTooManyIterations when it asks for more than kPkcs8MaxIterations, also
// for PBES2 with other ciphers and for PKCS#12 schemes, which are otherwise
// kNotAes.
Pkcs8Decryption DecryptPkcs8Aes(const std::uint8_t* der, std::size_t derLength, const char* passphrase,
                    std::size_t passphraseLength, std::uint8_t* plain, std::size_t size,
                    std::size_t* length);

// Puts the DER PKCS#1 RSAPrivateKey, which lies at the end of buf (size
// bytes) and is *length long, into a PrivateKeyInfo there; *length grows to
// its length. False when it does not fit.
bool WrapRsaInPkcs8(std::uint8_t* buf, std::size_t size, std::size_t* length);

// Encrypts the DER PrivateKeyInfo plain into an EncryptedPrivateKeyInfo:
// PBKDF2 with HMAC-SHA256 and a fresh random salt, AES-256-CBC with a fresh
// random IV. The result is written at the end of out (size bytes) and
// *length long. False when it does not fit or no random bytes were had.
bool EncryptPkcs8Aes(const std::uint8_t* plain, std::size_t plainLength, const char* passphrase,
                    std::size_t passphraseLength, std::uint8_t* out, std::size_t size,
                    std::size_t* length);

}  // namespace sealtool
