#include "digest/sha256.h"

#include <cstdlib>
#include <cstring>

#include "digest/sha256_engines.h"

namespace sealtool {
namespace {

Sha256State gSharedSha256State;

constexpr std::uint8_t kSha256Padding[kSha256BlockSize] = {0x80};

constexpr std::uint32_t kInitialHash[8] = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
    0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};

inline std::uint32_t RotateRight(std::uint32_t x, unsigned n) {
  return (x >> n) | (x << (32 - n));
}

inline std::uint32_t LoadU32BE(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) |
         (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

inline void StoreU32BE(std::uint8_t* p, std::uint32_t x) {
  p[0] = static_cast<std::uint8_t>(x >> 24);
  p[1] = static_cast<std::uint8_t>(x >> 16);
  p[2] = static_cast<std::uint8_t>(x >> 8);
  p[3] = static_cast<std::uint8_t>(x);
}

inline std::uint32_t SmallSigma0(std::uint32_t x) {
  return RotateRight(x, 7) ^ RotateRight(x, 18) ^ (x >> 3);
}
inline std::uint32_t SmallSigma1(std::uint32_t x) {
  return RotateRight(x, 17) ^ RotateRight(x, 19) ^ (x >> 10);
}
inline std::uint32_t BigSigma0(std::uint32_t x) {
  return RotateRight(x, 2) ^ RotateRight(x, 13) ^ RotateRight(x, 22);
}
inline std::uint32_t BigSigma1(std::uint32_t x) {
  return RotateRight(x, 6) ^ RotateRight(x, 11) ^ RotateRight(x, 25);
}
inline std::uint32_t Choose(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint32_t Majority(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return (x & y) | (z & (x | y));
}

// Extends the message schedule by word t just before round t needs it.
inline std::uint32_t Schedule(std::uint32_t* w, unsigned t) {
  w[t] = SmallSigma1(w[t - 2]) + w[t - 7] + SmallSigma0(w[t - 15]) + w[t - 16];
  return w[t];
}

// One round; the caller rotates the roles of the eight working variables
// instead of moving their values.
inline void Round(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                  std::uint32_t& d, std::uint32_t e, std::uint32_t f,
                  std::uint32_t g, std::uint32_t& h, std::uint32_t k,
                  std::uint32_t w) {
  const std::uint32_t t1 = h + BigSigma1(e) + Choose(e, f, g) + k + w;
  const std::uint32_t t2 = BigSigma0(a) + Majority(a, b, c);
  d += t1;
  h = t1 + t2;
}

// The portable rounds: 64 written-out rounds over one block.
void CompressPortable(std::uint32_t* hash, const std::uint8_t* block) {
  std::uint32_t w[64];
  for (std::size_t t = 0; t < 16; ++t) {
    w[t] = LoadU32BE(block + 4 * t);
  }
  std::uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3], e = hash[4], f = hash[5],
                g = hash[6], h = hash[7];

  Round(a, b, c, d, e, f, g, h, 0x428a2f98u, w[0]);
  Round(h, a, b, c, d, e, f, g, 0x71374491u, w[1]);
  Round(g, h, a, b, c, d, e, f, 0xb5c0fbcfu, w[2]);
  Round(f, g, h, a, b, c, d, e, 0xe9b5dba5u, w[3]);
  Round(e, f, g, h, a, b, c, d, 0x3956c25bu, w[4]);
  Round(d, e, f, g, h, a, b, c, 0x59f111f1u, w[5]);
  Round(c, d, e, f, g, h, a, b, 0x923f82a4u, w[6]);
  Round(b, c, d, e, f, g, h, a, 0xab1c5ed5u, w[7]);
  Round(a, b, c, d, e, f, g, h, 0xd807aa98u, w[8]);
  Round(h, a, b, c, d, e, f, g, 0x12835b01u, w[9]);
  Round(g, h, a, b, c, d, e, f, 0x243185beu, w[10]);
  Round(f, g, h, a, b, c, d, e, 0x550c7dc3u, w[11]);
  Round(e, f, g, h, a, b, c, d, 0x72be5d74u, w[12]);
  Round(d, e, f, g, h, a, b, c, 0x80deb1feu, w[13]);
  Round(c, d, e, f, g, h, a, b, 0x9bdc06a7u, w[14]);
  Round(b, c, d, e, f, g, h, a, 0xc19bf174u, w[15]);
  Round(a, b, c, d, e, f, g, h, 0xe49b69c1u, Schedule(w, 16));
  Round(h, a, b, c, d, e, f, g, 0xefbe4786u, Schedule(w, 17));
  Round(g, h, a, b, c, d, e, f, 0x0fc19dc6u, Schedule(w, 18));
  Round(f, g, h, a, b, c, d, e, 0x240ca1ccu, Schedule(w, 19));
  Round(e, f, g, h, a, b, c, d, 0x2de92c6fu, Schedule(w, 20));
  Round(d, e, f, g, h, a, b, c, 0x4a7484aau, Schedule(w, 21));
  Round(c, d, e, f, g, h, a, b, 0x5cb0a9dcu, Schedule(w, 22));
  Round(b, c, d, e, f, g, h, a, 0x76f988dau, Schedule(w, 23));
  Round(a, b, c, d, e, f, g, h, 0x983e5152u, Schedule(w, 24));
  Round(h, a, b, c, d, e, f, g, 0xa831c66du, Schedule(w, 25));
  Round(g, h, a, b, c, d, e, f, 0xb00327c8u, Schedule(w, 26));
  Round(f, g, h, a, b, c, d, e, 0xbf597fc7u, Schedule(w, 27));
  Round(e, f, g, h, a, b, c, d, 0xc6e00bf3u, Schedule(w, 28));
  Round(d, e, f, g, h, a, b, c, 0xd5a79147u, Schedule(w, 29));
  Round(c, d, e, f, g, h, a, b, 0x06ca6351u, Schedule(w, 30));
  Round(b, c, d, e, f, g, h, a, 0x14292967u, Schedule(w, 31));
  Round(a, b, c, d, e, f, g, h, 0x27b70a85u, Schedule(w, 32));
  Round(h, a, b, c, d, e, f, g, 0x2e1b2138u, Schedule(w, 33));
  Round(g, h, a, b, c, d, e, f, 0x4d2c6dfcu, Schedule(w, 34));
  Round(f, g, h, a, b, c, d, e, 0x53380d13u, Schedule(w, 35));
  Round(e, f, g, h, a, b, c, d, 0x650a7354u, Schedule(w, 36));
  Round(d, e, f, g, h, a, b, c, 0x766a0abbu, Schedule(w, 37));
  Round(c, d, e, f, g, h, a, b, 0x81c2c92eu, Schedule(w, 38));
  Round(b, c, d, e, f, g, h, a, 0x92722c85u, Schedule(w, 39));
  Round(a, b, c, d, e, f, g, h, 0xa2bfe8a1u, Schedule(w, 40));
  Round(h, a, b, c, d, e, f, g, 0xa81a664bu, Schedule(w, 41));
  Round(g, h, a, b, c, d, e, f, 0xc24b8b70u, Schedule(w, 42));
  Round(f, g, h, a, b, c, d, e, 0xc76c51a3u, Schedule(w, 43));
  Round(e, f, g, h, a, b, c, d, 0xd192e819u, Schedule(w, 44));
  Round(d, e, f, g, h, a, b, c, 0xd6990624u, Schedule(w, 45));
  Round(c, d, e, f, g, h, a, b, 0xf40e3585u, Schedule(w, 46));
  Round(b, c, d, e, f, g, h, a, 0x106aa070u, Schedule(w, 47));
  Round(a, b, c, d, e, f, g, h, 0x19a4c116u, Schedule(w, 48));
  Round(h, a, b, c, d, e, f, g, 0x1e376c08u, Schedule(w, 49));
  Round(g, h, a, b, c, d, e, f, 0x2748774cu, Schedule(w, 50));
  Round(f, g, h, a, b, c, d, e, 0x34b0bcb5u, Schedule(w, 51));
  Round(e, f, g, h, a, b, c, d, 0x391c0cb3u, Schedule(w, 52));
  Round(d, e, f, g, h, a, b, c, 0x4ed8aa4au, Schedule(w, 53));
  Round(c, d, e, f, g, h, a, b, 0x5b9cca4fu, Schedule(w, 54));
  Round(b, c, d, e, f, g, h, a, 0x682e6ff3u, Schedule(w, 55));
  Round(a, b, c, d, e, f, g, h, 0x748f82eeu, Schedule(w, 56));
  Round(h, a, b, c, d, e, f, g, 0x78a5636fu, Schedule(w, 57));
  Round(g, h, a, b, c, d, e, f, 0x84c87814u, Schedule(w, 58));
  Round(f, g, h, a, b, c, d, e, 0x8cc70208u, Schedule(w, 59));
  Round(e, f, g, h, a, b, c, d, 0x90befffau, Schedule(w, 60));
  Round(d, e, f, g, h, a, b, c, 0xa4506cebu, Schedule(w, 61));
  Round(c, d, e, f, g, h, a, b, 0xbef9a3f7u, Schedule(w, 62));
  Round(b, c, d, e, f, g, h, a, 0xc67178f2u, Schedule(w, 63));

  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
  hash[5] += f;
  hash[6] += g;
  hash[7] += h;
}

Sha256Engine DefaultEngine() {
  const char* forced = std::getenv(kSha256EngineVariable);
  if (forced != nullptr && std::strcmp(forced, "portable") == 0) return Sha256Engine::kPortable;
  if (Sha256X86Available()) return Sha256Engine::kX86ShaExtensions;
  if (Sha256Armv8Available()) return Sha256Engine::kArmv8Sha2;
  return Sha256Engine::kPortable;
}

Sha256BlocksFunction BlocksOf(Sha256Engine engine) {
  switch (engine) {
    case Sha256Engine::kX86ShaExtensions: return Sha256BlocksX86;
    case Sha256Engine::kArmv8Sha2: return Sha256BlocksArmv8;
    default: return Sha256BlocksPortable;
  }
}

// Chosen once per process, from the CPU and the environment, on first use.
// Plain globals rather than a guarded static: the module is single-threaded
// (its one-shot state is shared anyway), and a guard would pull the C++
// runtime library into every run of the tool.
Sha256Engine gEngine = Sha256Engine::kPortable;
bool gEngineChosen = false;

Sha256Engine& ActiveEngine() {
  if (!gEngineChosen) {
    gEngine = DefaultEngine();
    gEngineChosen = true;
  }
  return gEngine;
}

void CompressBlocks(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count) {
  BlocksOf(ActiveEngine())(hash, blocks, count);
}

}  // namespace

void Sha256BlocksPortable(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) CompressPortable(hash, blocks + i * kSha256BlockSize);
}

