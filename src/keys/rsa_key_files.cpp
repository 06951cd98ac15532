#include "keys/rsa_key_files.h"

#include <cstring>

#include <mbedtls/bignum.h>

#include "secret/secret_file.h"

namespace sealtool {
namespace {

constexpr int kHexRadix = 16;

// "NAME = HEX\r\n" for each value, as mbedtls_mpi_write_file writes them,
// but into the caller's buffer: no stream buffer ever holds the key.
int FormatValues(const char* const* names, const mbedtls_mpi* const* values, int count,
                 char* text, std::size_t size, std::size_t* length) {
  std::size_t used = 0;
  for (int i = 0; i < count; ++i) {
    const std::size_t nameLength = std::strlen(names[i]);
    if (size - used < nameLength + 3) return MBEDTLS_ERR_MPI_BUFFER_TOO_SMALL;
    std::memcpy(text + used, names[i], nameLength);
    used += nameLength;
    std::size_t written = 0;  // the digits and their NUL
    const int ret = mbedtls_mpi_write_string(values[i], 16, text + used, size - used - 2, &written);
    if (ret != 0) return ret;
    used += written - 1;
    text[used++] = '\r';
    text[used++] = '\n';
  }
  *length = used;
  return 0;
}

}  // namespace

RsaKeyFileRead ReadRsaKeyValues(const char* path, mbedtls_mpi* const* values, int count,
                                int* libraryResult) {
  SecretFile file{};
  if (OpenSecretFile(&file, path) != SecretFileStatus::kOpened) {
    return RsaKeyFileRead::kNotOpened;
  }
  int ret = 0;
  for (int i = 0; i < count && ret == 0; ++i) {
    ret = mbedtls_mpi_read_file(values[i], kHexRadix, file.stream);
  }
  CloseSecretFile(&file);
  if (libraryResult != nullptr) *libraryResult = ret;
  return ret == 0 ? RsaKeyFileRead::kRead : RsaKeyFileRead::kValueUnreadable;
}

bool ReadRsaPrivateKeyFile(const char* path, mbedtls_rsa_context* rsa) {
  mbedtls_mpi* const values[] = {&rsa->N, &rsa->D, &rsa->P, &rsa->Q, &rsa->DP, &rsa->DQ, &rsa->QP};
  return ReadRsaKeyValues(path, values, 7) == RsaKeyFileRead::kRead;
}

bool ReadRsaPublicKeyFile(const char* path, mbedtls_rsa_context* rsa) {
  mbedtls_mpi* const values[] = {&rsa->N, &rsa->E};
  return ReadRsaKeyValues(path, values, 2) == RsaKeyFileRead::kRead;
}

int FormatRsaPrivateKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                            std::size_t* length) {
  const char* const names[] = {"N = ", "D = ", "P = ", "Q = ", "DP = ", "DQ = ", "QP = "};
  const mbedtls_mpi* const values[] = {&rsa->N, &rsa->D, &rsa->P, &rsa->Q,
                                       &rsa->DP, &rsa->DQ, &rsa->QP};
  return FormatValues(names, values, 7, text, size, length);
}

int FormatRsaPublicKeyFile(const mbedtls_rsa_context* rsa, char* text, std::size_t size,
                           std::size_t* length) {
  const char* const names[] = {"N = ", "E = "};
  const mbedtls_mpi* const values[] = {&rsa->N, &rsa->E};
  return FormatValues(names, values, 2, text, size, length);
}

}  // namespace sealtool
