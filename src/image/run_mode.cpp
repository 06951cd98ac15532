#include "image/run_mode.h"

#include <cstring>

namespace sealtool {
namespace {

struct NamedRunMode {
  RunMode mode;
  const char* name;
};

constexpr NamedRunMode kRunModeNames[] = {
    {RunMode::kPlain, "plain"},
    {RunMode::kKeyRecord, "key-record"},
    {RunMode::kRsa, "rsa"},
    {RunMode::kAesSeal, "aes-seal"},
};

}  // namespace

bool IsSecureMode(RunMode mode) {
  return mode == RunMode::kRsa || mode == RunMode::kAesSeal;
}

const char* RunModeName(RunMode mode) {
  for (const auto& entry : kRunModeNames) {
    if (entry.mode == mode) return entry.name;
  }
  return "unknown";
}

bool ParseRunModeName(const char* name, RunMode* mode) {
  for (const auto& entry : kRunModeNames) {
    if (std::strcmp(entry.name, name) == 0) {
      *mode = entry.mode;
      return true;
    }
  }
  return false;
}

}  // namespace sealtool
