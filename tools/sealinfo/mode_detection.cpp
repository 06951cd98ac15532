#include "mode_detection.h"

#include <cstring>

#include "image/checksum.h"
#include "image/dram_table.h"
#include "image/header_info.h"
#include "image/layout.h"

namespace sealtool::inspect {
namespace {

// Chip 742 clears the signature span before sealing in both of its secure
// modes; only the RSA signature fills its first 96 bytes (the digest seal
// lies behind them). Any other image keeps input bytes there.
bool SignatureSpanUsed(const std::uint8_t* image) {
  return !BytesAreZero(image + kRsaSignatureOffset, kDigestSealOffset - kRsaSignatureOffset);
}

// True when the exponent area holds what RSA mode stores: a non-zero E that
// fits its first eight bytes.
bool ExponentAreaHoldsE(const std::uint8_t* image) {
  const std::uint8_t* exponent = image + kExponentOffset;
  return !BytesAreZero(exponent, 8) && BytesAreZero(exponent + 8, kExponentSize - 8);
}

// Bytes that only sealing writes on chips 742 and 775, which clear them
// before sealing: the signature span's first 96 bytes (RSA, chip 742 only)
// or the digest seal and image digest (both secure modes).
bool HoldsSealingBytes(const std::uint8_t* image, std::int32_t chip) {
  if (!ChipClearsSealRegions(chip)) return false;
  return (chip == kRsaChip && SignatureSpanUsed(image)) ||
         !BytesAreZero(image + kDigestSealOffset, kDigestSealSize + kImageDigestSize);
}

// Whether the DRAM count field holds what a plain run stores: the count of
// the table's counted entries, in 12 bits.
bool DramCountIsStored(const std::uint8_t* image, std::int32_t chip) {
  const ChipLayout layout = SelectChipLayout(chip);
  const unsigned counted =
      CountCountedDramEntries(image + layout.dramTable, kImageSize - layout.dramTable, chip);
  return LoadDramParamNumber(image + layout.dramCountField) == counted % 4096u;
}

// Plain and key-record runs both leave a checksum that holds. Only plain
// runs store the DRAM count; only key-record runs need a key record, and
// only they wrap a key that unwraps to the user's. The input, when given,
// shows which of the two fields the run changed.
void WeighUnsealedModes(const std::uint8_t* image, std::int32_t chip, const std::uint8_t* input,
                        bool wrapsUserKey, ModeEvidence* evidence) {
  const std::size_t countField = SelectChipLayout(chip).dramCountField;
  const bool keptWrappedKey =
      input == nullptr ||
      std::memcmp(image + kWrappedKeyOffset, input + kWrappedKeyOffset, kWrappedKeySize) == 0;
  const bool keptDramCount = input == nullptr || LoadDramParamNumber(image + countField) ==
                                                     LoadDramParamNumber(input + countField);
  const bool plainPossible = DramCountIsStored(image, chip) && keptWrappedKey;
  const bool keyRecordPossible = CheckWrKeyCode(image + kKeyRecordOffset) == 0 && keptDramCount;
  evidence->alternatives = nullptr;
  if (keyRecordPossible && wrapsUserKey) {
    evidence->unsealed = RunMode::kKeyRecord;
  } else if (plainPossible && keyRecordPossible && input == nullptr) {
    // With the input both fields unchanged means both runs write the same image.
    evidence->unsealed = RunMode::kPlain;
    evidence->alternatives =
        "plain, or key-record with a user key other than the one in the key folder";
  } else {
    evidence->unsealed = keyRecordPossible ? RunMode::kKeyRecord : RunMode::kPlain;
  }
}

}  // namespace

bool BytesAreZero(const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

bool DetectChip(const std::uint8_t* image, std::int32_t* chip) {
  const bool groupA = CheckBootCode(image + ChipLayoutOfGroup(ChipGroup::kA).bootHeader) == 0;
  const bool groupB = CheckBootCode(image + ChipLayoutOfGroup(ChipGroup::kB).bootHeader) == 0;
  if (groupA == groupB) return false;
  if (groupB) {
    *chip = 0;
  } else {
    *chip = SignatureSpanUsed(image) && ExponentAreaHoldsE(image) ? kRsaChip : 753;
  }
  return true;
}

ModeEvidence WeighModeEvidence(const std::uint8_t* image, std::int32_t chip,
                               const std::uint8_t* input, bool wrapsUserKey) {
  ModeEvidence evidence{};
  evidence.checksumHolds = ImageChecksumHolds(image);
  evidence.sealingBytes = HoldsSealingBytes(image, chip);
  evidence.sealed = chip == kRsaChip && SignatureSpanUsed(image) ? RunMode::kRsa : RunMode::kAesSeal;
  WeighUnsealedModes(image, chip, input, wrapsUserKey, &evidence);
  return evidence;
}

}  // namespace sealtool::inspect
