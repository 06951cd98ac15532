// Sealing for the secure modes: the image digest, the body encrypted in
// place, and the header digest protected by an RSA signature or an AES seal.
#pragma once

#include <cstdint>

#include "image/run_mode.h"
#include "keys/key_sources.h"

namespace sealtool {

// Prints a 32-byte value as eight little-endian words over two lines, the
// first one led by label.
void PrintDigestWords(const char* label, const std::uint8_t* digest);

// Seals the image after its checksum is stored, in the secure mode given,
// with the keys sources names. False after a key failure has been printed:
// the image must then not be written. A run that signs later leaves the RSA
// input block in the signature region (rsa_signature.h).
bool SealImage(std::uint8_t* image, std::int32_t chip, RunMode mode, const KeySources& sources);

}  // namespace sealtool
