// SHA-256 compression with the ARMv8 SHA-2 instructions. Built with the
// crypto extension enabled for this file only (the build sets it on
// AArch64); used only when the kernel reports the instructions.
#include "seal/sha256_engines.h"

#if defined(__aarch64__) && defined(__ARM_FEATURE_SHA2)

#include <arm_neon.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>


namespace sealtool {
namespace {

constexpr std::uint32_t kRoundConstants[64] = {
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

// One block. Message words W[4g..4g+3] live in m[g % 4]; words 16 and on are
// made from the four groups before them, as the schedule defines.
void CompressBlock(uint32x4_t* abcd, uint32x4_t* efgh, const std::uint8_t* block) {
  const uint32x4_t savedAbcd = *abcd;
  const uint32x4_t savedEfgh = *efgh;
  uint32x4_t m[4];
  for (unsigned g = 0; g < 16; ++g) {
    if (g < 4) {
      m[g] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 16 * g)));
    } else {
      m[g % 4] = vsha256su1q_u32(vsha256su0q_u32(m[g % 4], m[(g + 1) % 4]), m[(g + 2) % 4],
                                 m[(g + 3) % 4]);
    }
    const uint32x4_t wk = vaddq_u32(m[g % 4], vld1q_u32(kRoundConstants + 4 * g));
    const uint32x4_t before = *abcd;
    *abcd = vsha256hq_u32(*abcd, *efgh, wk);
    *efgh = vsha256h2q_u32(*efgh, before, wk);
  }
  *abcd = vaddq_u32(*abcd, savedAbcd);
  *efgh = vaddq_u32(*efgh, savedEfgh);
}

}  // namespace

void Sha256BlocksArmv8(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count) {
  uint32x4_t abcd = vld1q_u32(hash);
  uint32x4_t efgh = vld1q_u32(hash + 4);
  for (std::size_t i = 0; i < count; ++i) {
    CompressBlock(&abcd, &efgh, blocks + 64 * i);
  }
  vst1q_u32(hash, abcd);
  vst1q_u32(hash + 4, efgh);
}

bool Sha256Armv8Available() { return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0; }

}  // namespace sealtool

#else

namespace sealtool {

void Sha256BlocksArmv8(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count) {
  Sha256BlocksPortable(hash, blocks, count);
}

bool Sha256Armv8Available() { return false; }

}  // namespace sealtool

#endif
