#include "image/run_mode.h"

#include <cstring>

#include "image/layout.h"

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

struct ModeOptions {
  RunMode mode;
  unsigned reads;
};

constexpr ModeOptions kModeOptions[] = {
    {RunMode::kPlain, 0},
    {RunMode::kKeyRecord, kRunOptionAesKey},
    {RunMode::kRsa, kRunOptionRsaKey | kRunOptionRsaPub | kRunOptionAesKey | kRunOptionSignLater |
                        kRunOptionSignature},
    {RunMode::kAesSeal, kRunOptionAesKey | kRunOptionSealKey},
};

constexpr char kNeedsRsaMode[] = "RSA mode: chip 742, secure_boot 2";

constexpr std::int32_t kRsaSecureBoot = 2;
constexpr std::int32_t kKeyRecordSecureBoot = 3;

}  // namespace

RunMode ChooseRunMode(std::int32_t chip, std::int32_t secureBoot) {
  if (secureBoot == 0) {
    return RunMode::kPlain;
  }
  if (chip == kRsaChip) {
    return secureBoot == kRsaSecureBoot ? RunMode::kRsa : RunMode::kAesSeal;
  }
  return secureBoot == kKeyRecordSecureBoot ? RunMode::kKeyRecord : RunMode::kAesSeal;
}

unsigned RunOptionsOfMode(RunMode mode) {
  for (const auto& entry : kModeOptions) {
    if (entry.mode == mode) return entry.reads;
  }
  return 0;
}

const char* RunOptionNeeds(RunOption option) {
  switch (option) {
    case kRunOptionAesKey:
      return "a secure or key-record run: a secure_boot other than 0";
    case kRunOptionSealKey:
      return "AES-seal mode: a secure_boot other than 0 and 3 (on chip 742, other than 0 and 2)";
    default:
      return kNeedsRsaMode;
  }
}

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
