#include "keys/rsa_signing_keys.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "console/console.h"
#include "image/layout.h"
#include "keys/public_key.h"
#include "keys/rsa_key_files.h"
#include "keys/key_handle.h"
#include "image/hex_text.h"

namespace sealtool {
namespace {

static_assert(kRsaModulusBits == 8 * kRsaBlockSize, "the RSA regions hold one 1024-bit value each");

// Reads the values of one key file in order, stopping at the first failure,
// which it reports: a file that cannot be opened, or the library's result.
bool ReadKeyValues(const char* name, mbedtls_mpi* const* values, int count) {
  int libraryResult = 0;
  const RsaKeyFileRead read = ReadRsaKeyValues(name, values, count, &libraryResult);
  const bool defaultFile = std::strcmp(name, kRsaPrivateKeyFileName) == 0 ||
                           std::strcmp(name, kRsaPublicKeyFileName) == 0;
  if (read == RsaKeyFileRead::kNotOpened && defaultFile) {
    SayFailed("  ! Could not open %s\n  ! Please run rsa_genkey first\n\n", name);
  } else if (read == RsaKeyFileRead::kNotOpened) {
    SayFailed("  ! Could not open %s\n\n", KeyRefForDisplay(name).text);
  } else if (read == RsaKeyFileRead::kValueUnreadable) {
    SayFailed("  ! mbedtls_mpi_read_file returned %d\n\n", libraryResult);
  }
  return read == RsaKeyFileRead::kRead;
}

// The block, result and image regions are sized for RSA-1024 alone.
bool ModulusIsRsa1024(const mbedtls_mpi* n, const char* fileName) {
  const std::size_t bits = mbedtls_mpi_bitlen(n);
  if (bits == kRsaModulusBits) {
    return true;
  }
  SayFailed("  ! N in %s has %u bits; it must be a %u-bit modulus\n\n",
              KeyRefForDisplay(fileName).text, static_cast<unsigned>(bits), kRsaModulusBits);
  return false;
}

bool ExponentFits(const mbedtls_mpi* e, const char* fileName) {
  const std::size_t size = mbedtls_mpi_size(e);
  if (size > kExponentSize) {
    SayFailed("  ! E in %s is %u bytes long; it must fit in %u bytes\n\n",
                KeyRefForDisplay(fileName).text, static_cast<unsigned>(size),
                static_cast<unsigned>(kExponentSize));
    return false;
  }
  if (!PublicExponentIsSound(e)) {
    SayFailed("  ! E in %s is even or below 3: a signature under it proves nothing\n\n",
                KeyRefForDisplay(fileName).text);
    return false;
  }
  return true;
}

// True when E * D = 1 modulo P - 1 and modulo Q - 1, that is modulo
// lcm(P - 1, Q - 1): E is then a public exponent that fits D.
bool ExponentFitsKey(const mbedtls_rsa_context* rsa, const mbedtls_mpi* e) {
  mbedtls_mpi product, p1, q1, remainder;
  mbedtls_mpi_init(&product);
  mbedtls_mpi_init(&p1);
  mbedtls_mpi_init(&q1);
  mbedtls_mpi_init(&remainder);
  bool fits = mbedtls_mpi_mul_mpi(&product, e, &rsa->D) == 0 &&
              mbedtls_mpi_sub_int(&product, &product, 1) == 0 &&
              mbedtls_mpi_sub_int(&p1, &rsa->P, 1) == 0 &&
              mbedtls_mpi_sub_int(&q1, &rsa->Q, 1) == 0 &&
              mbedtls_mpi_cmp_int(&p1, 0) > 0 && mbedtls_mpi_cmp_int(&q1, 0) > 0;
  fits = fits && mbedtls_mpi_mod_mpi(&remainder, &product, &p1) == 0 &&
         mbedtls_mpi_cmp_int(&remainder, 0) == 0;
  fits = fits && mbedtls_mpi_mod_mpi(&remainder, &product, &q1) == 0 &&
         mbedtls_mpi_cmp_int(&remainder, 0) == 0;
  mbedtls_mpi_free(&product);
  mbedtls_mpi_free(&p1);
  mbedtls_mpi_free(&q1);
  mbedtls_mpi_free(&remainder);
  return fits;
}

// E as the inverse of D modulo lcm(P - 1, Q - 1).
int InvertPrivateExponent(mbedtls_rsa_context* rsa) {
  mbedtls_mpi lcm;
  mbedtls_mpi_init(&lcm);
  int ret = PrimesLcm(rsa, &lcm);
  if (ret == 0) ret = mbedtls_mpi_inv_mod(&rsa->E, &rsa->D, &lcm);
  mbedtls_mpi_free(&lcm);
  return ret;
}

}  // namespace

void InitPublicKey(PublicKey* key) {
  mbedtls_mpi_init(&key->n);
  mbedtls_mpi_init(&key->e);
}

void FreePublicKey(PublicKey* key) {
  mbedtls_mpi_free(&key->n);
  mbedtls_mpi_free(&key->e);
}

bool ReadPublicKeyValues(const char* fileName, mbedtls_mpi* n, mbedtls_mpi* e) {
  mbedtls_mpi* const values[] = {n, e};
  return ReadKeyValues(fileName, values, 2);
}

bool PublicKeyFitsImage(const mbedtls_mpi* n, const mbedtls_mpi* e, const char* name) {
  return ModulusIsRsa1024(n, name) && ExponentFits(e, name);
}

bool BlockNotBelowModulus(const std::uint8_t* block, const mbedtls_mpi* n) {
  std::uint8_t modulus[kRsaBlockSize];
  return mbedtls_mpi_write_binary(n, modulus, sizeof modulus) != 0 ||
         !BigEndianBelow(block, modulus, kRsaBlockSize);
}

void PrintBlockNotBelowModulus(const std::uint8_t* block, std::uint8_t modulusTopByte) {
  Say("  ! The header digest is not below the modulus: its last byte 0x%02x"
              " is the top byte of the RSA input, and N's top byte is 0x%02x\n"
              "%s",
              block[0], modulusTopByte,
              modulusTopByte == 0xFF
                  ? "  ! The key's modulus starts with 0xff already: change the image (any change"
                    " to the header gives another digest)\n\n"
                  : "  ! Use a key whose modulus starts with 0xff (rsa_genkey makes"
                    " such keys) or change the image\n\n");
}

int PrimesLcm(const mbedtls_rsa_context* rsa, mbedtls_mpi* lcm) {
  mbedtls_mpi p1, q1, gcd, product;
  for (mbedtls_mpi* value : {&p1, &q1, &gcd, &product}) mbedtls_mpi_init(value);
  int ret = mbedtls_mpi_sub_int(&p1, &rsa->P, 1);
  if (ret == 0) ret = mbedtls_mpi_sub_int(&q1, &rsa->Q, 1);
  if (ret == 0 && (mbedtls_mpi_cmp_int(&p1, 0) <= 0 || mbedtls_mpi_cmp_int(&q1, 0) <= 0)) {
    ret = MBEDTLS_ERR_MPI_BAD_INPUT_DATA;
  }
  if (ret == 0) ret = mbedtls_mpi_gcd(&gcd, &p1, &q1);
  if (ret == 0) ret = mbedtls_mpi_mul_mpi(&product, &p1, &q1);
  if (ret == 0) ret = mbedtls_mpi_div_mpi(lcm, nullptr, &product, &gcd);
  for (mbedtls_mpi* value : {&p1, &q1, &gcd, &product}) mbedtls_mpi_free(value);
  return ret;
}

bool ReadPrivateKeyFile(mbedtls_rsa_context* rsa, const char* fileName) {
  mbedtls_mpi* const values[] = {&rsa->N, &rsa->D, &rsa->P, &rsa->Q,
                                 &rsa->DP, &rsa->DQ, &rsa->QP};
  if (!ReadKeyValues(fileName, values, 7) || !ModulusIsRsa1024(&rsa->N, fileName)) {
    return false;
  }
  rsa->len = (mbedtls_mpi_bitlen(&rsa->N) + 7) >> 3;
  return true;
}

int DerivePublicExponent(mbedtls_rsa_context* rsa) {
  for (const int candidate : {65537, 3, 17}) {
    int ret = mbedtls_mpi_lset(&rsa->E, candidate);
    if (ret != 0) return ret;
    if (ExponentFitsKey(rsa, &rsa->E)) return 0;
  }
  return InvertPrivateExponent(rsa);
}

}  // namespace sealtool
