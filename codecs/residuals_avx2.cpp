// AVX2 variant of the row residual kernel: eight values per 256-bit step.
#include <immintrin.h>

#include <cstdint>

#include "codecs/residuals_variants.h"

namespace kernels_avx2 {
namespace {

using Lanes = __m256i;

inline Lanes Load8(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline Lanes Load8(const uint16_t* p) {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline Lanes Sub8(Lanes x, Lanes y) { return _mm256_sub_epi32(x, y); }
inline Lanes Residual8(Lanes d) { return _mm256_xor_si256(_mm256_slli_epi32(d, 1), _mm256_srai_epi32(d, 31)); }
inline void Store8(uint32_t* p, Lanes v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline unsigned ZeroMask8(Lanes v) {
  return static_cast<unsigned>(
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, _mm256_setzero_si256()))));
}

inline Lanes Add8(Lanes x, Lanes y) { return _mm256_add_epi32(x, y); }
inline Lanes Broadcast8(uint32_t v) { return _mm256_set1_epi32(static_cast<int32_t>(v)); }
inline uint32_t FirstLane(Lanes v) { return static_cast<uint32_t>(_mm256_cvtsi256_si32(v)); }
inline Lanes UnZigZag8(Lanes z) {
  return _mm256_xor_si256(_mm256_srli_epi32(z, 1),
                          _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_and_si256(z, _mm256_set1_epi32(1))));
}
// Running sums within each 128-bit half, then the low half's total added to
// the high half.
inline Lanes RunningSum8(Lanes d) {
  d = _mm256_add_epi32(d, _mm256_slli_si256(d, 4));
  d = _mm256_add_epi32(d, _mm256_slli_si256(d, 8));
  const __m256i lowTotal = _mm256_permute2x128_si256(_mm256_shuffle_epi32(d, _MM_SHUFFLE(3, 3, 3, 3)), d, 0x08);
  return _mm256_add_epi32(d, lowTotal);
}
inline Lanes LastLane8(Lanes v) { return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(7)); }
inline void StoreValues8(uint16_t* p, Lanes v) {
  const __m256i halves = _mm256_shuffle_epi8(v, _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,
                                                                 0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                   _mm256_castsi256_si128(_mm256_permute4x64_epi64(halves, _MM_SHUFFLE(3, 1, 2, 0))));
}

}  // namespace

#include "codecs/residuals_body.inc"

}  // namespace kernels_avx2
