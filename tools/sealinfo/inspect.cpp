#include "inspect.h"

#include <limits.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/bignum.h>

#include "image/byte_order.h"
#include "image/checksum.h"
#include "seal/aes_cbc.h"
#include "keys/aes_key_file.h"
#include "seal/key_record.h"
#include "keys/public_key.h"
#include "seal/rsa_seal.h"
#include "seal/rsa_signature.h"
#include "digest/sha256.h"

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

// Bytes that only sealing writes on chips 742 and 775, which clear them
// before sealing: the signature span's first 96 bytes (RSA, chip 742 only)
// or the digest seal and image digest (both secure modes).
bool HoldsSealingBytes(const std::uint8_t* image, std::int32_t chip) {
  if (!ChipClearsSealRegions(chip)) return false;
  return (chip == kRsaChip && SignatureSpanUsed(image)) ||
         !AllZero(image + kDigestSealOffset, kDigestSealSize + kImageDigestSize);
}

RunMode SealedModeGuess(const std::uint8_t* image, std::int32_t chip) {
  return chip == kRsaChip && SignatureSpanUsed(image) ? RunMode::kRsa : RunMode::kAesSeal;
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

// The RSA signature under the N and E the image stores, with the same check
// sealtool makes before it stores a seal.
void CheckRsaSignature(const std::uint8_t* image, Report* report) {
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  std::uint8_t digest[kSha256DigestSize];
  HeaderDigestAtSealing(image, digest);
  std::uint8_t block[kRsaBlockSize];
  MakeRsaInputBlock(digest, block);
  const int loaded = LoadImagePublicKey(image, &n, &e);
  const RsaSealCheck seal = loaded == 0 ? CheckRsaSeal(&n, &e, image + kRsaSignatureOffset, block)
                                        : RsaSealCheck::kUnsoundKey;
  const bool exponentSound = loaded == 0 && PublicExponentIsSound(&e);
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  switch (seal) {
    case RsaSealCheck::kVerifies:
      AddCheck(report, CheckId::kRsaSignature, Verdict::kOk,
               "S^E mod N with the stored N and E gives the header digest");
      break;
    case RsaSealCheck::kUnsoundKey:
      AddCheck(report, CheckId::kRsaSignature, Verdict::kFailed, "%s",
               exponentSound ? "the stored N is no 1024-bit RSA modulus"
                             : "the stored E is below 3 or even: such a signature protects nothing");
      break;
    default:
      AddCheck(report, CheckId::kRsaSignature, Verdict::kFailed,
               "S^E mod N with the stored N and E does not give the header digest");
      break;
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
  mbedtls_mpi fileN, fileE, storedN, storedE;
  for (mbedtls_mpi* value : {&fileN, &fileE, &storedN, &storedE}) mbedtls_mpi_init(value);
  const bool read = mbedtls_mpi_read_file(&fileN, 16, stream) == 0 &&
                    mbedtls_mpi_read_file(&fileE, 16, stream) == 0;
  std::fclose(stream);
  const bool loaded = LoadImagePublicKey(image, &storedN, &storedE) == 0;
  const bool same = read && loaded && mbedtls_mpi_cmp_mpi(&fileN, &storedN) == 0 &&
                    mbedtls_mpi_cmp_mpi(&fileE, &storedE) == 0;
  for (mbedtls_mpi* value : {&fileN, &fileE, &storedN, &storedE}) mbedtls_mpi_free(value);
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

// On chips 742 and 775 an AES-seal run clears the signature span and fills
// only its last 32 bytes (the digest seal); no digest covers the other 96,
// so a genuine image holds zeros there.
void CheckClearedBytes(const std::uint8_t* image, Report* report) {
  const std::uint8_t* span = image + kRsaSignatureOffset;
  constexpr std::size_t kCleared = kDigestSealOffset - kRsaSignatureOffset;
  std::size_t nonZero = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < kCleared; ++i) {
    if (span[i] != 0 && nonZero++ == 0) first = kRsaSignatureOffset + i;
  }
  if (nonZero == 0) {
    AddCheck(report, CheckId::kClearedBytes, Verdict::kOk, "bytes %zu-%zu hold zeros, as sealing leaves them",
             kRsaSignatureOffset, kDigestSealOffset - 1);
  } else {
    AddCheck(report, CheckId::kClearedBytes, Verdict::kFailed,
             "%zu of bytes %zu-%zu are not zero, the first at %zu: sealing clears them", nonZero,
             kRsaSignatureOffset, kDigestSealOffset - 1, first);
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
    TrustPinnedKey(report);
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
      if (report->mode == RunMode::kAesSeal && ChipClearsSealRegions(report->chip)) {
        CheckClearedBytes(image, report);
      }
      break;
  }
}

// A seal, checked, that opens: the mode that made it is settled.
bool SealVerifies(const Report& report) {
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    const bool seal = check.id == CheckId::kDigestSeal || check.id == CheckId::kRsaSignature;
    if (seal && check.verdict == Verdict::kOk) return true;
  }
  return false;
}

void ClearVerdicts(Report* report) {
  report->checkCount = 0;
  report->warningCount = 0;
  report->hasKeyIds = false;
}

void CheckAsMode(const std::uint8_t* image, const InspectOptions& options, RunMode mode,
                 Report* report) {
  ClearVerdicts(report);
  report->mode = mode;
  RunChecksOfMode(image, options, report);
  IdentifyKey(image, options, report);
  if (mode == RunMode::kRsa && report->chip != kRsaChip) {
    AddCheck(report, CheckId::kMode, Verdict::kFailed, "RSA mode is chip %d's only",
             static_cast<int>(kRsaChip));
  }
}

// Detects the mode from what each mode writes, and checks the image as it.
// Whenever the evidence leaves several modes possible and no seal settles it,
// the mode check says so: a sealed image whose checksum was made to hold is
// never passed as plain.
void DetectAndCheckMode(const std::uint8_t* image, const InspectOptions& options,
                        Report* report) {
  const RunMode sealed = SealedModeGuess(image, report->chip);
  if (!ImageChecksumHolds(image)) {
    CheckAsMode(image, options, sealed, report);
    if (!SealJudged(*report)) {
      AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable,
               "the image could be %s, or a plain or key-record image whose checksum does not "
               "hold: no seal could be verified (give --mode, --input, --assume-zero or other keys)",
               RunModeName(sealed));
    }
    return;
  }
  const ModeGuess unsealed = GuessChecksummedMode(image, options, *report);
  if (HoldsSealingBytes(image, report->chip)) {
    CheckAsMode(image, options, sealed, report);
    if (SealVerifies(*report)) return;
    CheckAsMode(image, options, unsealed.mode, report);
    AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable,
             "the image could be %s, or %s whose seal does not verify (bytes %zu-%zu hold what "
             "sealing writes): give --mode or --expect-key",
             unsealed.alternatives != nullptr ? unsealed.alternatives : RunModeName(unsealed.mode),
             RunModeName(sealed), kRsaSignatureOffset, kBodyAreaOffset - 1);
    return;
  }
  CheckAsMode(image, options, unsealed.mode, report);
  if (unsealed.alternatives != nullptr) {
    AddCheck(report, CheckId::kMode, Verdict::kNotVerifiable, "the image could be %s: give --mode",
             unsealed.alternatives);
  }
}

