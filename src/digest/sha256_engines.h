// Inside the SHA-256 module: its compression engines. The portable rounds
// run everywhere; the SHA instructions of x86-64 (SHA-NI) and of AArch64
// (ARMv8 SHA-2) are used where the CPU has them, chosen once at run time.
// Every engine gives the same hash; SEALTOOL_SHA256=portable forces the
// portable rounds, so that both can be tested and measured on one machine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

inline constexpr char kSha256EngineVariable[] = "SEALTOOL_SHA256";

// K0 to K63 (FIPS 180-4, 4.2.2), for the engines that load them four at a
// time; the portable rounds carry them in place.
alignas(16) inline constexpr std::uint32_t kSha256RoundConstants[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,
    0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu,
    0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu,
    0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu,
    0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u,
    0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u,
    0xc67178f2u};

enum class Sha256Engine { kPortable, kX86ShaExtensions, kArmv8Sha2 };

// Compress count whole 64-byte blocks into hash (H0 to H7).
using Sha256BlocksFunction = void (*)(std::uint32_t* hash, const std::uint8_t* blocks,
                                      std::size_t count);
void Sha256BlocksPortable(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count);
void Sha256BlocksX86(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count);
void Sha256BlocksArmv8(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count);

// Whether this CPU (and build) has the engine's instructions.
bool Sha256X86Available();
bool Sha256Armv8Available();

// The engine in use.
Sha256Engine Sha256ActiveEngine();

// Uses engine from now on (tests and benchmarks); false, changing nothing,
// when the CPU lacks it.
bool Sha256SelectEngine(Sha256Engine engine);

const char* Sha256EngineName(Sha256Engine engine);

}  // namespace sealtool
