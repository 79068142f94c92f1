// AVX2/FMA variant of the probability kernels: the Newton step of the
// reciprocal is fused and counts widen and add in 256-bit integer registers.
#include <immintrin.h>

#include <cfloat>
#include <cstdint>

#include "storage/prob_kernels_variants.h"

namespace kernels_avx2 {
namespace {

// Reciprocal estimate refined by one fused Newton-Raphson step:
// r' = 2r - (s*r)*r with a single rounding.
inline __m256 Reciprocal(__m256 s) {
  const __m256 r = _mm256_rcp_ps(s);
  return _mm256_fnmadd_ps(_mm256_mul_ps(s, r), r, _mm256_add_ps(r, r));
}

// q = v*r alone can be two units off; the exact residual v - q*s of a fused
// multiply-add corrects it to within one unit (almost always exactly rounded).
inline __m256 Quotient(__m256 v, __m256 s, __m256 r) {
  const __m256 q = _mm256_mul_ps(v, r);
  return _mm256_fmadd_ps(_mm256_fnmadd_ps(q, s, v), r, q);
}

inline __m256 LoadCounts8(const uint16_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(v));
}

inline __m256 Select(__m256 mask, __m256 a, __m256 b) { return _mm256_blendv_ps(b, a, mask); }

inline void AddTotals8(uint32_t* t, const uint32_t* v) {
  __m256i* tp = reinterpret_cast<__m256i*>(t);
  const __m256i add = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
  _mm256_storeu_si256(tp, _mm256_add_epi32(_mm256_loadu_si256(tp), add));
}

inline void AddCounts8(uint32_t* t, const uint16_t* v) {
  __m256i* tp = reinterpret_cast<__m256i*>(t);
  const __m256i add = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)));
  _mm256_storeu_si256(tp, _mm256_add_epi32(_mm256_loadu_si256(tp), add));
}

}  // namespace

#include "storage/prob_kernels_body.inc"

}  // namespace kernels_avx2
