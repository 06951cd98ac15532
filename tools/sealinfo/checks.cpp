#include "checks.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "image/byte_order.h"
#include "image/checksum.h"
#include "keys/aes_key_file.h"
#include "keys/public_key.h"
#include "mode_detection.h"
#include "seal/key_record.h"

namespace sealtool::inspect {
namespace {

// True for a byte that the run of the mode writes or clears, so that it may
// differ from the input; mask tells which of its bits (the DRAM count field
// keeps the high nibble of its second byte).
std::uint8_t WrittenBits(std::size_t offset, const Report& report) {
  const std::size_t bootHeader = report.layout.bootHeader;
  if (offset >= bootHeader + kMarkerField && offset < bootHeader + kChecksumField + 2) return 0xFF;
  const RunModeInfo& mode = ModeInfoOf(report.mode);
  if (!mode.checksBootHeader) return RegionsHold(mode.writes, offset) ? 0xFF : 0;
  if (offset == report.layout.dramCountField) return 0xFF;
  if (offset == report.layout.dramCountField + 1) return 0x0F;
  if (!ChipClearsSealRegions(report.chip)) return 0;
  return RegionsHold(mode.clears, offset) ? 0xFF : 0;
}

// The user key a key-record image should wrap: aes.txt's, or the default.
KeyOrigin ExpectedUserKey(const InspectOptions& options, std::int32_t chip, std::uint8_t* key,
                          bool* allHexDigits) {
  char path[kMaxPathSize];
  AesKeyPath(options, path);
  return FindAesKeyToken(path, chip, key, allHexDigits);
}

// Whether the wrapped key unwraps to the key a key-record run would have
// wrapped; origin tells where that key came from (kMalformed: no key known).
bool WrapsExpectedKey(const std::uint8_t* image, const InspectOptions& options, std::int32_t chip,
                      KeyOrigin* origin, Report* report) {
  std::uint8_t expected[kKeyBufferSize] = {};
  std::uint8_t unwrapped[kAesKeySize];
  bool allHexDigits = true;
  *origin = ExpectedUserKey(options, chip, expected, &allHexDigits);
  if (report != nullptr) WarnAboutTokenText(allHexDigits, report);
  const bool same = *origin != KeyOrigin::kMalformed &&
                    UnwrapUserKey(image + kWrappedKeyOffset, unwrapped) &&
                    std::memcmp(expected, unwrapped, kAesKeySize) == 0;
  mbedtls_platform_zeroize(expected, sizeof expected);
  mbedtls_platform_zeroize(unwrapped, sizeof unwrapped);
  return same;
}

void CheckWrappedKey(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  KeyOrigin origin = KeyOrigin::kMalformed;
  const bool same = WrapsExpectedKey(image, options, report->chip, &origin, report);
  if (origin == KeyOrigin::kMalformed) {
    char name[kKeyFileNameSize];
    KeyFileName(options, false, name);
    AddCheck(report, CheckId::kWrappedKey, Verdict::kNotVerifiable,
             "%.140s cannot be read or holds no 32-character key token", name);
    return;
  }
  const bool fromFile = origin == KeyOrigin::kFile;
  if (same) {
    AddCheck(report, CheckId::kWrappedKey, Verdict::kOk, "unwraps to %s",
             fromFile ? "the key of aes.txt" : "the default key");
  } else if (fromFile) {
    AddCheck(report, CheckId::kWrappedKey, Verdict::kFailed, "does not unwrap to the key of aes.txt");
  } else {
    AddCheck(report, CheckId::kWrappedKey, Verdict::kFailed,
             "does not unwrap to the default key, which a run without aes.txt wraps (no aes.txt "
             "in %s)", options.keyDir);
  }
  // Said only when true: a wrapped key that is not the default one needs no
  // warning about it.
  if (same && !fromFile) {
    AddWarning(report, "the wrapped key is the built-in default key: aes.txt was absent");
  }
  AddWarning(report,
             "the wrapping only obscures the key: the wrapping key ships inside sealtool");
}

// A pinned key that the image carries establishes the stored N and E as well
// as rsa_pub.txt would; one that differs from rsa_pub.txt still fails.
void TrustPinnedKey(Report* report) {
  for (std::size_t i = 0; i < report->checkCount; ++i) {
    Check& check = report->checks[i];
    if (check.id != CheckId::kPublicKey || check.verdict != Verdict::kNotVerifiable) continue;
    check.verdict = Verdict::kOk;
    std::snprintf(check.detail, sizeof check.detail, "stored N and E are the expected key's");
  }
}

}  // namespace

void KeyPath(const InspectOptions& options, const char* name, char (&path)[kMaxPathSize]) {
  std::snprintf(path, sizeof path, "%s/%s", options.keyDir, name);
}

void AesKeyPath(const InspectOptions& options, char (&path)[kMaxPathSize]) {
  if (options.aesKeyPath == nullptr) return KeyPath(options, kAesKeyFileName, path);
  std::snprintf(path, sizeof path, "%s", options.aesKeyPath);
}

void KeyFileName(const InspectOptions& options, bool seal, char (&text)[kKeyFileNameSize]) {
  const char* named = seal ? options.sealKeyPath : options.aesKeyPath;
  if (named != nullptr) {
    std::snprintf(text, sizeof text, "%s", named);
  } else {
    std::snprintf(text, sizeof text, "aes.txt in %s", options.keyDir);
  }
}

void SealKeyPath(const InspectOptions& options, char (&path)[kMaxPathSize]) {
  if (options.sealKeyPath == nullptr) return KeyPath(options, kAesKeyFileName, path);
  std::snprintf(path, sizeof path, "%s", options.sealKeyPath);
}

void WarnAboutTokenText(bool allHexDigits, Report* report) {
  if (!allHexDigits) {
    AddWarning(report, "aes.txt's key token holds characters that are not hex digits: each pair "
                       "converts on its own, and a pair without hex digits gives 0");
  }
}

void CheckChecksum(const std::uint8_t* image, Report* report, const char* what) {
  const std::uint32_t sum = SumHalfWordsWithIndex(image, kImageSize) & 0xFFFFu;
  if (sum == 0) {
    AddCheck(report, CheckId::kChecksum, Verdict::kOk, "%s sums to 0 modulo 65536", what);
  } else {
    AddCheck(report, CheckId::kChecksum, Verdict::kFailed,
             "%s sums to 0x%04X modulo 65536, not 0 (stored checksum 0x%04X)", what,
             static_cast<unsigned>(sum), report->checksumField);
  }
}

void CheckDramCount(Report* report) {
  const unsigned expected = report->dramWalkCount % 4096u;
  if (report->dramCountField == expected) {
    AddCheck(report, CheckId::kDramCount, Verdict::kOk, "field holds %u, the walk finds %u entries",
             report->dramCountField, report->dramWalkCount);
  } else {
    AddCheck(report, CheckId::kDramCount, Verdict::kFailed, "field holds %u, the walk finds %u entries",
             report->dramCountField, report->dramWalkCount);
  }
}

// The image as it stood before sealing (or the image itself) against the
// input it was made from: every byte the run does not write must be the
// input's.
void CheckAgainstInput(const std::uint8_t* plainView, const InspectOptions& options,
                       Report* report) {
  if (options.input == nullptr) return;
  std::size_t differing = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < kImageSize; ++i) {
    const std::uint8_t kept = static_cast<std::uint8_t>(~WrittenBits(i, *report));
    if (((plainView[i] ^ options.input[i]) & kept) != 0 && differing++ == 0) first = i;
  }
  if (differing == 0) {
    AddCheck(report, CheckId::kInput, Verdict::kOk,
             "every byte the run does not write is the input's");
  } else {
    AddCheck(report, CheckId::kInput, Verdict::kFailed,
             "%zu bytes that the run does not write differ from the input's, the first at %zu",
             differing, first);
  }
}

