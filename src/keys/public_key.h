// Public keys from any reference: as an image carries it (N in the modulus
// area and E in the exponent area, little-endian), in rsa_pub.txt, a PEM or
// DER file, or a token; whether its exponent protects anything.
#pragma once

#include <cstdint>

#include <mbedtls/bignum.h>

#include "keys/key_id.h"

namespace sealtool {

// N and E as the image's modulus and exponent areas hold them; false only
// when memory runs out.
bool LoadImagePublicKey(const std::uint8_t* image, mbedtls_mpi* n, mbedtls_mpi* e);

// Both ids of the key an image header carries.
bool ComputeImageKeyIds(const std::uint8_t* image, KeyIds* ids);

// Writes N and E into the modulus and exponent areas; both must fit.
void StoreImagePublicKey(const mbedtls_mpi* n, const mbedtls_mpi* e, std::uint8_t* image);

// A public exponent under which a signature means something: odd and at
// least 3 (with E = 1 the signature is the block itself, which anyone can
// make).
bool PublicExponentIsSound(const mbedtls_mpi* e);

// The public key named by ref (null: rsa_pub.txt): a pkcs11: URI (a public
// key, or with type=private the public key of that private key), a sealed
// image (a file of 32768 bytes), an rsa_pub.txt, or a PEM or DER public or
// unencrypted private key; kind says which. False after saying why on
// standard error, in the running program's name. A token it opens stays
// open until the program calls CloseTokens.
bool LoadPublicKey(const char* ref, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind);

// The same for a file (a sealed image, rsa_pub.txt, PEM or DER).
bool LoadPublicKeyFile(const char* path, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind);

}  // namespace sealtool
