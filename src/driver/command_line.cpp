#include "driver/command_line.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/layout.h"

namespace sealtool {
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

constexpr KeyOptionSpec kKeyOptions[] = {
    {"--rsa-key", &KeySources::rsaKey, kRunOptionRsaKey},
    {"--rsa-pub", &KeySources::rsaPub, kRunOptionRsaPub},
    {"--aes-key", &KeySources::aesKey, kRunOptionAesKey},
    {"--seal-key", &KeySources::sealKey, kRunOptionSealKey},
    {"--sign-later", &KeySources::signLater, kRunOptionSignLater},
    {"--signature", &KeySources::signature, kRunOptionSignature},
};

// The reason a command line is refused, for the driver to print.
char gProblem[256];

const KeyOptionSpec* FindKeyOption(const char* word) {
  for (const KeyOptionSpec& option : kKeyOptions) {
    if (std::strcmp(option.name, word) == 0) return &option;
  }
  return nullptr;
}

bool IsOptionWord(const char* word) {
  return FindKeyOption(word) != nullptr || std::strcmp(word, "--") == 0 ||
         std::strcmp(word, "--record") == 0 || std::strcmp(word, "--keyring") == 0 ||
         std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0;
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

// --record FILE or --keyring FILE: once each.
ParseResult TakeFileOption(int argc, char** argv, int* next, const char** path, const char** problem) {
  const char* name = argv[*next];
  if (*next + 1 >= argc) {
    *problem = name;
    return ParseResult::kMissingValue;
  }
  if (*path != nullptr) {
    std::snprintf(gProblem, sizeof gProblem, "%s is given twice: give it once", name);
    *problem = gProblem;
    return ParseResult::kRefused;
  }
  *path = argv[++*next];
  return ParseResult::kRun;
}

// An option word among the positional arguments: the paths may be anything
// after "--", the rest never holds an option.
const char* MisplacedOption(char** positional, int count, bool afterSeparator) {
  for (int i = afterSeparator ? 2 : 0; i < count; ++i) {
    if (IsOptionWord(positional[i])) {
      std::snprintf(gProblem, sizeof gProblem,
                    "%s after the input and output paths: options come before them",
                    positional[i]);
      return gProblem;
    }
  }
  return nullptr;
}

// The first option given that the run's mode does not read, and why.
const char* UnusedOption(const CommandLine& commandLine) {
  const RunMode mode = ChooseRunMode(commandLine.chip, commandLine.secureBoot);
  const unsigned reads = RunOptionsOfMode(mode);
  for (const KeyOptionSpec& option : kKeyOptions) {
    if (commandLine.keys.*(option.field) == nullptr || (reads & option.option) != 0) continue;
    std::snprintf(gProblem, sizeof gProblem, "%s needs %s; this run is %s mode (chip %d, secure_boot %d)",
                  option.name, RunOptionNeeds(option.option), RunModeName(mode), commandLine.chip,
                  commandLine.secureBoot);
    return gProblem;
  }
  return nullptr;
}

void SetPositional(char** args, int positional, CommandLine* commandLine) {
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
}

}  // namespace

std::span<const KeyOptionSpec> KeyOptionSpecs() { return kKeyOptions; }

ParseResult ParseCommandLine(int argc, char** argv, CommandLine* commandLine,
                             const char** problem) {
  *commandLine = CommandLine{};
  int next = 1;
  bool afterSeparator = false;
  for (; next < argc; ++next) {
    const char* word = argv[next];
    if (std::strcmp(word, "--") == 0) {
      afterSeparator = true;
      ++next;
      break;
    }
    if (std::strcmp(word, "--help") == 0) return ParseResult::kHelp;
    if (std::strcmp(word, "--version") == 0) return ParseResult::kVersion;
    const char** path = std::strcmp(word, "--record") == 0    ? &commandLine->recordPath
                        : std::strcmp(word, "--keyring") == 0 ? &commandLine->keyringPath
                                                              : nullptr;
    if (path != nullptr) {
      const ParseResult taken = TakeFileOption(argc, argv, &next, path, problem);
      if (taken != ParseResult::kRun) return taken;
      continue;
    }
    const KeyOptionSpec* option = FindKeyOption(word);
    if (option == nullptr) break;
    if (next + 1 >= argc) {
      *problem = option->name;
      return ParseResult::kMissingValue;
    }
    const char*& value = commandLine->keys.*(option->field);
    if (value != nullptr) {
      std::snprintf(gProblem, sizeof gProblem, "%s is given twice: give it once", option->name);
      *problem = gProblem;
      return ParseResult::kRefused;
    }
    value = argv[++next];
  }
  if (const char* conflict = ConflictIn(commandLine->keys); conflict != nullptr) {
    *problem = conflict;
    return ParseResult::kRefused;
  }
  if (commandLine->recordPath != nullptr && commandLine->keys.signLater != nullptr) {
    *problem = "--record cannot be given with --sign-later: that run writes no image to record";
    return ParseResult::kRefused;
  }
  const int positional = argc - next;
  if (const char* misplaced = MisplacedOption(argv + next, positional, afterSeparator)) {
    *problem = misplaced;
    return ParseResult::kRefused;
  }
  if (positional < 2) {
    return ParseResult::kSyntaxError;
  }
  SetPositional(argv + next, positional, commandLine);
  if (const char* unused = UnusedOption(*commandLine); unused != nullptr) {
    *problem = unused;
    return ParseResult::kRefused;
  }
  return ParseResult::kRun;
}


}  // namespace sealtool
