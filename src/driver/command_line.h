// The command line: key options, then the four positional arguments, and
// the run mode they select.
#pragma once

#include <cstdint>
#include <span>

#include "image/run_mode.h"
#include "keys/key_sources.h"

namespace sealtool {

struct CommandLine {
  const char* inputPath;
  const char* outputPath;
  bool hasChip;
  bool hasSecureBoot;
  std::int32_t chip;        // 0 when absent
  std::int32_t secureBoot;  // 0 when absent
  KeySources keys;          // all null without key options
  const char* recordPath;   // --record: the release record to write, or null
  const char* keyringPath;  // --keyring: the keyring every key must be in, or null
};

enum class ParseResult {
  kRun,
  kSyntaxError,    // fewer than two paths: the tool's own two lines
  kMissingValue,   // an option without its value
  kRefused,        // options this run cannot take: *problem says why
  kHelp,
  kVersion,
};

// Converts like atoi for every value that fits an int (leading blanks, a
// sign, digits up to the first non-digit, 0 without digits); a value out of
// range is clamped to INT_MIN or INT_MAX instead of being undefined.
std::int32_t ParseDecimalLikeAtoi(const char* text);

// A key option: its word, where its value goes, and its bit in the table
// of what each run mode reads.
struct KeyOptionSpec {
  const char* name;
  const char* KeySources::*field;
  RunOption option;
};

// Every key option, in the order --help lists them.
std::span<const KeyOptionSpec> KeyOptionSpecs();

// Key options come first; "--" ends them. Only the option words themselves
// are options: any other argument is the first positional one, so a command
// line without options means exactly what it always meant. Refused, before
// any file is opened: an option given twice, two that exclude each other,
// an option the run's mode does not read, and an option word among the
// positional arguments (other extra arguments are ignored, as always).
// *problem names the option a failure is about, or, for kRefused, says why.
ParseResult ParseCommandLine(int argc, char** argv, CommandLine* commandLine,
                             const char** problem);

}  // namespace sealtool
