// sealinfo's inspection and both of its reports on arbitrary images, with
// the verifier's promise as the invariant: a report that passes (exit status
// 0) holds every check that establishes the image's integrity in its mode,
// each of them ok. Input: an option byte (chip, --chip, --mode, mode,
// --assume-zero), a key byte (aes.txt, rsa_pub.txt holding the image's own
// key, --expect-key with the image's own key id, --input, --keyring holding
// aes.txt's key active or revoked), the image (zero-filled to 32768 bytes),
// then the input image when one is given. With a keyring, a report that
// passes names every key it checked by a key the keyring holds unrevoked.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include <mbedtls/bignum.h>

#include "fuzz_support.h"
#include "image/checksum.h"
#include "image/layout.h"
#include "inspect.h"
#include "keyring_names.h"
#include "report_output.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "seal/rsa_seal.h"

namespace {

using sealtool::RunMode;
using sealtool::inspect::CheckId;
using sealtool::inspect::Report;
using sealtool::inspect::Verdict;

constexpr std::int32_t kChips[8] = {742, 753, 764, 775, 0, 731, 1, -1};
constexpr RunMode kModes[4] = {RunMode::kPlain, RunMode::kKeyRecord, RunMode::kAesSeal,
                               RunMode::kRsa};

enum KeyBits : std::uint8_t {
  kWriteAesKey = 1u << 0,
  kWriteImageKey = 1u << 1,
  kPinImageKey = 1u << 2,
  kGiveInput = 1u << 3,
  kUseKeyring = 1u << 4,
  kRevokeKey = 1u << 5,
};

// A keyring of one key: aes.txt's (check value 7df76b, worked out with
// openssl enc -aes-128-ecb of a zero block).
sealtool::Keyring OneKeyKeyring(bool revoked) {
  sealtool::Keyring keyring;
  sealtool::KeyringEntry entry;
  entry.name = "fuzz";
  entry.id = "7df76b";
  entry.use = sealtool::KeyUse::kProduction;
  entry.status = revoked ? sealtool::KeyStatus::kRevoked : sealtool::KeyStatus::kActive;
  keyring.keys.push_back(entry);
  return keyring;
}

bool NamedKeysAreHeld(const Report& report) {
  for (std::size_t i = 0; i < report.namedKeyCount; ++i) {
    const sealtool::KeyringEntry* entry = report.namedKeys[i].entry;
    if (entry == nullptr || entry->status == sealtool::KeyStatus::kRevoked) return false;
  }
  return true;
}

void FillImage(sealtool::fuzz::InputReader* input, std::uint8_t* image) {
  std::memset(image, 0, sealtool::kImageSize);
  const std::string bytes = input->Bytes(sealtool::kImageSize);
  std::copy(bytes.begin(), bytes.end(), image);
}

// rsa_pub.txt with the N and E the image stores, so that the public-key
// check can pass on any image that carries a key.
void WriteImageKeyFile(const std::uint8_t* image) {
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  std::FILE* out = std::fopen("rsa_pub.txt", "w");
  if (out == nullptr) __builtin_trap();
  if (sealtool::LoadImagePublicKey(image, &n, &e)) {
    mbedtls_mpi_write_file("N = ", &n, 16, out);
    mbedtls_mpi_write_file("E = ", &e, 16, out);
  }
  std::fclose(out);
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
}

bool CheckIsOk(const Report& report, CheckId id) {
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    if (report.checks[i].id == id) return report.checks[i].verdict == Verdict::kOk;
  }
  return false;
}

// The checks without which no image of the mode is known to be intact.
bool RequiredChecksPassed(const Report& report, const sealtool::inspect::InspectOptions& options,
                          const std::uint8_t* image) {
  bool passed = options.expectedKeyId == nullptr || CheckIsOk(report, CheckId::kExpectedKey);
  if (options.input != nullptr) passed = passed && CheckIsOk(report, CheckId::kInput);
  switch (report.mode) {
    case RunMode::kPlain:
      return passed && CheckIsOk(report, CheckId::kChecksum) &&
             CheckIsOk(report, CheckId::kDramCount) && sealtool::ImageChecksumHolds(image);
    case RunMode::kKeyRecord:
      return passed && CheckIsOk(report, CheckId::kChecksum) &&
             CheckIsOk(report, CheckId::kWrappedKey) && sealtool::ImageChecksumHolds(image);
    default:
      break;
  }
  passed = passed && CheckIsOk(report, CheckId::kImageDigest) &&
           CheckIsOk(report, CheckId::kChecksum) && CheckIsOk(report, CheckId::kDramCount);
  if (report.mode == RunMode::kRsa) {
    return passed && report.chip == sealtool::kRsaChip &&
           CheckIsOk(report, CheckId::kRsaSignature) && CheckIsOk(report, CheckId::kPublicKey);
  }
  const bool clears = sealtool::ChipClearsSealRegions(report.chip);
  return passed && CheckIsOk(report, CheckId::kDigestSeal) &&
         (!clears || CheckIsOk(report, CheckId::kClearedBytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sealtool::fuzz::SetUpOnce();
  sealtool::fuzz::ClearScratchFiles();
  sealtool::fuzz::InputReader input{data, size};
  const std::uint8_t optionByte = input.Byte();
  const std::uint8_t keyByte = input.Byte();
  static std::uint8_t image[sealtool::kImageSize];
  static std::uint8_t inputImage[sealtool::kImageSize];
  FillImage(&input, image);

  sealtool::inspect::InspectOptions options;
  options.chip = kChips[optionByte & 7u];
  options.chipGiven = (optionByte & 8u) != 0;
  options.modeGiven = (optionByte & 16u) != 0;
  options.mode = kModes[(optionByte >> 5) & 3u];
  options.assumeZero = (optionByte & 128u) != 0;
  if ((keyByte & kWriteAesKey) != 0) {
    static const char kAesText[] = "#k\n2b7e151628aed2a6abf7158809cf4f3c\n";
    sealtool::fuzz::WriteScratchFile("aes.txt", reinterpret_cast<const std::uint8_t*>(kAesText),
                                     sizeof kAesText - 1);
  }
  if ((keyByte & kWriteImageKey) != 0) WriteImageKeyFile(image);
  static sealtool::KeyIds ids;
  if ((keyByte & kPinImageKey) != 0 && sealtool::ComputeImageKeyIds(image, &ids)) {
    options.expectedKeyId = ids.header;
  }
  if ((keyByte & kGiveInput) != 0) {
    FillImage(&input, inputImage);
    options.input = inputImage;
  }

  static Report report;
  if (!sealtool::inspect::InspectImage(image, options, &report)) return 0;
  const sealtool::Keyring keyring = OneKeyKeyring((keyByte & kRevokeKey) != 0);
  if ((keyByte & kUseKeyring) != 0) {
    sealtool::inspect::KeyringGate gate;
    gate.keyring = &keyring;
    sealtool::inspect::NameImageKeys(image, options, gate, &report);
  }
  sealtool::inspect::PrintTextReport("fuzz.bin", image, report);
  sealtool::inspect::PrintJsonReport("fuzz.bin", image, report);
  const int status = sealtool::inspect::ReportExitStatus(report);
  if (status != 0 && status != 1 && status != 3) __builtin_trap();
  if (status == 0 && !RequiredChecksPassed(report, options, image)) __builtin_trap();
  if (status == 0 && !NamedKeysAreHeld(report)) __builtin_trap();
  return 0;
}
