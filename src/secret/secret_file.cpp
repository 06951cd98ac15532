#include "secret/secret_file.h"

#include <cstdio>

#include <mbedtls/platform_util.h>

namespace sealtool {

SecretRead ReadSecretLine(const char* path, char* line, std::size_t size, std::size_t* lineLength) {
  *lineLength = 0;
  line[0] = '\0';
  SecretFile file{};
  if (OpenSecretFile(&file, path) != SecretFileStatus::kOpened) return SecretRead::kUnreadable;
  std::size_t length = 0;
  bool tooLong = false;
  bool holdsNul = false;
  for (int c = std::getc(file.stream); c != EOF && c != '\n'; c = std::getc(file.stream)) {
    holdsNul = holdsNul || c == '\0';
    if (length + 1 < size) {
      line[length++] = static_cast<char>(c);
    } else {
      tooLong = true;
    }
  }
  const bool failed = SecretFileFailed(file);
  CloseSecretFile(&file);
  length = WithoutLineEnd(line, length);
  SecretRead outcome = SecretRead::kRead;
  if (failed) {
    outcome = SecretRead::kUnreadable;
  } else if (tooLong) {
    outcome = SecretRead::kTooLong;
  } else if (holdsNul) {
    outcome = SecretRead::kHoldsNul;
  } else if (length == 0) {
    outcome = SecretRead::kEmpty;
  }
  if (outcome != SecretRead::kRead) {
    mbedtls_platform_zeroize(line, size);
    length = 0;
  }
  line[length] = '\0';
  *lineLength = length;
  return outcome;
}

}  // namespace sealtool
