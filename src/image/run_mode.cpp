#include "image/run_mode.h"

#include <cstring>

#include "image/layout.h"

namespace sealtool {
namespace {

constexpr unsigned kSealedRegions = kRegionImageDigest | kRegionBody;

constexpr RunModeInfo kRunModes[] = {
    {RunMode::kPlain, "plain", 0, 0, 0, true},
    {RunMode::kKeyRecord, "key-record", kRunOptionAesKey, kRegionWrappedKey, 0, false},
    {RunMode::kRsa, "rsa",
     kRunOptionRsaKey | kRunOptionRsaPub | kRunOptionAesKey | kRunOptionSignLater | kRunOptionSignature,
     kSealedRegions | kRegionModulus | kRegionRsaSignature,
     kRegionRsaSignature | kRegionImageDigest | kRegionModulus, true},
    {RunMode::kAesSeal, "aes-seal", kRunOptionAesKey | kRunOptionSealKey, kSealedRegions | kRegionDigestSeal,
     kRegionRsaSignature | kRegionImageDigest, true},
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

const RunModeInfo& ModeInfoOf(RunMode mode) {
  for (const RunModeInfo& info : kRunModes) {
    if (info.mode == mode) return info;
  }
  return kRunModes[0];
}

unsigned RunOptionsOfMode(RunMode mode) { return ModeInfoOf(mode).reads; }

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

bool IsSecureMode(RunMode mode) { return (ModeInfoOf(mode).writes & kRegionBody) != 0; }

bool SignsWithRsa(RunMode mode) { return (ModeInfoOf(mode).writes & kRegionRsaSignature) != 0; }

bool RegionsHold(unsigned regions, std::size_t offset) {
  struct Span {
    ModeRegion region;
    std::size_t offset, size;
  };
  static constexpr Span kSpans[] = {
      {kRegionWrappedKey, kWrappedKeyOffset, kWrappedKeySize},
      {kRegionModulus, kModulusOffset, kModulusSize + kExponentSize},
      {kRegionRsaSignature, kRsaSignatureOffset, kRsaSignatureSize},
      {kRegionDigestSeal, kDigestSealOffset, kDigestSealSize},
      {kRegionImageDigest, kImageDigestOffset, kImageDigestSize},
      {kRegionBody, kBodyAreaOffset, kBodyAreaSize},
  };
  for (const Span& span : kSpans) {
    if ((regions & span.region) != 0 && offset >= span.offset && offset - span.offset < span.size) return true;
  }
  return false;
}

const char* RunModeName(RunMode mode) { return ModeInfoOf(mode).name; }

bool ParseRunModeName(const char* name, RunMode* mode) {
  for (const RunModeInfo& info : kRunModes) {
    if (std::strcmp(info.name, name) == 0) {
      *mode = info.mode;
      return true;
    }
  }
  return false;
}

}  // namespace sealtool
