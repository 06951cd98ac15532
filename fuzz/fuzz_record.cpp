// The release record's reader and writer: a text the reader takes, written
// out again, reads back to the same images (non-UTF-8 text included, which
// the writer escapes as hex).
#include <cstdint>
#include <string>
#include <vector>

#include "release/release_record.h"

namespace {

bool SameKeys(const sealtool::RecordedKey& a, const sealtool::RecordedKey& b) {
  return a.role == b.role && a.reference == b.reference && a.source == b.source && a.inToken == b.inToken &&
         a.tokenLabel == b.tokenLabel && a.tokenManufacturer == b.tokenManufacturer &&
         a.tokenModel == b.tokenModel && a.tokenSerial == b.tokenSerial && a.checkValue == b.checkValue &&
         a.inKeyring == b.inKeyring && a.keyringName == b.keyringName && a.keyringUse == b.keyringUse &&
         a.keyringStatus == b.keyringStatus;
}

bool SameImages(const sealtool::RecordedImage& a, const sealtool::RecordedImage& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (std::size_t i = 0; i < a.keys.size(); ++i) {
    if (!SameKeys(a.keys[i], b.keys[i])) return false;
  }
  return a.name == b.name && a.input == b.input && a.inputSha256 == b.inputSha256 && a.output == b.output &&
         a.outputSha256 == b.outputSha256 && a.chip == b.chip && a.secureBoot == b.secureBoot &&
         a.mode == b.mode && a.builtInKeysAllowed == b.builtInKeysAllowed && a.hasKeyIds == b.hasKeyIds &&
         a.headerKeyId == b.headerKeyId && a.spkiKeyId == b.spkiKeyId &&
         a.signatureSupplied == b.signatureSupplied && a.hasDigests == b.hasDigests &&
         a.imageDigest == b.imageDigest && a.headerDigest == b.headerDigest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<sealtool::RecordedImage> first;
  std::string problem;
  if (!sealtool::ParseRecord(text, &first, &problem)) return 0;
  const std::string written = sealtool::FormatRecord(first);
  std::vector<sealtool::RecordedImage> second;
  if (!sealtool::ParseRecord(written, &second, &problem)) __builtin_trap();
  if (first.size() != second.size()) __builtin_trap();
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (!SameImages(first[i], second[i])) __builtin_trap();
  }
  return 0;
}
