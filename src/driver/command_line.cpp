#include "driver/command_line.h"

#include <climits>
#include <cstdlib>

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

bool ParseCommandLine(int argc, char** argv, CommandLine* commandLine) {
  if (argc < 3) {
    return false;
  }
  *commandLine = CommandLine{argv[1], argv[2], argc > 3, argc > 4, 0, 0};
  if (commandLine->hasChip) {
    commandLine->chip = ParseDecimalLikeAtoi(argv[3]);
  }
  if (commandLine->hasSecureBoot) {
    commandLine->secureBoot = ParseDecimalLikeAtoi(argv[4]);
  }
  return true;
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
