#include "token/token_pin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "console/console.h"
#include "secret/secret_file.h"

namespace sealtool {
namespace {

bool RefuseLongPin(std::size_t length) {
  if (length <= kMaxPinLength) return false;
  SayFailed("  ! the PIN is longer than %zu characters\n", kMaxPinLength);
  return true;
}

bool CopyPin(const char* text, char* pin, std::size_t* length) {
  const std::size_t textLength = std::strlen(text);
  if (RefuseLongPin(textLength)) return false;
  std::memcpy(pin, text, textLength + 1);
  *length = textLength;
  return true;
}

// The first line of a PIN file: pin-source is "file:PATH" or a plain path.
bool ReadPinFile(const char* source, char* pin, std::size_t* length) {
  const char* path = std::strncmp(source, "file:", 5) == 0 ? source + 5 : source;
  switch (ReadSecretLine(path, pin, sizeof PinBuffer{}.text, length)) {
    case SecretRead::kRead:
      return !RefuseLongPin(*length);
    case SecretRead::kEmpty:
      SayFailed("  ! the PIN file %s named by pin-source is empty\n", path);
      return false;
    case SecretRead::kHoldsNul:
      SayFailed("  ! the PIN file %s named by pin-source holds a NUL byte\n", path);
      return false;
    case SecretRead::kTooLong:
      RefuseLongPin(kMaxPinLength + 1);
      return false;
    default:
      SayFailed("  ! cannot read the PIN file %s named by pin-source\n", path);
      return false;
  }
}

bool PromptForPin(const char* tokenLabel, char* pin, std::size_t* length) {
  char prompt[96];
  std::snprintf(prompt, sizeof prompt, "PIN for %s: ", tokenLabel);
  switch (PromptForSecret(prompt, pin, sizeof PinBuffer{}.text, length)) {
    case SecretRead::kRead:
      return !RefuseLongPin(*length);
    case SecretRead::kTooLong:
      RefuseLongPin(kMaxPinLength + 1);
      return false;
    case SecretRead::kNoQuietTerminal:
      SayFailed("  ! the terminal cannot stop echoing: the PIN is not asked for\n");
      return false;
    default:
      SayFailed("  ! no PIN: give pin-source in the URI, set %s, or run on a terminal\n",
                  kPinEnvironmentVariable);
      return false;
  }
}

}  // namespace

void WipePin(PinBuffer* pin) { mbedtls_platform_zeroize(pin->text, sizeof pin->text); }

bool ObtainTokenPin(const P11KitLibrary& kit, const P11KitUri* uri, const char* tokenLabel,
                    char* pin, std::size_t* length, bool* prompted) {
  *prompted = false;
  *length = 0;
  if (const char* source = kit.uriGetPinSource(uri); source != nullptr) {
    return ReadPinFile(source, pin, length);
  }
  if (const char* value = kit.uriGetPinValue(uri); value != nullptr) {
    SayWarning("  ! warning: the URI carries its PIN (pin-value): anyone who can see the "
                "command line can see it\n");
    return CopyPin(value, pin, length);
  }
  if (const char* value = std::getenv(kPinEnvironmentVariable); value != nullptr) {
    return CopyPin(value, pin, length);
  }
  *prompted = PromptForPin(tokenLabel, pin, length);
  return *prompted;
}

}  // namespace sealtool
