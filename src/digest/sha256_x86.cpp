// SHA-256 compression with the x86-64 SHA extensions (SHA-NI, with SSE4.1
// for the shuffles). Compiled for every x86-64 build; the functions carry
// their own target, and run only when CPUID reports the instructions.
#include "digest/sha256_engines.h"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>


namespace sealtool {
namespace {

constexpr unsigned kCpuidSha = 1u << 29;    // leaf 7, EBX
constexpr unsigned kCpuidSse41 = 1u << 19;  // leaf 1, ECX
constexpr unsigned kCpuidSsse3 = 1u << 9;   // leaf 1, ECX

#define SEALTOOL_SHA_TARGET __attribute__((target("sha,sse4.1")))

// Four rounds: the message words plus constants go in as two halves.
SEALTOOL_SHA_TARGET inline void FourRounds(__m128i* abef, __m128i* cdgh, __m128i words,
                                           unsigned group) {
  const __m128i k =
      _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants + std::size_t{4} * group));
  const __m128i wk = _mm_add_epi32(words, k);
  *cdgh = _mm_sha256rnds2_epu32(*cdgh, *abef, wk);
  *abef = _mm_sha256rnds2_epu32(*abef, *cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

// One block. Message words W[4g..4g+3] live in m[g % 4]; words 16 and on are
// made from the four groups before them, as the schedule defines.
SEALTOOL_SHA_TARGET void CompressBlock(__m128i* abef, __m128i* cdgh, const std::uint8_t* block) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  const __m128i savedAbef = *abef;
  const __m128i savedCdgh = *cdgh;
  __m128i m[4];
  // Unrolled, so that the four message registers stay registers.
#pragma GCC unroll 16
  for (unsigned g = 0; g < 16; ++g) {
    if (g < 4) {
      m[g] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + std::size_t{16} * g)), byteSwap);
    } else {
      const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(m[g % 4], m[(g + 1) % 4]),
                                            _mm_alignr_epi8(m[(g + 3) % 4], m[(g + 2) % 4], 4));
      m[g % 4] = _mm_sha256msg2_epu32(partial, m[(g + 3) % 4]);
    }
    FourRounds(abef, cdgh, m[g % 4], g);
  }
  *abef = _mm_add_epi32(*abef, savedAbef);
  *cdgh = _mm_add_epi32(*cdgh, savedCdgh);
}

}  // namespace

// The instructions keep the state as ABEF and CDGH: rearranged on the way in
// and out, once for all the blocks.
SEALTOOL_SHA_TARGET void Sha256BlocksX86(std::uint32_t* hash, const std::uint8_t* blocks,
                                         std::size_t count) {
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash)), 0xB1);
  const __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hash + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
  for (std::size_t i = 0; i < count; ++i) {
    CompressBlock(&abef, &cdgh, blocks + 64 * i);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hash), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(hash + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef SEALTOOL_SHA_TARGET

bool Sha256X86Available() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool vectors = (ecx & kCpuidSse41) != 0 && (ecx & kCpuidSsse3) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return vectors && (ebx & kCpuidSha) != 0;
}

}  // namespace sealtool

#else

namespace sealtool {

void Sha256BlocksX86(std::uint32_t* hash, const std::uint8_t* blocks, std::size_t count) {
  Sha256BlocksPortable(hash, blocks, count);
}

bool Sha256X86Available() { return false; }

}  // namespace sealtool

#endif
