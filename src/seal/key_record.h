// Key-record mode: the user's AES key, encrypted under the built-in wrapping
// key, is stored in the image's key record for the device to take up.
#pragma once

#include <cstdint>

#include "keys/key_handle.h"
#include "seal/mode_steps.h"

namespace sealtool {

// Puts the 16 bytes of the wrapping key into key.
void AssembleWrappingKey(std::uint8_t* key);

// Encrypts the 16-byte user key as one AES-128 block under the wrapping key,
// prints the result and stores it in the wrapped key region of the image.
// False after printing why the cipher refused.
bool WrapUserKey(const std::uint8_t* userKey, std::uint8_t* image);

// Key-record mode's step: has the user key wrapped under the wrapping key
// wherever it is (aes.txt or the default key, echoed; a key file; a key in
// a token, which wraps it there) and stores the result in the image. False
// after printing why.
bool WrapUserKeyFrom(const KeyHandle& userKey, std::uint8_t* image);

// The same as a step of key-record mode, with the run's AES key.
bool WrapUserKeyInto(ModeRun* run);

// The user key a wrapped key holds (for checking an image; sealtool itself
// only wraps). False when the cipher refuses.
bool UnwrapUserKey(const std::uint8_t* wrapped, std::uint8_t* userKey);

}  // namespace sealtool