Check* NextCheck(Report* report, CheckId id, Verdict verdict) {
  if (report->checkCount >= kMaxChecks) return nullptr;
  Check* check = &report->checks[report->checkCount++];
  check->id = id;
  check->verdict = verdict;
  return check;
}

// Records a check with a fixed detail text.
void AddCheck(Report* report, CheckId id, Verdict verdict, const char* detail) {
  Check* check = NextCheck(report, id, verdict);
  if (check != nullptr) std::snprintf(check->detail, sizeof check->detail, "%s", detail);
}

bool CheckPassed(const Report& report, CheckId id) {
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    if (report.checks[i].id == id) return report.checks[i].verdict == Verdict::kOk;
  }
  return false;
}

void AddWarning(Report* report, const char* text) {
  if (report->warningCount >= kMaxWarnings) return;
  std::snprintf(report->warnings[report->warningCount++], sizeof report->warnings[0], "%s", text);
}

void DescribeHeader(const std::uint8_t* image, Report* report) {
  const std::uint8_t* bootHeader = image + report->layout.bootHeader;
  report->marker = LoadU16LE(bootHeader + kMarkerField);
  report->checksumField = LoadU16LE(bootHeader + kChecksumField);
  std::memcpy(report->version, bootHeader + kVersionBytesField, kVersionBytesSize);
  report->dramCountField = LoadDramParamNumber(image + report->layout.dramCountField);

  const std::uint8_t* table = image + report->layout.dramTable;
  const std::size_t tableBytes = kImageSize - report->layout.dramTable;
  std::size_t position = 0;
  DramEntry entry{};
  report->dramWalkCount = 0;
  report->dramShown = 0;
  while (NextDramEntry(table, tableBytes, report->chip, &position, &entry)) {
    if (entry.counted) ++report->dramWalkCount;
    if (report->dramShown < kMaxShownDramEntries) report->dramEntries[report->dramShown++] = entry;
  }
  const std::uint8_t* keyRecord = image + kKeyRecordOffset;
  report->keyRecordValid = CheckWrKeyCode(keyRecord) == 0;
  report->stamp = DecodeKeyRecordStamp(keyRecord);
  std::memcpy(report->wrappedKey, image + kWrappedKeyOffset, kWrappedKeySize);
}

