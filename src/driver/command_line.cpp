#include "driver/command_line.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "image/layout.h"

namespace sealtool {
namespace {

constexpr std::int32_t kRsaSecureBoot = 2;
constexpr std::int32_t kKeyRecordSecureBoot = 3;

}  // namespace

std::int32_t ParseDecimalLikeAtoi(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) {
    return INT_MAX;
  }
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<std::int32_t>(value);
}

namespace {

struct KeyOption {
  const char* name;
  const char* KeySources::*field;
};

constexpr KeyOption kKeyOptions[] = {
    {"--rsa-key", &KeySources::rsaKey},       {"--rsa-pub", &KeySources::rsaPub},
    {"--aes-key", &KeySources::aesKey},       {"--seal-key", &KeySources::sealKey},
    {"--sign-later", &KeySources::signLater}, {"--signature", &KeySources::signature},
};

const KeyOption* FindKeyOption(const char* word) {
  for (const KeyOption& option : kKeyOptions) {
    if (std::strcmp(option.name, word) == 0) return &option;
  }
  return nullptr;
}

// The private key signs in the run, or the signature is made elsewhere:
// never both, and a signature is either asked for or supplied. Says which
// two options clash, or null.
const char* ConflictIn(const KeySources& keys) {
  const bool later = keys.signLater != nullptr;
  const bool supplied = keys.signature != nullptr;
  if (keys.rsaKey != nullptr && later) return "--sign-later cannot be given with --rsa-key";
  if (keys.rsaKey != nullptr && supplied) return "--signature cannot be given with --rsa-key";
  if (later && supplied) return "--signature cannot be given with --sign-later";
  return nullptr;
}

}  // namespace

ParseResult ParseCommandLine(int argc, char** argv, CommandLine* commandLine,
                             const char** problem) {
  *commandLine = CommandLine{};
  int next = 1;
  for (; next < argc; ++next) {
    const char* word = argv[next];
    if (std::strcmp(word, "--") == 0) {
      ++next;
      break;
    }
    if (std::strcmp(word, "--help") == 0) return ParseResult::kHelp;
    if (std::strcmp(word, "--version") == 0) return ParseResult::kVersion;
    const KeyOption* option = FindKeyOption(word);
    if (option == nullptr) break;
    if (next + 1 >= argc) {
      *problem = option->name;
      return ParseResult::kMissingValue;
    }
    commandLine->keys.*(option->field) = argv[++next];
  }
  if (const char* conflict = ConflictIn(commandLine->keys); conflict != nullptr) {
    *problem = conflict;
    return ParseResult::kConflict;
  }
  const int positional = argc - next;
  if (positional < 2) {
    return ParseResult::kSyntaxError;
  }
  char** args = argv + next;
  commandLine->inputPath = args[0];
  commandLine->outputPath = args[1];
  commandLine->hasChip = positional > 2;
  commandLine->hasSecureBoot = positional > 3;
  if (commandLine->hasChip) {
    commandLine->chip = ParseDecimalLikeAtoi(args[2]);
  }
  if (commandLine->hasSecureBoot) {
    commandLine->secureBoot = ParseDecimalLikeAtoi(args[3]);
  }
  return ParseResult::kRun;
}

RunMode ChooseRunMode(std::int32_t chip, std::int32_t secureBoot) {
  if (secureBoot == 0) {
    return RunMode::kPlain;
  }
  if (chip == kRsaChip) {
    return secureBoot == kRsaSecureBoot ? RunMode::kRsa : RunMode::kAesSeal;
  }
  return secureBoot == kKeyRecordSecureBoot ? RunMode::kKeyRecord : RunMode::kAesSeal;
}

}  // namespace sealtool