Sha256Engine Sha256ActiveEngine() { return ActiveEngine(); }

bool Sha256SelectEngine(Sha256Engine engine) {
  const bool available = engine == Sha256Engine::kPortable ||
                         (engine == Sha256Engine::kX86ShaExtensions && Sha256X86Available()) ||
                         (engine == Sha256Engine::kArmv8Sha2 && Sha256Armv8Available());
  if (available) ActiveEngine() = engine;
  return available;
}

const char* Sha256EngineName(Sha256Engine engine) {
  switch (engine) {
    case Sha256Engine::kX86ShaExtensions: return "x86-64 SHA extensions";
    case Sha256Engine::kArmv8Sha2: return "ARMv8 SHA-2 instructions";
    default: return "portable";
  }
}

void Sha256Compress(Sha256State* state, const std::uint8_t* block) {
  CompressBlocks(state->hash, block, 1);
}

void Sha256Begin(Sha256State* state) {
  state->total[0] = 0;
  state->total[1] = 0;
  std::memcpy(state->hash, kInitialHash, sizeof kInitialHash);
}

void Sha256Feed(Sha256State* state, const std::uint8_t* input,
                std::int32_t length) {
  if (length <= 0) {
    return;
  }
  std::uint32_t n = static_cast<std::uint32_t>(length);
  std::uint32_t left = state->total[0] % kSha256BlockSize;
  const std::uint32_t fill = kSha256BlockSize - left;

  state->total[0] += n;
  if (state->total[0] < n) {
    ++state->total[1];
  }
  if (left > 0 && n >= fill) {
    std::memcpy(state->buffer + left, input, fill);
    Sha256Compress(state, state->buffer);
    input += fill;
    n -= fill;
    left = 0;
  }
  const std::uint32_t whole = n / kSha256BlockSize;
  if (whole > 0) {
    CompressBlocks(state->hash, input, whole);
    input += whole * kSha256BlockSize;
    n -= whole * kSha256BlockSize;
  }
  if (n > 0) {
    std::memcpy(state->buffer + left, input, n);
  }
}

void Sha256End(Sha256State* state, std::uint8_t* output) {
  const std::uint32_t high = (state->total[0] >> 29) | (state->total[1] << 3);
  const std::uint32_t low = state->total[0] << 3;
  std::uint8_t lengthField[8];
  StoreU32BE(lengthField, high);
  StoreU32BE(lengthField + 4, low);

  const std::uint32_t last = state->total[0] % kSha256BlockSize;
  const std::uint32_t padding = (last < 56) ? (56 - last) : (120 - last);
  Sha256Feed(state, kSha256Padding, static_cast<std::int32_t>(padding));
  Sha256Feed(state, lengthField, sizeof lengthField);

  for (std::size_t i = 0; i < 8; ++i) {
    StoreU32BE(output + 4 * i, state->hash[i]);
  }
}

std::int32_t Sha256OneShot(const std::uint8_t* input, std::int32_t length,
                           std::uint8_t* output) {
  std::memset(&gSharedSha256State, 0, sizeof gSharedSha256State);
  Sha256Begin(&gSharedSha256State);
  Sha256Feed(&gSharedSha256State, input, length);
  Sha256End(&gSharedSha256State, output);
  return 0;
}

}  // namespace sealtool