void InspectAsChip(const std::uint8_t* image, const InspectOptions& options, std::int32_t chip,
                   Report* report) {
  std::memset(report, 0, sizeof *report);
  report->chip = chip;
  report->chipDetected = !options.chipGiven;
  report->layout = SelectChipLayout(chip);
  DescribeHeader(image, report);
  report->modeDetected = !options.modeGiven;
  if (report->modeDetected) {
    DetectAndCheckMode(image, options, report);
  } else {
    CheckAsMode(image, options, options.mode, report);
  }
}

// Better outcomes first: ok, then unverified, then failed.
int OutcomeRank(const Report& report) {
  switch (ReportOutcome(report)) {
    case Outcome::kOk: return 0;
    case Outcome::kUnverified: return 1;
    default: return 2;
  }
}

// The marker tells group A, not which of its chips, and they seal
// differently. Every chip of the group is tried: a seal that verifies
// settles the chip; otherwise a verdict that would rest on the guess alone
// (ok as one chip, not as another) is only unverified.
void InspectAssumedGroupA(const std::uint8_t* image, const InspectOptions& options,
                          std::int32_t likeliest, Report* report) {
  static Report candidate;
  static Report best;
  InspectAsChip(image, options, likeliest, report);
  if (SealVerifies(*report)) return;
  best = *report;
  std::int32_t disagreeing = 0;
  for (const std::int32_t chip : {753, 775, 742, 764}) {
    if (chip == likeliest) continue;
    InspectAsChip(image, options, chip, &candidate);
    if (SealVerifies(candidate)) {
      *report = candidate;
      return;
    }
    if (OutcomeRank(candidate) != OutcomeRank(*report)) disagreeing = chip;
    if (OutcomeRank(candidate) < OutcomeRank(best)) best = candidate;
  }
  // A best verdict that is not ok already says why it is not.
  *report = best;
  if (disagreeing == 0 || ReportOutcome(best) != Outcome::kOk) return;
  const std::int32_t other = best.chip == likeliest ? disagreeing : likeliest;
  AddCheck(report, CheckId::kChip, Verdict::kNotVerifiable,
           "the chip is assumed from the marker: every check passes as chip %d but not as chip "
           "%d; give --chip",
           static_cast<int>(best.chip), static_cast<int>(other));
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
  if (options.chipGiven) {
    InspectAsChip(image, options, options.chip, report);
    return true;
  }
  std::int32_t chip = 0;
  if (!DetectChip(image, &chip)) {
    std::memset(report, 0, sizeof *report);
    return false;
  }
  if (ChipGroupOf(chip) == ChipGroup::kA) {
    InspectAssumedGroupA(image, options, chip, report);
  } else {
    InspectAsChip(image, options, chip, report);
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
    case CheckId::kClearedBytes: return "cleared bytes";
    case CheckId::kRsaSignature: return "rsa signature";
    case CheckId::kPublicKey: return "public key";
    case CheckId::kChecksum: return "checksum";
    case CheckId::kDramCount: return "dram count";
    case CheckId::kWrappedKey: return "wrapped key";
    case CheckId::kInput: return "input";
    case CheckId::kExpectedKey: return "expected key";
    case CheckId::kChip: return "chip";
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
