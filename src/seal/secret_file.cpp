#include "seal/secret_file.h"

#include <mbedtls/platform_util.h>

namespace sealtool {

bool OpenSecretFile(SecretFile* file, const char* name, const char* mode) {
  file->stream = std::fopen(name, mode);
  if (file->stream == nullptr) {
    return false;
  }
  std::setvbuf(file->stream, file->buffer, _IOFBF, sizeof file->buffer);
  return true;
}

void CloseSecretFile(SecretFile* file) {
  if (file->stream != nullptr) {
    std::fclose(file->stream);
    file->stream = nullptr;
  }
  mbedtls_platform_zeroize(file->buffer, sizeof file->buffer);
}

}  // namespace sealtool
