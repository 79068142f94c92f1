// AVX baseline variant of the probability kernels: float arithmetic eight
// lanes wide, integer work in 128-bit halves (AVX has no 256-bit integer ops).
#include <immintrin.h>

#include <cfloat>
#include <cstdint>

#include "storage/prob_kernels_variants.h"

namespace kernels_avx {
namespace {

// Without fused multiply-adds a refined reciprocal estimate (r' = 2r - s*r*r)
// leaves quotients up to two units off; one exact division per eight hands,
// shared by all rows of the node, keeps v * (1/s) within one unit of v / s.
inline __m256 Reciprocal(__m256 s) { return _mm256_div_ps(_mm256_set1_ps(1.0f), s); }

inline __m256 Quotient(__m256 v, __m256, __m256 r) { return _mm256_mul_ps(v, r); }

inline __m256 LoadCounts8(const uint16_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i lo = _mm_cvtepu16_epi32(v);
  const __m128i hi = _mm_unpackhi_epi16(v, _mm_setzero_si128());
  return _mm256_cvtepi32_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

// Bitwise select. GCC rewrites a blendv on a comparison into a generic vector
// condition and, without 256-bit integer compares, splits it into scalar
// code; the and/andnot/or form stays three vector instructions.
inline __m256 Select(__m256 mask, __m256 a, __m256 b) {
  return _mm256_or_ps(_mm256_and_ps(mask, a), _mm256_andnot_ps(mask, b));
}

inline void AddTotals8(uint32_t* t, const uint32_t* v) {
  for (int h = 0; h < 8; h += 4) {
    __m128i* tp = reinterpret_cast<__m128i*>(t + h);
    const __m128i add = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + h));
    _mm_storeu_si128(tp, _mm_add_epi32(_mm_loadu_si128(tp), add));
  }
}

inline void AddCounts8(uint32_t* t, const uint16_t* v) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
  __m128i* lo = reinterpret_cast<__m128i*>(t);
  __m128i* hi = reinterpret_cast<__m128i*>(t + 4);
  _mm_storeu_si128(lo, _mm_add_epi32(_mm_loadu_si128(lo), _mm_cvtepu16_epi32(c)));
  _mm_storeu_si128(hi, _mm_add_epi32(_mm_loadu_si128(hi), _mm_unpackhi_epi16(c, _mm_setzero_si128())));
}

}  // namespace

#include "storage/prob_kernels_body.inc"

}  // namespace kernels_avx
