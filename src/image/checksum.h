// The 16-bit image checksum and the checksum step that every mode runs once.
//
// The checksum is chosen so that, when it is stored, the 16384 little-endian
// half-words of the image, each plus its own index, sum to zero modulo 65536.
#pragma once

#include <cstdint>

#include "image/layout.h"
#include "image/run_mode.h"

namespace sealtool {

// Sum of (half-word i + i) over length / 2 half-words, modulo 2^32. An odd
// trailing byte takes no part.
std::uint32_t SumHalfWordsWithIndex(const std::uint8_t* data,
                                    std::uint32_t length);

// Prints the raw-sum line and returns the two's complement of its low half.
std::uint16_t ComputeBinCheckSum(const std::uint8_t* data,
                                 std::uint32_t length);

// True when a whole image satisfies the invariant a device checks.
bool ImageChecksumHolds(const std::uint8_t* image);

// Marker 0xAA55 at the boot header and a zero checksum field, so that the
// sum is taken with the field empty.
void WriteMarkerAndClearChecksum(std::uint8_t* image, const ChipLayout& layout);

// Zeroes the regions that sealing fills (signature span and image digest,
// and in RSA mode the modulus and exponent areas too), so the checksum and
// the digests of chips 742 and 775 never depend on stale input bytes there.
void ClearSealRegions(std::uint8_t* image, RunMode mode);

// Computes the checksum over the whole image, prints it and stores it.
void StoreImageChecksum(std::uint8_t* image, const ChipLayout& layout);

}  // namespace sealtool
