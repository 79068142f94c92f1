// AVX2 variant of the row transfers: parent rows are read through masked
// gathers, four hands at a time; entries without a parent hand read as 0.
#include <immintrin.h>

#include <cstdint>

#include "solver/row_transfer_variants.h"

namespace kernels_avx2 {
namespace {

inline void GatherFour(double* out, const double* parent, uint32_t parentCount, const uint16_t* map, bool& bad) {
  const __m128i index = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(map)));
  // Indices are at most 0xFFFF, so a signed compare is exact.
  const __m128i inRange = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(parentCount)), index);
  const __m128i missing = _mm_cmpeq_epi32(index, _mm_set1_epi32(kNoParentHand));
  bad |= _mm_movemask_epi8(_mm_or_si128(inRange, missing)) != 0xFFFF;
  const __m256d lanes = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(inRange));
  _mm256_storeu_pd(out, _mm256_mask_i32gather_pd(_mm256_setzero_pd(), parent, index, lanes, 8));
}

}  // namespace

#include "solver/row_transfer_body.inc"

}  // namespace kernels_avx2
