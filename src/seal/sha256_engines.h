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
