// What an image's own bytes say about the run that made it, before any key
// is read: the chip group from where the marker lies, and the modes that the
// checksum, the header fields and the bytes only sealing writes leave
// possible. Pure functions over the image buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/run_mode.h"

namespace sealtool::inspect {

bool BytesAreZero(const std::uint8_t* bytes, std::size_t count);

// Picks the chip group from where the marker lies, and for group A the
// likeliest chip (742 when the image looks RSA-signed, else 753). False
// when both or neither layout holds a marker.
bool DetectChip(const std::uint8_t* image, std::int32_t* chip);

struct ModeEvidence {
  bool checksumHolds;        // plain and key-record runs leave it holding
  bool sealingBytes;         // bytes that only sealing writes (chips 742, 775)
  RunMode sealed;            // the secure mode the bytes point to
  RunMode unsealed;          // plain or key-record, as the header fields say
  const char* alternatives;  // while plain and key-record both remain; else null
};

// The evidence for an image of chip. input is the image the run was made
// from (null: unknown); wrapsUserKey tells whether the wrapped key unwraps
// to the user key of the key folder, which only the caller can read.
ModeEvidence WeighModeEvidence(const std::uint8_t* image, std::int32_t chip,
                               const std::uint8_t* input, bool wrapsUserKey);

}  // namespace sealtool::inspect
