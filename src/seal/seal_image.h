// Sealing for the secure modes: the image digest, the body encrypted in
// place, and the header digest protected by an RSA signature or an AES seal.
#pragma once

#include <cstdint>

#include "image/run_mode.h"
#include "keys/key_sources.h"
#include "seal/mode_steps.h"

namespace sealtool {

// Prints a 32-byte value as eight little-endian words over two lines, the
// first one led by label.
void PrintDigestWords(const char* label, const std::uint8_t* digest);

// The sealing steps of the secure modes, in the order they run (see
// mode_steps.h): the image digest stored, the body encrypted under the AES
// key, the header area digested, and in AES-seal mode that digest sealed
// under the seal key (RSA mode signs it: rsa_signature.h).
bool StoreImageDigest(ModeRun* run);
bool EncryptBody(ModeRun* run);
bool DigestHeader(ModeRun* run);
bool SealHeaderDigest(ModeRun* run);

// Seals the image after its checksum is stored, in the secure mode given,
// with the keys sources names, resolved for chip: the sealing steps of the
// mode's row. False after a key failure has been printed: the image must
// then not be written. A run that signs later leaves the RSA input block in
// the signature region (rsa_signature.h). digests, when given, gets the
// digests the seal covers.
bool SealImage(std::uint8_t* image, std::int32_t chip, RunMode mode, const KeySources& sources,
               SealDigests* digests = nullptr);

}  // namespace sealtool
