#include "seal/token_pin.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "seal/secret_file.h"

namespace sealtool {
namespace {

int CopyPin(const char* text, std::size_t length, char* pin) {
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (length > kMaxPinLength) {
    std::printf(" failed\n  ! the PIN is longer than %zu characters\n", kMaxPinLength);
    return -1;
  }
  std::memcpy(pin, text, length);
  pin[length] = '\0';
  return static_cast<int>(length);
}

// The first line of a PIN file.
int ReadPinFile(const char* source, char* pin) {
  const char* path = std::strncmp(source, "file:", 5) == 0 ? source + 5 : source;
  SecretFile file{};
  if (OpenSecretFile(&file, path) != SecretFileStatus::kOpened) {
    std::printf(" failed\n  ! cannot read the PIN file %s named by pin-source\n", path);
    return -1;
  }
  char line[kMaxPinLength + 2] = {};
  const bool read = std::fgets(line, sizeof line, file.stream) != nullptr && !SecretFileFailed(file);
  CloseSecretFile(&file);
  const int length = read ? CopyPin(line, std::strlen(line), pin) : -1;
  if (!read) std::printf(" failed\n  ! the PIN file %s is empty\n", path);
  mbedtls_platform_zeroize(line, sizeof line);
  return length;
}

// Asks on the terminal with echo off; the prompt goes to standard error so
// that it never lands in a log of the run's messages.
int PromptForPin(const char* display, char* pin) {
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return -1;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::fprintf(stderr, "PIN for %s: ", display);
  std::fflush(stderr);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  char line[kMaxPinLength + 2] = {};
  const ssize_t count = read(STDIN_FILENO, line, sizeof line - 1);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputc('\n', stderr);
  const int length = count > 0 ? CopyPin(line, static_cast<std::size_t>(count), pin) : -1;
  mbedtls_platform_zeroize(line, sizeof line);
  return length;
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
    return CopyPin(value, std::strlen(value), pin);
  }
  if (const char* value = std::getenv(kPinEnvironmentVariable); value != nullptr) {
    return CopyPin(value, std::strlen(value), pin);
  }
  if (isatty(STDIN_FILENO) == 1) {
    const int length = PromptForPin(tokenLabel, pin);
    if (length >= 0) return length;
  }
  std::printf(" failed\n  ! no PIN: give pin-source in the URI, set %s, or run on a terminal\n",
              kPinEnvironmentVariable);
  return -1;
}

}  // namespace sealtool
