// RSA mode's protection of the header digest: a raw RSA-1024 private-key
// operation with the key of rsa_priv.txt, and the public modulus and exponent
// of rsa_pub.txt stored beside the signature for the device.
#pragma once

#include <cstdint>

#include "image/layout.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"
#include "seal/mode_steps.h"
#include "seal/rsa_seal.h"

namespace sealtool {

// Signs the 32-byte header digest into the RSA signature region and fills
// the modulus and exponent areas, with the run's keys (or a signature made
// elsewhere). A run that signs later (keys.signLater) stops before the
// private-key operation and leaves the RSA input block in the signature
// region for the driver to write out. keyIds, when given, gets the ids of
// the public key stored or to be stored. False after printing why.
bool SignHeaderDigestRsa(const std::uint8_t* headerDigest, std::uint8_t* image, const RunKeys& keys,
                         KeyIds* keyIds = nullptr);

// RSA mode's last step: signs the run's header digest.
bool SignHeaderDigest(ModeRun* run);

}  // namespace sealtool
