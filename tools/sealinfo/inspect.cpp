#include "inspect.h"

#include <limits.h>

#include <cstdio>
#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "image/byte_order.h"
#include "image/checksum.h"
#include "seal/aes_cbc.h"
#include "seal/aes_key_file.h"
#include "seal/key_record.h"
#include "seal/rsa_signature.h"
#include "seal/sha256.h"

namespace sealtool::inspect {
namespace {

// The image as it stood when its checksum was stored: the body decrypted and
// the regions that sealing filled restored to what they held then.
std::uint8_t gRebuilt[kImageSize];

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

// Records a check whose detail is formatted like printf from format and args.
template <typename First, typename... Rest>
void AddCheck(Report* report, CheckId id, Verdict verdict, const char* format, First first,
              Rest... rest) {
  Check* check = NextCheck(report, id, verdict);
  if (check != nullptr) std::snprintf(check->detail, sizeof check->detail, format, first, rest...);
}

void AddWarning(Report* report, const char* text) {
  if (report->warningCount >= kMaxWarnings) return;
  std::snprintf(report->warnings[report->warningCount++], sizeof report->warnings[0], "%s", text);
}

bool AllZero(const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

void KeyPath(const InspectOptions& options, const char* name, char (&path)[PATH_MAX]) {
  std::snprintf(path, sizeof path, "%s/%s", options.keyDir, name);
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

// Chip 742 clears the signature span before sealing in both of its secure
// modes; only the RSA signature fills its first 96 bytes (the digest seal
// lies behind them). Any other image keeps input bytes there.
bool SignatureSpanUsed(const std::uint8_t* image) {
  return !AllZero(image + kRsaSignatureOffset, kDigestSealOffset - kRsaSignatureOffset);
}

// True when the exponent area holds what RSA mode stores: a non-zero E that
// fits its first eight bytes.
bool ExponentAreaHoldsE(const std::uint8_t* image) {
  const std::uint8_t* exponent = image + kExponentOffset;
  return !AllZero(exponent, 8) && AllZero(exponent + 8, kExponentSize - 8);
}

// For telling chip 742 from the rest of group A without --chip.
bool LooksRsaSigned(const std::uint8_t* image) {
  return SignatureSpanUsed(image) && ExponentAreaHoldsE(image);
}

// The user key a key-record image should wrap: aes.txt's, or the default.
KeyOrigin ExpectedUserKey(const InspectOptions& options, std::int32_t chip, std::uint8_t* key,
                          bool* allHexDigits) {
  char path[PATH_MAX];
  KeyPath(options, kAesKeyFileName, path);
  return FindAesKeyToken(path, chip, key, allHexDigits);
}

void WarnAboutTokenText(bool allHexDigits, Report* report) {
  if (!allHexDigits) {
    AddWarning(report, "aes.txt's key token holds characters that are not hex digits: each pair "
                       "converts on its own, and a pair without hex digits gives 0");
  }
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
                    UnwrapUserKey(image + kWrappedKeyOffset, unwrapped) == 0 &&
                    std::memcmp(expected, unwrapped, kAesKeySize) == 0;
  mbedtls_platform_zeroize(expected, sizeof expected);
  mbedtls_platform_zeroize(unwrapped, sizeof unwrapped);
  return same;
}

// The mode the evidence points to, and, while it does not settle it, the
// modes that remain possible (null once settled).
struct ModeGuess {
  RunMode mode;
  const char* alternatives;
};

// Plain and key-record runs both leave a checksum that holds. Only plain
// runs store the DRAM count; only key-record runs need a key record, and
// only they wrap a key that unwraps to the user's. The input, when given,
// shows which of the two fields the run changed.
ModeGuess GuessChecksummedMode(const std::uint8_t* image, const InspectOptions& options,
                               const Report& report) {
  const std::uint8_t* input = options.input;
  const std::size_t countField = report.layout.dramCountField;
  const bool keptWrappedKey =
      input == nullptr ||
      std::memcmp(image + kWrappedKeyOffset, input + kWrappedKeyOffset, kWrappedKeySize) == 0;
  const bool keptDramCount =
      input == nullptr || LoadDramParamNumber(image + countField) == LoadDramParamNumber(input + countField);
  const bool plainPossible = report.dramCountField == report.dramWalkCount % 4096u && keptWrappedKey;
  const bool keyRecordPossible = report.keyRecordValid && keptDramCount;
  KeyOrigin origin = KeyOrigin::kMalformed;
  if (keyRecordPossible && WrapsExpectedKey(image, options, report.chip, &origin, nullptr)) {
    return {RunMode::kKeyRecord, nullptr};
  }
  // With the input both fields unchanged means both runs write the same image.
  if (plainPossible && keyRecordPossible && input == nullptr) {
    return {RunMode::kPlain,
            "plain, or key-record with a user key other than the one in the key folder"};
  }
  return {keyRecordPossible ? RunMode::kKeyRecord : RunMode::kPlain, nullptr};
}

ModeGuess GuessMode(const std::uint8_t* image, const InspectOptions& options, const Report& report) {
  if (ImageChecksumHolds(image)) return GuessChecksummedMode(image, options, report);
  const bool rsa = report.chip == kRsaChip && SignatureSpanUsed(image);
  return {rsa ? RunMode::kRsa : RunMode::kAesSeal, nullptr};
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

void CheckWrappedKey(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  KeyOrigin origin = KeyOrigin::kMalformed;
  const bool same = WrapsExpectedKey(image, options, report->chip, &origin, report);
  if (origin == KeyOrigin::kMalformed) {
    AddCheck(report, CheckId::kWrappedKey, Verdict::kNotVerifiable,
             "aes.txt in %s cannot be read or holds no 32-character key token", options.keyDir);
    return;
  }
  const char* source = origin == KeyOrigin::kFile ? "the key of aes.txt" : "the default key";
  if (same) {
    AddCheck(report, CheckId::kWrappedKey, Verdict::kOk, "unwraps to %s", source);
  } else {
    AddCheck(report, CheckId::kWrappedKey, Verdict::kFailed, "does not unwrap to %s", source);
  }
  if (origin == KeyOrigin::kDefault) {
    AddWarning(report, "the wrapped key is the built-in default key: aes.txt was absent");
  }
  AddWarning(report,
             "the wrapping only obscures the key: the wrapping key ships inside sealtool");
}

struct SealKeys {
  std::uint8_t body[kKeyBufferSize];
  std::uint8_t seal[kKeyBufferSize];
  KeyOrigin bodyOrigin;
  KeyOrigin sealOrigin;
};

void LoadSealKeys(const InspectOptions& options, std::int32_t chip, SealKeys* keys,
                  Report* report) {
  char path[PATH_MAX];
  KeyPath(options, kAesKeyFileName, path);
  std::memset(keys, 0, sizeof *keys);
  bool allHexDigits = true;
  keys->bodyOrigin = FindAesKeyToken(path, chip, keys->body, &allHexDigits);
  keys->sealOrigin = FindAesKeyBytes(path, chip, keys->seal);
  if (keys->bodyOrigin == KeyOrigin::kFile) WarnAboutTokenText(allHexDigits, report);
}

// Restores the image, its body already decrypted into gRebuilt, as it stood
// after the checksum step. Returns false when some of those bytes were
// overwritten by sealing and cannot be known.
bool RebuildPlainImage(const InspectOptions& options, RunMode mode, std::int32_t chip) {
  if (ChipClearsSealRegions(chip)) {
    ClearSealRegions(gRebuilt, mode);
    return true;
  }
  // Only the regions sealing wrote are unknown: the seal and the digest.
  constexpr std::size_t kOverwritten = kDigestSealSize + kImageDigestSize;
  static_assert(kImageDigestOffset == kDigestSealOffset + kDigestSealSize);
  if (options.input != nullptr) {
    std::memcpy(gRebuilt + kDigestSealOffset, options.input + kDigestSealOffset, kOverwritten);
    return true;
  }
  std::memset(gRebuilt + kDigestSealOffset, 0, kOverwritten);
  return options.assumeZero;
}

const char* UnknownBytesReason() {
  return "chips other than 742 and 775 keep the input's bytes at 448-511 until sealing "
         "overwrites them (give --input, or --assume-zero if they were zero)";
}

void CheckImageDigest(const std::uint8_t* image, bool known, Report* report) {
  if (!known) {
    AddCheck(report, CheckId::kImageDigest, Verdict::kNotVerifiable, "%s", UnknownBytesReason());
    return;
  }
  std::uint8_t digest[kSha256DigestSize];
  Sha256OneShot(gRebuilt, static_cast<std::int32_t>(kImageSize), digest);
  if (std::memcmp(digest, image + kImageDigestOffset, kImageDigestSize) == 0) {
    AddCheck(report, CheckId::kImageDigest, Verdict::kOk, "SHA-256 of the decrypted image matches");
  } else {
    AddCheck(report, CheckId::kImageDigest, Verdict::kFailed,
             "SHA-256 of the decrypted image differs from the stored digest "
             "(a changed body or header, or another body key)");
  }
}

// The header area as it stood when its digest was taken.
void HeaderDigestAtSealing(const std::uint8_t* image, std::uint8_t* digest) {
  std::uint8_t header[kHeaderAreaSize];
  std::memcpy(header, gRebuilt, kHeaderAreaSize);
  std::memcpy(header + kImageDigestOffset, image + kImageDigestOffset, kImageDigestSize);
  Sha256OneShot(header, static_cast<std::int32_t>(kHeaderAreaSize), digest);
}

void CheckDigestSeal(const std::uint8_t* image, const InspectOptions& options, const SealKeys& keys,
                     bool known, Report* report) {
  if (!known) {
    AddCheck(report, CheckId::kDigestSeal, Verdict::kNotVerifiable, "%s", UnknownBytesReason());
    return;
  }
  if (keys.sealOrigin == KeyOrigin::kMalformed) {
    AddCheck(report, CheckId::kDigestSeal, Verdict::kNotVerifiable,
             "aes.txt in %s cannot be read", options.keyDir);
    return;
  }
  std::uint8_t expected[kSha256DigestSize];
  HeaderDigestAtSealing(image, expected);
  std::uint8_t opened[kDigestSealSize];
  std::memcpy(opened, image + kDigestSealOffset, kDigestSealSize);
  const bool opensToDigest =
      AesCbcZeroIv(keys.seal, MBEDTLS_AES_DECRYPT, opened, sizeof opened) == 0 &&
      std::memcmp(opened, expected, kDigestSealSize) == 0;
  if (opensToDigest) {
    AddCheck(report, CheckId::kDigestSeal, Verdict::kOk, "opens to the header digest");
  } else {
    AddCheck(report, CheckId::kDigestSeal, Verdict::kFailed,
             "does not open to the header digest (a changed header or seal, or another seal key)");
  }
}

bool LoadStoredPublicKey(const std::uint8_t* image, mbedtls_rsa_context* rsa) {
  return mbedtls_mpi_read_binary_le(&rsa->N, image + kModulusOffset, kModulusSize) == 0 &&
         mbedtls_mpi_read_binary_le(&rsa->E, image + kExponentOffset, kExponentSize) == 0 &&
         mbedtls_mpi_bitlen(&rsa->N) == kRsaModulusBits;
}

void CheckRsaSignature(const std::uint8_t* image, Report* report) {
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  rsa.len = kRsaBlockSize;
  std::uint8_t recovered[kRsaBlockSize];
  int ret = LoadStoredPublicKey(image, &rsa) ? 0 : -1;
  if (ret == 0) ret = mbedtls_rsa_public(&rsa, image + kRsaSignatureOffset, recovered);
  mbedtls_rsa_free(&rsa);
  if (ret != 0) {
    AddCheck(report, CheckId::kRsaSignature, Verdict::kFailed,
             "S^E mod N cannot be taken with the stored modulus and exponent (-0x%04x)",
             static_cast<unsigned>(ret < 0 ? -ret : ret));
    return;
  }
  std::uint8_t digest[kSha256DigestSize];
  HeaderDigestAtSealing(image, digest);
  std::uint8_t block[kRsaBlockSize] = {};
  ReverseCopy(digest, block, static_cast<std::uint8_t>(kSha256DigestSize));
  if (std::memcmp(block, recovered, kRsaBlockSize) == 0) {
    AddCheck(report, CheckId::kRsaSignature, Verdict::kOk,
             "S^E mod N with the stored N and E gives the header digest");
  } else {
    AddCheck(report, CheckId::kRsaSignature, Verdict::kFailed,
             "S^E mod N with the stored N and E does not give the header digest");
  }
}

// The stored modulus and exponent against rsa_pub.txt of the key folder.
void CheckStoredPublicKey(const std::uint8_t* image, const InspectOptions& options,
                          Report* report) {
  char path[PATH_MAX];
  KeyPath(options, kRsaPublicKeyFileName, path);
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    AddCheck(report, CheckId::kPublicKey, Verdict::kNotVerifiable, "no %s in %s",
             kRsaPublicKeyFileName, options.keyDir);
    return;
  }
  mbedtls_rsa_context fromFile, stored;
  mbedtls_rsa_init(&fromFile, 0, 0);
  mbedtls_rsa_init(&stored, 0, 0);
  const bool read = mbedtls_mpi_read_file(&fromFile.N, 16, stream) == 0 &&
                    mbedtls_mpi_read_file(&fromFile.E, 16, stream) == 0;
  std::fclose(stream);
  const bool loaded = LoadStoredPublicKey(image, &stored);
  const bool same = read && loaded && mbedtls_mpi_cmp_mpi(&fromFile.N, &stored.N) == 0 &&
                    mbedtls_mpi_cmp_mpi(&fromFile.E, &stored.E) == 0;
  mbedtls_rsa_free(&fromFile);
  mbedtls_rsa_free(&stored);
  if (!read) {
    AddCheck(report, CheckId::kPublicKey, Verdict::kNotVerifiable, "%s in %s cannot be read",
             kRsaPublicKeyFileName, options.keyDir);
  } else if (same) {
    AddCheck(report, CheckId::kPublicKey, Verdict::kOk, "stored N and E are those of %s in %s",
             kRsaPublicKeyFileName, options.keyDir);
  } else {
    AddCheck(report, CheckId::kPublicKey, Verdict::kFailed, "stored N or E differ from %s in %s",
             kRsaPublicKeyFileName, options.keyDir);
  }
}

void WarnAboutSealKeys(const SealKeys& keys, RunMode mode, Report* report) {
  if (keys.bodyOrigin == KeyOrigin::kDefault) {
    AddWarning(report, "the body was encrypted under the built-in default key: aes.txt was absent");
  }
  if (mode != RunMode::kAesSeal) return;
  if (keys.sealOrigin == KeyOrigin::kDefault) {
    AddWarning(report, "the digest seal uses the built-in default key: anyone with sealtool can forge it");
  } else if (AllZero(keys.seal, kAesKeySize)) {
    AddWarning(report, "the digest seal uses a key of 16 zero bytes (aes.txt in the token form): "
                       "anyone can forge it");
  }
}

// True for a byte that the run of the mode writes or clears, so that it may
// differ from the input; mask tells which of its bits (the DRAM count field
// keeps the high nibble of its second byte).
std::uint8_t WrittenBits(std::size_t offset, const Report& report) {
  const std::size_t bootHeader = report.layout.bootHeader;
  if (offset >= bootHeader + kMarkerField && offset < bootHeader + kChecksumField + 2) return 0xFF;
  if (report.mode == RunMode::kKeyRecord) {
    return (offset >= kWrappedKeyOffset && offset < kWrappedKeyOffset + kWrappedKeySize) ? 0xFF : 0;
  }
  if (offset == report.layout.dramCountField) return 0xFF;
  if (offset == report.layout.dramCountField + 1) return 0x0F;
  if (!IsSecureMode(report.mode) || !ChipClearsSealRegions(report.chip)) return 0;
  const std::size_t clearedFrom = report.mode == RunMode::kRsa ? kModulusOffset : kRsaSignatureOffset;
  return (offset >= clearedFrom && offset < kBodyAreaOffset) ? 0xFF : 0;
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

void CheckSealedImage(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  SealKeys keys{};
  LoadSealKeys(options, report->chip, &keys, report);
  if (keys.bodyOrigin == KeyOrigin::kMalformed) {
    AddCheck(report, CheckId::kBodyKey, Verdict::kNotVerifiable,
             "aes.txt in %s cannot be read or holds no 32-character key token", options.keyDir);
    mbedtls_platform_zeroize(&keys, sizeof keys);
    return;
  }
  std::memcpy(gRebuilt, image, kImageSize);
  const int decrypted =
      AesCbcZeroIv(keys.body, MBEDTLS_AES_DECRYPT, gRebuilt + kBodyAreaOffset, kBodyAreaSize);
  if (decrypted != 0) {
    AddCheck(report, CheckId::kBodyKey, Verdict::kFailed, "the body cannot be decrypted (-0x%04x)",
             static_cast<unsigned>(-decrypted));
    mbedtls_platform_zeroize(&keys, sizeof keys);
    return;
  }
  const bool known = RebuildPlainImage(options, report->mode, report->chip);
  CheckImageDigest(image, known, report);
  if (report->mode == RunMode::kRsa) {
    CheckRsaSignature(image, report);
    CheckStoredPublicKey(image, options, report);
  } else {
    CheckDigestSeal(image, options, keys, known, report);
  }
  if (known) {
    CheckChecksum(gRebuilt, report, "the decrypted image as it stood before sealing");
  } else {
    AddCheck(report, CheckId::kChecksum, Verdict::kNotVerifiable, "%s", UnknownBytesReason());
  }
  CheckDramCount(report);
  if (known) CheckAgainstInput(gRebuilt, options, report);
  WarnAboutSealKeys(keys, report->mode, report);
  mbedtls_platform_zeroize(&keys, sizeof keys);
  mbedtls_platform_zeroize(gRebuilt, sizeof gRebuilt);
}

// A detected sealed mode stands only when a digest, seal or signature could
// be checked; when none could, the image may as well be a damaged plain one.
bool SealJudged(const Report& report) {
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    const bool cryptographic = check.id == CheckId::kImageDigest ||
                               check.id == CheckId::kDigestSeal ||
                               check.id == CheckId::kRsaSignature;
    if (cryptographic && check.verdict != Verdict::kNotVerifiable) return true;
  }
  return false;
}

// The key an RSA image carries, and whether it is the one a release expects.
void IdentifyKey(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  report->hasKeyIds = report->mode == RunMode::kRsa && ComputeImageKeyIds(image, &report->keyIds) == 0;
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
  } else {
    AddCheck(report, CheckId::kExpectedKey, Verdict::kFailed,
             "the image carries another key (header key id %.16s...)", carried);
  }
}

void RunChecksOfMode(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  switch (report->mode) {
    case RunMode::kPlain:
      CheckChecksum(image, report, "the image");
      CheckDramCount(report);
      CheckAgainstInput(image, options, report);
      break;
    case RunMode::kKeyRecord:
      CheckChecksum(image, report, "the image");
      CheckWrappedKey(image, options, report);
      CheckAgainstInput(image, options, report);
      break;
    default:
      CheckSealedImage(image, options, report);
      break;
  }
}

}  // namespace

bool DetectChip(const std::uint8_t* image, std::int32_t* chip) {
  const bool groupA = CheckBootCode(image + ChipLayoutOfGroup(ChipGroup::kA).bootHeader) == 0;
  const bool groupB = CheckBootCode(image + ChipLayoutOfGroup(ChipGroup::kB).bootHeader) == 0;
  if (groupA == groupB) return false;
  if (groupB) {
    *chip = 0;
  } else {
    *chip = LooksRsaSigned(image) ? kRsaChip : 753;
  }
  return true;
}

bool InspectImage(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  std::memset(report, 0, sizeof *report);
  report->chip = options.chip;
  report->chipDetected = !options.chipGiven;
  if (!options.chipGiven && !DetectChip(image, &report->chip)) {
    return false;
  }
  report->layout = SelectChipLayout(report->chip);
  DescribeHeader(image, report);
  report->modeDetected = !options.modeGiven;
  const ModeGuess guess =
      report->modeDetected ? GuessMode(image, options, *report) : ModeGuess{options.mode, nullptr};
  report->mode = guess.mode;
  RunChecksOfMode(image, options, report);
  IdentifyKey(image, options, report);
  if (guess.alternatives != nullptr) {
    AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable,
             "the image could be %s: give --mode", guess.alternatives);
  } else if (report->modeDetected && IsSecureMode(report->mode) && !SealJudged(*report)) {
    AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable,
             "the image could be %s, or a plain or key-record image whose checksum does not "
             "hold: no seal could be verified (give --mode, --input, --assume-zero or other keys)",
             RunModeName(report->mode));
  }
  return true;
}

