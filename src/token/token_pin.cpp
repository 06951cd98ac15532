#include "token/token_pin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "secret/secret_file.h"

namespace sealtool {
namespace {

bool RefuseLongPin(int length) {
  if (length <= static_cast<int>(kMaxPinLength)) return false;
  std::printf(" failed\n  ! the PIN is longer than %zu characters\n", kMaxPinLength);
  return true;
}

int CopyPin(const char* text, char* pin) {
  const std::size_t length = std::strlen(text);
  if (RefuseLongPin(length > kMaxPinLength ? static_cast<int>(kMaxPinLength) + 1 : static_cast<int>(length))) {
    return -1;
  }
  std::memcpy(pin, text, length + 1);
  return static_cast<int>(length);
}

// The first line of a PIN file: pin-source is "file:PATH" or a plain path.
int ReadPinFile(const char* source, char* pin) {
  const char* path = std::strncmp(source, "file:", 5) == 0 ? source + 5 : source;
  const int length = ReadSecretLine(path, pin, sizeof PinBuffer{}.text);
  if (length == kSecretLineEmpty) {
    std::printf(" failed\n  ! the PIN file %s named by pin-source is empty\n", path);
  } else if (length == kSecretLineHoldsNul) {
    std::printf(" failed\n  ! the PIN file %s named by pin-source holds a NUL byte\n", path);
  } else if (length == kSecretLineTooLong) {
    RefuseLongPin(static_cast<int>(kMaxPinLength) + 1);
  } else if (length < 0) {
    std::printf(" failed\n  ! cannot read the PIN file %s named by pin-source\n", path);
  }
  return (length < 0 || RefuseLongPin(length)) ? -1 : length;
}

}  // namespace

void WipePin(PinBuffer* pin) { mbedtls_platform_zeroize(pin->text, sizeof pin->text); }

int ObtainTokenPin(const P11KitLibrary& kit, const P11KitUri* uri, const char* tokenLabel,
                   char* pin, bool* prompted) {
  *prompted = false;
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
  const int length = PromptForSecret(prompt, pin, sizeof PinBuffer{}.text);
  if (length == kSecretLineTooLong) {
    RefuseLongPin(static_cast<int>(kMaxPinLength) + 1);
    return -1;
  }
  if (length == kSecretPromptNoQuietTerminal) {
    std::printf(" failed\n  ! the terminal cannot stop echoing: the PIN is not asked for\n");
    return -1;
  }
  if (length >= 0) {
    *prompted = true;
    return RefuseLongPin(length) ? -1 : length;
  }
  std::printf(" failed\n  ! no PIN: give pin-source in the URI, set %s, or run on a terminal\n",
              kPinEnvironmentVariable);
  return -1;
}

}  // namespace sealtool
