// A release checked by reproduction: every image of the manifest sealed
// again in memory with the manifest's keys and compared with the output on
// disk, byte for byte. Sealing is deterministic, so a holder of the keys
// needs nothing else, and a key that never leaves its token is used where
// it lives.
#pragma once

#include <string>

#include "release/manifest.h"

namespace sealtool {

// Exit statuses of --check.
inline constexpr int kReproducedAll = 0;
inline constexpr int kSomeDiffer = 1;        // each is named with its first differing bytes
inline constexpr int kSomeNotSealed = -1;    // an image could not be sealed (main's -1)

// Reproduces each image (signatures of RSA images from signatureDir/NAME.sig
// when it is not empty) and writes nothing. Run in the manifest's folder,
// with the batch's checks done.
int ReproduceRelease(const Manifest& manifest, const std::string& signatureDir);

}  // namespace sealtool
