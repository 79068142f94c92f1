// AVX2/FMA variant of the per-hand array kernels: products are accumulated
// with fused multiply-adds and lock masks widen to lane masks in one step.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "solver/array_kernels_variants.h"

namespace kernels_avx2 {
namespace {

#include "solver/double_ops_avx2.inc"

inline __m256d UnlockedLanes(const uint8_t* mask) {
  uint32_t bytes;
  memcpy(&bytes, mask, sizeof(bytes));
  const __m256i wide = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(bytes)));
  return _mm256_castsi256_pd(_mm256_cmpeq_epi64(wide, _mm256_setzero_si256()));
}

}  // namespace

#include "solver/array_kernels_body.inc"

}  // namespace kernels_avx2
