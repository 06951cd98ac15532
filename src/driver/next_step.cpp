#include "driver/next_step.h"

#include <cstdio>
#include <cstring>

#include "image/layout.h"
#include "keys/key_handle.h"
#include "platform/file_facts.h"

namespace sealtool {
namespace {

constexpr char kSafeCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./:=@%+,-";

// A quoted word: at worst four bytes for each of the argument's.
struct QuotedWord {
  char text[4 * kMaxPathSize + 3];
};

// Prints " word", quoted; a word too long to quote is not printed as if it
// were whole.
void PrintWord(const char* word) {
  static QuotedWord quoted;
  if (ShellQuote(word, quoted.text, sizeof quoted.text)) {
    std::printf(" %s", quoted.text);
  } else {
    std::printf(" <a word too long to show>");
  }
}

void PrintKeyOptions(const CommandLine& commandLine) {
  static char withoutPin[4 * kMaxPathSize];
  for (const KeyOptionSpec& option : KeyOptionSpecs()) {
    const char* value = commandLine.keys.*(option.field);
    if (value == nullptr || option.option == kRunOptionSignLater) continue;
    std::printf(" %s", option.name);
    PrintWord(KeyRefWithoutSecrets(value, withoutPin, sizeof withoutPin) ? withoutPin : "");
  }
}

}  // namespace

bool ShellQuote(const char* word, char* out, std::size_t size) {
  const std::size_t length = std::strlen(word);
  if (length > 0 && std::strspn(word, kSafeCharacters) == length) {
    if (length + 1 > size) return false;
    std::memcpy(out, word, length + 1);
    return true;
  }
  std::size_t used = 0;
  auto put = [&](const char* text) {
    const std::size_t n = std::strlen(text);
    if (used + n + 1 > size) return false;
    std::memcpy(out + used, text, n + 1);
    used += n;
    return true;
  };
  bool fits = put("'");
  for (const char* c = word; fits && *c != '\0'; ++c) {
    const char single[2] = {*c, '\0'};
    fits = put(*c == '\'' ? "'\\''" : single);
  }
  return fits && put("'");
}

void PrintSigningNextStep(const CommandLine& commandLine) {
  const char* block = commandLine.keys.signLater;
  std::printf("The RSA input block (%zu bytes, big-endian) is in", kRsaBlockSize);
  PrintWord(block);
  std::printf(". Sign it with the private\nkey, raw RSA without padding, for example one of:\n");
  std::printf("  pkcs11-tool --module MODULE --login --sign -m RSA-X-509 --id KEY-ID -i");
  PrintWord(block);
  std::printf(" -o sig.bin\n");
  std::printf("  openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:none -inkey key.pem -in");
  PrintWord(block);
  std::printf(" -out sig.bin\nthen seal with the signature:\n  sealtool");
  PrintKeyOptions(commandLine);
  std::printf(" --signature sig.bin");
  if (commandLine.inputPath[0] == '-') std::printf(" --");
  PrintWord(commandLine.inputPath);
  PrintWord(commandLine.outputPath);
  std::printf(" %d %d\n", commandLine.chip, commandLine.secureBoot);
}

}  // namespace sealtool
