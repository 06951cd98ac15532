// The four positional arguments and the run mode they select.
#pragma once

#include <cstdint>

#include "image/run_mode.h"

namespace sealtool {

struct CommandLine {
  const char* inputPath;
  const char* outputPath;
  bool hasChip;
  bool hasSecureBoot;
  std::int32_t chip;        // 0 when absent
  std::int32_t secureBoot;  // 0 when absent
};

// Converts like atoi for every value that fits an int (leading blanks, a
// sign, digits up to the first non-digit, 0 without digits); a value out of
// range is clamped to INT_MIN or INT_MAX instead of being undefined.
std::int32_t ParseDecimalLikeAtoi(const char* text);

// False when fewer than two paths follow the program name.
bool ParseCommandLine(int argc, char** argv, CommandLine* commandLine);

RunMode ChooseRunMode(std::int32_t chip, std::int32_t secureBoot);

}  // namespace sealtool
