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

}  // namespace

#include "codecs/residuals_body.inc"

}  // namespace kernels_avx2
