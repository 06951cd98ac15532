// An AES key's identity: its key check value, the value key ceremonies and
// HSMs show: the first three bytes of AES-128-ECB of a zero block. It is
// computed through the key's own source, so that a key in a token or behind
// a helper is named as a key file is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "keys/key_handle.h"

namespace sealtool {

inline constexpr std::size_t kKeyCheckValueSize = 3;

// False (said why) when the key cannot encrypt.
bool KeyCheckValue(const KeyHandle& key, std::uint8_t (&value)[kKeyCheckValueSize]);

// The check value, as hex, of an AES-128 key whose bytes are at hand (a
// built-in key, a key sealinfo read or unwrapped).
std::string CheckValueOfKeyBytes(const std::uint8_t* key);

// The aes.txt form a key file holds: the token form (32 hex digits), the
// byte list, or neither (false: it is no AES key file). Reads quietly.
bool AesKeyFileRole(const char* path, KeyRole* role);

// Whether ref names an AES key, and the role to read it in: a key file of
// either aes.txt form, or a key of another source that gives no public key
// but encrypts (both asked quietly).
bool RefNamesAesKey(const char* ref, KeyRole* role);

}  // namespace sealtool
