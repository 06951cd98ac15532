// AES-CBC for the whole program. The images use AES-128 under a zero IV over
// a buffer in place; for one 16-byte block that is exactly the ECB result,
// so the key wrapping uses it too. Encrypted PKCS#8 key files use it with
// their own key length and IV.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/layout.h"

namespace sealtool {

inline constexpr std::size_t kAesBlockSize = 16;

// The fixed lengths it is used on: each must be whole blocks, or the cipher
// would refuse them.
static_assert(kBodyAreaSize % kAesBlockSize == 0, "the body is encrypted in whole blocks");
static_assert(kDigestSealSize % kAesBlockSize == 0, "the digest seal is whole blocks");
static_assert(kWrappedKeySize == kAesBlockSize, "the wrapped key is one block");

// AES-128-CBC with a zero IV over length bytes of data, in place, in the
// direction MBEDTLS_AES_ENCRYPT or MBEDTLS_AES_DECRYPT. Returns the
// library's result: 0, or a negative code (a length that is not a whole
// number of blocks among them), in which case data is left as it was.
int AesCbcZeroIv(const std::uint8_t* key, int direction, std::uint8_t* data, std::size_t length);

// The one call into the library's CBC for the whole program: length bytes
// (whole blocks) of input to output, which may be the same buffer, under a
// key of keyBits (128, 192 or 256) and the 16-byte iv, which is not
// changed. Returns 0 or the library's code.
int AesCbc(const std::uint8_t* key, unsigned keyBits, int direction, const std::uint8_t* iv,
           const std::uint8_t* input, std::uint8_t* output, std::size_t length);

// The failure line of a cipher call that returned ret.
void PrintCipherFailure(int ret);

}  // namespace sealtool
