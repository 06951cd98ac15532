#include "keys/public_key.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "image/layout.h"
#include "keys/key_formats.h"
#include "keys/rsa_key_files.h"
#include "platform/process_guard.h"
#include "secret/secret_file.h"
#include "keys/key_handle.h"

namespace sealtool {
namespace {

// A key carrier of up to one image and one byte, read through the bounded
// reader whose buffers are wiped: the file may hold a private key.
struct SmallFile {
  std::uint8_t bytes[kImageSize + 1];
  std::size_t size;
};

bool ReadSmallFile(const char* path, SmallFile* file) {
  SecretFile secret{};
  if (OpenSecretFile(&secret, path) != SecretFileStatus::kOpened) return false;
  file->size = std::fread(file->bytes, 1, sizeof file->bytes, secret.stream);
  const bool failed = SecretFileFailed(secret);
  CloseSecretFile(&secret);
  return !failed;
}

bool LooksLikePemOrDer(const SmallFile& file) {
  static constexpr char kPemStart[] = "-----BEGIN ";
  const std::uint8_t* end = file.bytes + file.size;
  return std::search(file.bytes, end, kPemStart, kPemStart + sizeof kPemStart - 1) != end ||
         (file.size > 0 && file.bytes[0] == 0x30);
}

bool CopyRsaPublic(const mbedtls_pk_context& pk, mbedtls_mpi* n, mbedtls_mpi* e) {
  if (mbedtls_pk_get_type(&pk) != MBEDTLS_PK_RSA) return false;
  const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(pk);
  return mbedtls_mpi_copy(n, &rsa->N) == 0 && mbedtls_mpi_copy(e, &rsa->E) == 0;
}

bool LoadFromPemOrDer(const SmallFile& file, mbedtls_mpi* n, mbedtls_mpi* e) {
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  bool parsed = ParsePublicKey(file.bytes, file.size, &pk);
  if (!parsed) {
    mbedtls_pk_free(&pk);
    mbedtls_pk_init(&pk);
    parsed = ParsePrivateKey(file.bytes, file.size, nullptr, 0, &pk) == KeyParse::kParsed;
  }
  const bool loaded = parsed && CopyRsaPublic(pk, n, e);
  mbedtls_pk_free(&pk);
  return loaded;
}

}  // namespace

bool LoadPublicKeyFile(const char* path, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  static SmallFile file;
  const bool read = ReadSmallFile(path, &file);
  const int readErrno = errno;
  bool loaded = false;
  if (!read) {
    loaded = false;
  } else if (file.size == kImageSize) {
    *kind = "sealed image";
    loaded = LoadImagePublicKey(file.bytes, n, e);
  } else if (LooksLikePemOrDer(file)) {
    *kind = "PEM or DER key";
    loaded = LoadFromPemOrDer(file, n, e);
  } else {
    *kind = "rsa_pub.txt";
    mbedtls_mpi* const values[] = {n, e};
    loaded = ReadRsaKeyValues(path, values, 2) == RsaKeyFileRead::kRead;
  }
  mbedtls_platform_zeroize(&file, sizeof file);
  // sealinfo reads keys through here too: the message names the program
  // that runs.
  if (!read) {
    std::fprintf(stderr, "%s: cannot read %s: %s\n", ProgramName(), path,
                 readErrno != 0 ? std::strerror(readErrno) : "a read error");
    return false;
  }
  if (!loaded || mbedtls_mpi_bitlen(n) == 0 || !PublicExponentIsSound(e)) {
    std::fprintf(stderr, "%s: %s holds no RSA public key (as a %s)\n",
                 ProgramName(), path, *kind);
    return false;
  }
  return true;
}


bool LoadImagePublicKey(const std::uint8_t* image, mbedtls_mpi* n, mbedtls_mpi* e) {
  return mbedtls_mpi_read_binary_le(n, image + kModulusOffset, kModulusSize) == 0 &&
         mbedtls_mpi_read_binary_le(e, image + kExponentOffset, kExponentSize) == 0;
}

bool ComputeImageKeyIds(const std::uint8_t* image, KeyIds* ids) {
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const bool computed = LoadImagePublicKey(image, &n, &e) && ComputeKeyIds(&n, &e, ids);
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  return computed;
}

void StoreImagePublicKey(const mbedtls_mpi* n, const mbedtls_mpi* e, std::uint8_t* image) {
  mbedtls_mpi_write_binary_le(n, image + kModulusOffset, kModulusSize);
  mbedtls_mpi_write_binary_le(e, image + kExponentOffset, kExponentSize);
}

bool PublicExponentIsSound(const mbedtls_mpi* e) {
  return mbedtls_mpi_cmp_int(e, 3) >= 0 && mbedtls_mpi_get_bit(e, 0) == 1;
}

bool LoadPublicKey(const char* ref, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  // A token stays open: the run closes its tokens once, when it ends.
  return KeyPublicKey(ResolveKey(ref, KeyRole::kAnyPublicKey), n, e, kind);
}

}  // namespace sealtool
