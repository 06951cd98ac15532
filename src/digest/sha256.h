// The tool's own SHA-256 (FIPS 180-4): an incremental interface over a
// caller-owned state, and a one-shot digest on one shared state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

inline constexpr std::size_t kSha256BlockSize = 64;
inline constexpr std::size_t kSha256DigestSize = 32;

struct Sha256State {
  std::uint32_t total[2];  // bytes fed so far, low word first
  std::uint32_t hash[8];   // H0 to H7
  std::uint8_t buffer[kSha256BlockSize];  // the incomplete block
};

void Sha256Begin(Sha256State* state);

// Absorbs length bytes; a length of zero or less changes nothing. Whole
// blocks are compressed where they lie in the input.
void Sha256Feed(Sha256State* state, const std::uint8_t* input,
                std::int32_t length);

// One compression of a 64-byte block into state->hash.
void Sha256Compress(Sha256State* state, const std::uint8_t* block);

// Pads, appends the bit length and writes the 32-byte digest.
void Sha256End(Sha256State* state, std::uint8_t* output);

// Digest of length bytes into output through the shared state; always 0.
// Not reentrant: the shared state keeps the last call's result.
std::int32_t Sha256OneShot(const std::uint8_t* input, std::int32_t length,
                           std::uint8_t* output);

}  // namespace sealtool
