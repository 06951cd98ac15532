#include "seal/token_pin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "seal/secret_file.h"

namespace sealtool {
namespace {

int CopyPin(const char* text, char* pin) {
  const std::size_t length = std::strlen(text);
  if (length > kMaxPinLength) {
    std::printf(" failed\n  ! the PIN is longer than %zu characters\n", kMaxPinLength);
    return -1;
  }
  std::memcpy(pin, text, length + 1);
  return static_cast<int>(length);
}

// The first line of a PIN file: pin-source is "file:PATH" or a plain path.
int ReadPinFile(const char* source, char* pin) {
  const char* path = std::strncmp(source, "file:", 5) == 0 ? source + 5 : source;
  const int length = ReadSecretLine(path, pin, kMaxPinLength + 1);
  if (length == kSecretLineEmpty) {
    std::printf(" failed\n  ! the PIN file %s named by pin-source is empty\n", path);
  } else if (length < 0) {
    std::printf(" failed\n  ! cannot read the PIN file %s named by pin-source\n", path);
  }
  return length < 0 ? -1 : length;
}

}  // namespace

int ObtainTokenPin(const P11KitLibrary& kit, const P11KitUri* uri, const char* tokenLabel,
                   char* pin) {
  if (const char* source = kit.uriGetPinSource(uri); source != nullptr) {
    return ReadPinFile(source, pin);
  }
  if (const char* value = kit.uriGetPinValue(uri); value != nullptr) {
    std::printf("  ! warning: the URI carries its PIN (pin-value): anyone who can see the "
                "command line can see it\n");
    return CopyPin(value, pin);
  }
  if (const char* value = std::getenv(kPinEnvironmentVariable); value != nullptr) {
    return CopyPin(value, pin);
  }
  char prompt[96];
  std::snprintf(prompt, sizeof prompt, "PIN for %s: ", tokenLabel);
  const int length = PromptForSecret(prompt, pin, kMaxPinLength + 1);
  if (length >= 0) return length;
  std::printf(" failed\n  ! no PIN: give pin-source in the URI, set %s, or run on a terminal\n",
              kPinEnvironmentVariable);
  return -1;
}

}  // namespace sealtool
