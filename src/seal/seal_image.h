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

// AES-seal mode: encrypts the header digest in place with AES-128-CBC under
// the seal key (sealKey: a byte-list file, a token key, or null for aes.txt's
// byte list or the default key), prints it and stores it in the digest seal
// region. Returns 0 or -1 (message printed).
int SealHeaderDigestAes(std::uint8_t* digest, std::uint8_t* image, std::int32_t chip,
                        const char* sealKey);

// Seals the image after its checksum is stored, in the secure mode given,
// with the keys sources names. Returns 0, or -1 after a key failure has been
// printed; the image must then not be written.
int SealImage(std::uint8_t* image, std::int32_t chip, RunMode mode, const KeySources& sources);

}  // namespace sealtool
