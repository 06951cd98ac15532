// The one place that names the regions of the 32768-byte boot image.
//
// The first 512 bytes (the header area) stay plain in every mode and carry
// the records the tool checks and fills; the rest (the body area) is
// encrypted in the secure modes. The two chip groups differ only in where
// the boot header and its DRAM records sit; from offset 112 on the layout is
// shared.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

inline constexpr std::size_t kImageSize = 32768;

inline constexpr std::size_t kHeaderAreaOffset = 0;
inline constexpr std::size_t kHeaderAreaSize = 512;
inline constexpr std::size_t kBodyAreaOffset = 512;
inline constexpr std::size_t kBodyAreaSize = kImageSize - kBodyAreaOffset;

// Fields relative to the boot header.
inline constexpr std::size_t kMarkerField = 0;
inline constexpr std::size_t kChecksumField = 2;
inline constexpr std::size_t kVersionBytesField = 8;
inline constexpr std::size_t kVersionBytesSize = 4;
inline constexpr std::size_t kDramCountField = 8;
inline constexpr std::size_t kDramTableField = 16;

inline constexpr std::uint16_t kBootHeaderMarker = 0xAA55;

// RSA-1024: the modulus, the signature and the RSA input block are all this
// long.
inline constexpr std::size_t kRsaBlockSize = 128;

// Fixed regions of the header area.
inline constexpr std::size_t kKeyRecordOffset = 112;
inline constexpr std::size_t kKeyRecordSize = 12;
inline constexpr std::size_t kWrappedKeyOffset = 128;
inline constexpr std::size_t kWrappedKeySize = 16;
inline constexpr std::size_t kModulusOffset = 192;
inline constexpr std::size_t kModulusSize = kRsaBlockSize;
inline constexpr std::size_t kExponentOffset = 320;
inline constexpr std::size_t kExponentSize = 32;
inline constexpr std::size_t kRsaSignatureOffset = 352;
inline constexpr std::size_t kRsaSignatureSize = kRsaBlockSize;
inline constexpr std::size_t kDigestSealOffset = 448;
inline constexpr std::size_t kDigestSealSize = 32;
inline constexpr std::size_t kImageDigestOffset = 480;
inline constexpr std::size_t kImageDigestSize = 32;

// The RSA regions lie side by side, the digest seal inside the signature
// span, and the image digest ends the header area: nothing crosses into the
// body.
static_assert(kModulusOffset + kModulusSize == kExponentOffset);
static_assert(kExponentOffset + kExponentSize == kRsaSignatureOffset);
static_assert(kRsaSignatureOffset + kRsaSignatureSize == kImageDigestOffset);
static_assert(kDigestSealOffset >= kRsaSignatureOffset);
static_assert(kDigestSealOffset + kDigestSealSize == kImageDigestOffset);
static_assert(kImageDigestOffset + kImageDigestSize == kHeaderAreaSize);
static_assert(kBodyAreaSize == 0x7E00);

inline constexpr std::uint32_t kKeyRecordMagic = 0x041A0B15;

// Chips 742, 753, 764 and 775; every other identifier is group B.
enum class ChipGroup { kA, kB };

struct ChipLayout {
  ChipGroup group;
  std::size_t bootHeader;
  std::size_t dramCountField;
  std::size_t dramTable;
};

inline constexpr std::int32_t kRsaChip = 742;

ChipGroup ChipGroupOf(std::int32_t chip);
ChipLayout SelectChipLayout(std::int32_t chip);
ChipLayout ChipLayoutOfGroup(ChipGroup group);

// Chips 742 and 775 get their sealing regions cleared before the checksum.
bool ChipClearsSealRegions(std::int32_t chip);

// The name of the region an image offset lies in, for messages: the
// innermost named region of the header area, or "body area".
const char* ImageRegionName(std::size_t offset, const ChipLayout& layout);

}  // namespace sealtool
