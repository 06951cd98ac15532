// SHA-256 compression with the ARMv8 SHA-2 instructions. Built with the
// crypto extension enabled for this file only (the build sets it on
// AArch64); used only when the kernel reports the instructions.
#include "digest/sha256_engines.h"

#if defined(__aarch64__) && defined(__ARM_FEATURE_SHA2)

#include <arm_neon.h>

#include "platform/cpu_features.h"

namespace sealtool {
namespace {

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
    const uint32x4_t wk = vaddq_u32(m[g % 4], vld1q_u32(kSha256RoundConstants + 4 * g));
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

bool Sha256Armv8Available() { return CpuHasArmSha2(); }

}  // namespace sealtool

#else

namespace sealtool {

void Sha256BlocksArmv8(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count) {
  Sha256BlocksPortable(hash, blocks, count);
}

bool Sha256Armv8Available() { return false; }

}  // namespace sealtool

#endif
