// Synthetic example boot images: made up here, byte by byte, so that the
// example run and the tests never depend on any real firmware.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

inline constexpr std::size_t kExampleImageDefaultSize = 24576;

// Fills image[0..size) with an example for the chip's group: boot-header
// marker, version bytes, a DRAM table that uses the informational entries
// (group A), a key record with its date stamp, and a deterministic body.
// seed varies the filler bytes so that tests can make many images.
// Returns false when size is too small to hold the header area or too large.
bool BuildExampleImage(std::int32_t chip, std::uint32_t seed, std::uint8_t* image,
                       std::size_t size);

}  // namespace sealtool
