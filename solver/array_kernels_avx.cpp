// AVX baseline variant of the per-hand array kernels: separate multiply and
// add, lock masks widened through 128-bit integer compares (AVX has no
// 256-bit integer instructions), selections as and/andnot/or.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "solver/array_kernels_variants.h"

namespace kernels_avx {
namespace {

inline __m256d Fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_add_pd(_mm256_mul_pd(a, b), c); }
inline double FmaddScalar(double a, double b, double c) { return a * b + c; }
inline __m256d Select(__m256d m, __m256d a, __m256d b) {
  return _mm256_or_pd(_mm256_and_pd(m, a), _mm256_andnot_pd(m, b));
}

inline __m256d UnlockedLanes(const uint8_t* mask) {
  uint32_t bytes;
  memcpy(&bytes, mask, sizeof(bytes));
  const __m128i zero = _mm_setzero_si128();
  const __m128i eq = _mm_cmpeq_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(bytes))), zero);
  const __m128i lo = _mm_unpacklo_epi32(eq, eq), hi = _mm_unpackhi_epi32(eq, eq);
  return _mm256_castsi256_pd(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

}  // namespace

#include "solver/array_kernels_body.inc"

}  // namespace kernels_avx
