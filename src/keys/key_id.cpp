#include "keys/key_id.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include "image/hex_text.h"
#include "image/layout.h"
#include "digest/sha256.h"

namespace sealtool {
namespace {

constexpr std::size_t kHeaderKeyBytes = kModulusSize + kExponentSize;
static_assert(kExponentOffset == kModulusOffset + kModulusSize, "N and E lie side by side");

// SHA-256 of the DER SubjectPublicKeyInfo of (N, E).
bool SpkiId(const mbedtls_mpi* n, const mbedtls_mpi* e, std::uint8_t* id) {
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  int ret = mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
  if (ret == 0) ret = mbedtls_rsa_import(mbedtls_pk_rsa(pk), n, nullptr, nullptr, nullptr, e);
  if (ret == 0) ret = mbedtls_rsa_complete(mbedtls_pk_rsa(pk));
  unsigned char der[1024];
  int length = ret == 0 ? mbedtls_pk_write_pubkey_der(&pk, der, sizeof der) : ret;
  mbedtls_pk_free(&pk);
  if (length < 0) return false;
  // The writer fills the buffer from its end.
  Sha256OneShot(der + sizeof der - length, length, id);
  return true;
}

// The 160 header bytes of N and E, as RSA mode stores them. False when N
// does not fit 128 bytes or E 32.
bool HeaderKeyBytes(const mbedtls_mpi* n, const mbedtls_mpi* e, std::uint8_t* bytes) {
  return mbedtls_mpi_write_binary_le(n, bytes, kModulusSize) == 0 &&
         mbedtls_mpi_write_binary_le(e, bytes + kModulusSize, kExponentSize) == 0;
}

}  // namespace

bool ComputeKeyIds(const mbedtls_mpi* n, const mbedtls_mpi* e, KeyIds* ids) {
  std::uint8_t bytes[kHeaderKeyBytes];
  if (!HeaderKeyBytes(n, e, bytes)) return false;
  Sha256OneShot(bytes, static_cast<std::int32_t>(sizeof bytes), ids->header);
  return SpkiId(n, e, ids->spki);
}

void FormatKeyId(const std::uint8_t* id, char (&text)[kKeyIdTextSize]) {
  FormatHex(id, kKeyIdSize, text);
}

bool ParseKeyId(const char* text, std::uint8_t* id) {
  if (std::strlen(text) != 2 * kKeyIdSize ||
      std::strspn(text, "0123456789abcdefABCDEF") != 2 * kKeyIdSize) {
    return false;
  }
  for (std::size_t i = 0; i < kKeyIdSize; ++i) {
    unsigned value = 0;
    std::sscanf(text + 2 * i, "%2x", &value);
    id[i] = static_cast<std::uint8_t>(value);
  }
  return true;
}

}  // namespace sealtool
