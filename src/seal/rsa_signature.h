// RSA mode's protection of the header digest: a raw RSA-1024 private-key
// operation with the key of rsa_priv.txt, and the public modulus and exponent
// of rsa_pub.txt stored beside the signature for the device.
#pragma once

#include <cstdint>

#include "image/layout.h"
#include "keys/key_sources.h"
#include "keys/rsa_key_files.h"
#include "seal/rsa_seal.h"

namespace sealtool {


// Signs the 32-byte header digest into the RSA signature region and fills
// the modulus and exponent areas, with the keys sources names (the private
// key in a file or a token, or a signature made elsewhere; N and E from a
// file or a token). A run that signs later (sources.signLater) stops before
// the private-key operation and leaves the RSA input block in the signature
// region for the driver to write out. False after printing why.
bool SignHeaderDigestRsa(const std::uint8_t* headerDigest, std::uint8_t* image,
                         const KeySources& sources);

}  // namespace sealtool
