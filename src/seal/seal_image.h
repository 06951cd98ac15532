// Sealing for the secure modes: the image digest, the body encrypted in
// place, and the header digest protected by an RSA signature or an AES seal.
#pragma once

#include <cstdint>

#include "image/run_mode.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"

namespace sealtool {

// Prints a 32-byte value as eight little-endian words over two lines, the
// first one led by label.
void PrintDigestWords(const char* label, const std::uint8_t* digest);

// The two digests a seal protects: of the whole image before its body is
// encrypted, and of the header area that the signature or seal covers.
// An RSA run also gives the ids of the public key it stores or will store.
struct SealDigests {
  std::uint8_t image[32];
  std::uint8_t header[32];
  KeyIds keyIds;
  bool hasKeyIds;
};

// Seals the image after its checksum is stored, in the secure mode given,
// with the run's keys. False after a key failure has been printed:
// the image must then not be written. A run that signs later leaves the RSA
// input block in the signature region (rsa_signature.h). digests, when
// given, gets the digests the seal covers.
bool SealImage(std::uint8_t* image, RunMode mode, const RunKeys& keys, SealDigests* digests = nullptr);

// The same, with the keys resolved from their references for chip.
bool SealImage(std::uint8_t* image, std::int32_t chip, RunMode mode, const KeySources& sources,
               SealDigests* digests = nullptr);

}  // namespace sealtool
