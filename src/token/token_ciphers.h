// The token operations themselves, quietly: each returns the token's result
// (CKR_OK, or why not), and the caller says what failed in its own terms.
// The sealing steps and sealkey's token check share them, so that the check
// tries exactly what a run would do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "token/session.h"

namespace sealtool {

// How the token can give zero-IV AES-CBC: itself, or single-block ECB that
// is chained here.
enum class AesCbcRoute { kCbc, kChainedEcb, kNone };
AesCbcRoute ChooseAesCbcRoute(const OpenToken& token);

// Zero-IV AES-CBC over length bytes of data (whole blocks, at most the body
// area), in place, by route.
CK_RV EncryptZeroIvCbc(const OpenToken& token, CK_OBJECT_HANDLE key, AesCbcRoute route,
                       std::uint8_t* data, std::size_t length);

// The raw RSA private-key operation (CKM_RSA_X_509) on a 128-byte block.
CK_RV SignRawRsa(const OpenToken& token, CK_OBJECT_HANDLE key, const std::uint8_t* block,
                 std::uint8_t* signature);

// The mechanism the token wraps one AES block with: ECB, or zero-IV CBC
// (for one block the same); 0 when it offers neither for wrapping.
CK_MECHANISM_TYPE ChooseWrapMechanism(const OpenToken& token);

// Wraps the 16-byte AES key under wrappingKey, imported into the session
// for this and destroyed after, into wrapped (16 bytes).
CK_RV WrapUnderSessionKey(const OpenToken& token, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
                          const std::uint8_t* wrappingKey, std::uint8_t* wrapped);

}  // namespace sealtool
