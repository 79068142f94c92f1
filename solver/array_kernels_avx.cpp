// AVX baseline variant of the per-hand array kernels: separate multiply and
// add, lock masks widened through 128-bit integer compares (AVX has no
// 256-bit integer instructions), selections as and/andnot/or.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "solver/array_kernels_variants.h"

namespace kernels_avx {
namespace {

#include "solver/double_ops_avx.inc"

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
