// Keys that stay in a PKCS#11 token (an HSM, a smart card, SoftHSM2), named
// by RFC 7512 "pkcs11:" URIs and used through p11-kit. The token does every
// operation with the secret key; only results leave it.
//
// A run opens one session per token and logs in once; CloseTokens logs out
// and finalizes every module the run loaded. Each operation returns true, or
// false after printing " failed" and why, naming the URI (never the PIN).
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/bignum.h>

namespace sealtool {

// True for a key reference that names a key in a token.
bool IsTokenRef(const char* ref);

// AES-128-CBC with a zero IV over length bytes of data (whole blocks, at
// most the body area), in place, with the 16-byte AES key of uri: with
// CKM_AES_CBC, or where the token offers only CKM_AES_ECB, chained here
// from the token's single-block encryption.
bool TokenEncryptAesCbc(const char* uri, std::uint8_t* data, std::size_t length);

// The raw RSA private-key operation (CKM_RSA_X_509) with the RSA-1024 key of
// uri on a 128-byte block. modulus gets the key's modulus (128 bytes,
// big-endian) once the key is found. A block not below it is not sent to the
// token: the result is then kBlockNotBelowModulus, with nothing printed, so
// that the caller can give the reason the file key gives.
enum class TokenSigning { kSigned, kFailed, kBlockNotBelowModulus };
TokenSigning TokenSignRsaRaw(const char* uri, const std::uint8_t* block, std::uint8_t* signature,
                             std::uint8_t* modulus);

// The modulus and exponent of an RSA public key in a token. With
// ofPrivateKey, or a URI whose type= is private, uri names the private key, and its public key is the one
// with the same CKA_ID, else the same label.
bool TokenReadRsaPublicKey(const char* uri, bool ofPrivateKey, mbedtls_mpi* n, mbedtls_mpi* e);

// Wraps the 16-byte AES key of uri under wrappingKey (imported into the
// session for this, one block, ECB or zero-IV CBC as the token offers) into
// wrapped: the key itself never leaves the token.
bool TokenWrapAesKey(const char* uri, const std::uint8_t* wrappingKey, std::uint8_t* wrapped);

// Logs out of every token, closes the sessions and finalizes the modules.
void CloseTokens();

}  // namespace sealtool