bool WrapsUserKey(const std::uint8_t* image, const InspectOptions& options, std::int32_t chip) {
  KeyOrigin origin = KeyOrigin::kMalformed;
  return WrapsExpectedKey(image, options, chip, &origin, nullptr);
}

// The key an RSA image carries, and whether it is the one a release expects.
void IdentifyKey(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  report->hasKeyIds = (ModeInfoOf(report->mode).writes & kRegionModulus) != 0 && ComputeImageKeyIds(image, &report->keyIds);
  if (options.expectedKeyId == nullptr) return;
  if (!report->hasKeyIds) {
    AddCheck(report, CheckId::kExpectedKey, Verdict::kFailed, "the image carries no RSA key");
    return;
  }
  const bool same = std::memcmp(options.expectedKeyId, report->keyIds.header, kKeyIdSize) == 0 ||
                    std::memcmp(options.expectedKeyId, report->keyIds.spki, kKeyIdSize) == 0;
  char carried[kKeyIdTextSize];
  FormatKeyId(report->keyIds.header, carried);
  if (same) {
    AddCheck(report, CheckId::kExpectedKey, Verdict::kOk, "the image carries the expected key");
    TrustPinnedKey(report);
  } else {
    AddCheck(report, CheckId::kExpectedKey, Verdict::kFailed,
             "the image carries another key (header key id %.16s...)", carried);
  }
}

void RunChecksOfMode(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  const RunModeInfo& mode = ModeInfoOf(report->mode);
  if (IsSecureMode(mode.mode)) {
    CheckSealedImage(image, options, report);
    return;
  }
  CheckChecksum(image, report, "the image");
  if (mode.checksBootHeader) CheckDramCount(report);
  if ((mode.writes & kRegionWrappedKey) != 0) CheckWrappedKey(image, options, report);
  CheckAgainstInput(image, options, report);
}

}  // namespace sealtool::inspect
