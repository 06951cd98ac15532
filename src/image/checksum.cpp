#include "image/checksum.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "image/byte_order.h"

namespace sealtool {

std::uint32_t SumHalfWordsWithIndex(const std::uint8_t* data,
                                    std::uint32_t length) {
  std::uint32_t sum = 0;
  const std::size_t halfWords = length >> 1;
  for (std::size_t i = 0; i < halfWords; ++i) {
    sum += static_cast<std::uint32_t>(LoadU16LE(data + 2 * i)) + static_cast<std::uint32_t>(i);
  }
  return sum;
}

std::uint16_t ComputeBinCheckSum(const std::uint8_t* data,
                                 std::uint32_t length) {
  const std::uint32_t ui32BinDataSumValue = SumHalfWordsWithIndex(data, length);
  Say("##ui32BinDataSumValue: 0x%08X\n", ui32BinDataSumValue);
  return static_cast<std::uint16_t>(0x10000u - (ui32BinDataSumValue & 0xFFFFu));
}

bool ImageChecksumHolds(const std::uint8_t* image) {
  return (SumHalfWordsWithIndex(image, kImageSize) & 0xFFFFu) == 0;
}

void WriteMarkerAndClearChecksum(std::uint8_t* image, const ChipLayout& layout) {
  StoreU16LE(image + layout.bootHeader + kMarkerField, kBootHeaderMarker);
  StoreU16LE(image + layout.bootHeader + kChecksumField, 0);
}

void ClearSealRegions(std::uint8_t* image, RunMode mode) {
  const unsigned clears = ModeInfoOf(mode).clears;
  // The signature span holds the digest seal too.
  if ((clears & (kRegionRsaSignature | kRegionDigestSeal)) != 0) {
    std::memset(image + kRsaSignatureOffset, 0, kRsaSignatureSize);
  }
  if ((clears & kRegionImageDigest) != 0) std::memset(image + kImageDigestOffset, 0, kImageDigestSize);
  if ((clears & kRegionModulus) != 0) {
    std::memset(image + kExponentOffset, 0, kExponentSize);
    std::memset(image + kModulusOffset, 0, kModulusSize);
  }
}

void StoreImageChecksum(std::uint8_t* image, const ChipLayout& layout) {
  const std::uint16_t checksum = ComputeBinCheckSum(image, kImageSize);
  Say("CheckSum: 0x%04X\n\n", checksum);
  StoreU16LE(image + layout.bootHeader + kChecksumField, checksum);
}

}  // namespace sealtool