Outcome ReportOutcome(const Report& report) {
  Outcome outcome = Outcome::kOk;
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    if (report.checks[i].verdict == Verdict::kFailed) return Outcome::kFailed;
    if (report.checks[i].verdict == Verdict::kNotVerifiable) outcome = Outcome::kUnverified;
  }
  return outcome;
}

int ReportExitStatus(const Report& report) {
  switch (ReportOutcome(report)) {
    case Outcome::kOk: return 0;
    case Outcome::kFailed: return 1;
    default: return 3;
  }
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "ok";
    case Outcome::kFailed: return "FAILED";
    default: return "unverified";
  }
}

const char* CheckName(CheckId id) {
  switch (id) {
    case CheckId::kBodyKey: return "body key";
    case CheckId::kImageDigest: return "image digest";
    case CheckId::kDigestSeal: return "digest seal";
    case CheckId::kRsaSignature: return "rsa signature";
    case CheckId::kPublicKey: return "public key";
    case CheckId::kChecksum: return "checksum";
    case CheckId::kDramCount: return "dram count";
    case CheckId::kWrappedKey: return "wrapped key";
    case CheckId::kInput: return "input";
    case CheckId::kExpectedKey: return "expected key";
    default: return "mode";
  }
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk: return "ok";
    case Verdict::kFailed: return "FAILED";
    default: return "not verifiable";
  }
}

}  // namespace sealtool::inspect
