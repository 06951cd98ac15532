#include "checks.h"

#include <cstring>
#include <initializer_list>

#include <mbedtls/aes.h>
#include <mbedtls/bignum.h>

#include "digest/sha256.h"
#include "image/layout.h"
#include "keys/aes_key_file.h"
#include "keys/public_key.h"
#include "keys/rsa_key_files.h"
#include "mode_detection.h"
#include "keys/aes_cbc.h"
#include "image/checksum.h"
#include "platform/file_facts.h"
#include "seal/rsa_seal.h"
#include "seal/rsa_signature.h"
#include "secret/wipe_guard.h"

namespace sealtool::inspect {
namespace {

// The image as it stood when its checksum was stored: the body decrypted and
// the regions that sealing filled restored to what they held then.
std::uint8_t gRebuilt[kImageSize];

struct SealKeys {
  std::uint8_t body[kKeyBufferSize];
  std::uint8_t seal[kKeyBufferSize];
  KeyOrigin bodyOrigin;
  KeyOrigin sealOrigin;
};

void LoadSealKeys(const InspectOptions& options, std::int32_t chip, SealKeys* keys,
                  Report* report) {
  char bodyPath[kMaxPathSize];
  char sealPath[kMaxPathSize];
  AesKeyPath(options, bodyPath);
  SealKeyPath(options, sealPath);
  std::memset(keys, 0, sizeof *keys);
  bool allHexDigits = true;
  keys->bodyOrigin = FindAesKeyToken(bodyPath, chip, keys->body, &allHexDigits);
  keys->sealOrigin = FindAesKeyBytes(sealPath, chip, keys->seal);
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
    char name[kKeyFileNameSize];
    KeyFileName(options, true, name);
    AddCheck(report, CheckId::kDigestSeal, Verdict::kNotVerifiable, "%.140s cannot be read", name);
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
  const bool loaded = LoadImagePublicKey(image, &n, &e);
  const RsaSealCheck seal = loaded ? CheckRsaSeal(&n, &e, image + kRsaSignatureOffset, block)
                                   : RsaSealCheck::kUnsoundKey;
  const bool exponentSound = loaded && PublicExponentIsSound(&e);
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

// The stored modulus and exponent against the public key file: rsa_pub.txt
// of the key folder, or the file named in its place.
void CheckStoredPublicKey(const std::uint8_t* image, const InspectOptions& options,
                          Report* report) {
  char path[kMaxPathSize];
  char shown[kMaxPathSize + 32];
  if (options.rsaPubPath != nullptr) {
    std::snprintf(path, sizeof path, "%s", options.rsaPubPath);
    std::snprintf(shown, sizeof shown, "%s", options.rsaPubPath);
  } else {
    KeyPath(options, kRsaPublicKeyFileName, path);
    std::snprintf(shown, sizeof shown, "%s in %s", kRsaPublicKeyFileName, options.keyDir);
  }
  if (KindOfFile(path, true) == FileKind::kMissing) {
    AddCheck(report, CheckId::kPublicKey, Verdict::kNotVerifiable, "no %.180s", shown);
    return;
  }
  mbedtls_mpi fileN, fileE, storedN, storedE;
  for (mbedtls_mpi* value : {&fileN, &fileE, &storedN, &storedE}) mbedtls_mpi_init(value);
  mbedtls_mpi* const values[] = {&fileN, &fileE};
  const bool read = ReadRsaKeyValues(path, values, 2) == sealtool::RsaKeyFileRead::kRead;
  const bool loaded = LoadImagePublicKey(image, &storedN, &storedE);
  const bool same = read && loaded && mbedtls_mpi_cmp_mpi(&fileN, &storedN) == 0 &&
                    mbedtls_mpi_cmp_mpi(&fileE, &storedE) == 0;
  for (mbedtls_mpi* value : {&fileN, &fileE, &storedN, &storedE}) mbedtls_mpi_free(value);
  if (!read) {
    AddCheck(report, CheckId::kPublicKey, Verdict::kNotVerifiable, "%.170s cannot be read", shown);
  } else if (same) {
    AddCheck(report, CheckId::kPublicKey, Verdict::kOk, "stored N and E are those of %.150s", shown);
  } else {
    AddCheck(report, CheckId::kPublicKey, Verdict::kFailed, "stored N or E differ from %.150s", shown);
  }
}

void WarnAboutSealKeys(const SealKeys& keys, RunMode mode, Report* report) {
  if (keys.bodyOrigin == KeyOrigin::kDefault) {
    AddWarning(report, "the body was encrypted under the built-in default key: aes.txt was absent");
  }
  if ((ModeInfoOf(mode).writes & kRegionDigestSeal) == 0) return;
  if (keys.sealOrigin == KeyOrigin::kDefault) {
    AddWarning(report, "the digest seal uses the built-in default key: anyone with sealtool can forge it");
  } else if (BytesAreZero(keys.seal, kAesKeySize)) {
    AddWarning(report, "the digest seal uses a key of 16 zero bytes (aes.txt in the token form): "
                       "anyone can forge it");
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

// The body decrypted, the image rebuilt as it stood before sealing, and
// every check that the rebuilt image allows.
void CheckDecryptedImage(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  SealKeys keys{};
  const WipeOnExit wipeKeys(&keys, sizeof keys);
  const WipeOnExit wipeRebuilt(gRebuilt, sizeof gRebuilt);
  LoadSealKeys(options, report->chip, &keys, report);
  if (keys.bodyOrigin == KeyOrigin::kMalformed) {
    char name[kKeyFileNameSize];
    KeyFileName(options, false, name);
    AddCheck(report, CheckId::kBodyKey, Verdict::kNotVerifiable,
             "%.140s cannot be read or holds no 32-character key token", name);
    return;
  }
  std::memcpy(gRebuilt, image, kImageSize);
  const int decrypted =
      AesCbcZeroIv(keys.body, MBEDTLS_AES_DECRYPT, gRebuilt + kBodyAreaOffset, kBodyAreaSize);
  if (decrypted != 0) {
    AddCheck(report, CheckId::kBodyKey, Verdict::kFailed, "the body cannot be decrypted (-0x%04x)",
             static_cast<unsigned>(-decrypted));
    return;
  }
  const bool known = RebuildPlainImage(options, report->mode, report->chip);
  CheckImageDigest(image, known, report);
  const unsigned writes = ModeInfoOf(report->mode).writes;
  if ((writes & kRegionRsaSignature) != 0) {
    CheckRsaSignature(image, report);
    CheckStoredPublicKey(image, options, report);
  }
  if ((writes & kRegionDigestSeal) != 0) CheckDigestSeal(image, options, keys, known, report);
  if (known) {
    CheckChecksum(gRebuilt, report, "the decrypted image as it stood before sealing");
  } else {
    AddCheck(report, CheckId::kChecksum, Verdict::kNotVerifiable, "%s", UnknownBytesReason());
  }
  CheckDramCount(report);
  if (known) CheckAgainstInput(gRebuilt, options, report);
  WarnAboutSealKeys(keys, report->mode, report);
}

}  // namespace

void CheckSealedImage(const std::uint8_t* image, const InspectOptions& options, Report* report) {
  CheckDecryptedImage(image, options, report);
  // Regions the run clears but does not fill must still be zero.
  const RunModeInfo& mode = ModeInfoOf(report->mode);
  if ((mode.clears & ~mode.writes) != 0 && ChipClearsSealRegions(report->chip)) {
    CheckClearedBytes(image, report);
  }
}

}  // namespace sealtool::inspect
