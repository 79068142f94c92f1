// AVX2/FMA variants of the deal-record kernels: row offsets of the river
// storage layout and the expansion of per-board values to combo order.
#include <immintrin.h>

#include <cstdint>

namespace deal_kernels_avx2 {

uint32_t FlatRowOffsets(const uint32_t* counts, uint32_t n, uint32_t k, uint32_t base, uint32_t* entries) {
  const __m256i three = _mm256_set1_epi32(3);
  const __m256i roundMask = _mm256_set1_epi32(~3);
  const __m256i factor = _mm256_set1_epi32(static_cast<int>(k));
  const __m256i last = _mm256_set1_epi32(7);
  __m256i running = _mm256_set1_epi32(static_cast<int>(base));
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + i));
    // Each row of c hands occupies ceil(c / 4) * 4 elements, k rows per board.
    const __m256i size = _mm256_mullo_epi32(_mm256_and_si256(_mm256_add_epi32(c, three), roundMask), factor);
    // Inclusive prefix sum: within each 128-bit half, then carry the lower
    // half's total into the upper half.
    __m256i sum = _mm256_add_epi32(size, _mm256_slli_si256(size, 4));
    sum = _mm256_add_epi32(sum, _mm256_slli_si256(sum, 8));
    const __m256i carry = _mm256_shuffle_epi32(_mm256_permute2x128_si256(sum, sum, 0x08), 0xFF);
    sum = _mm256_add_epi32(sum, carry);
    const __m256i offset = _mm256_add_epi32(running, _mm256_sub_epi32(sum, size));
    running = _mm256_add_epi32(running, _mm256_permutevar8x32_epi32(sum, last));
    // Interleave (offset, count) pairs.
    const __m256i lo = _mm256_unpacklo_epi32(offset, c);  // pairs 0 1 | 4 5
    const __m256i hi = _mm256_unpackhi_epi32(offset, c);  // pairs 2 3 | 6 7
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(entries + 2 * i), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(entries + 2 * i + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
  }
  uint32_t offset = static_cast<uint32_t>(_mm256_cvtsi256_si32(running));
  for (; i < n; ++i) {
    entries[2 * i] = offset;
    entries[2 * i + 1] = counts[i];
    offset += (counts[i] + 3) / 4 * 4 * k;
  }
  return offset;
}

void ExpandComboValues(double* output, const double* values, const int16_t* map, double fill) {
  const __m256d fillv = _mm256_set1_pd(fill);
  const __m128i minusOne = _mm_set1_epi32(-1);
  int c = 0;
  for (; c + 4 <= 1326; c += 4) {
    const __m128i index = _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(map + c)));
    // Lanes of unlisted hands are masked off and never touch memory.
    const __m256d listed = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpgt_epi32(index, minusOne)));
    _mm256_storeu_pd(output + c, _mm256_mask_i32gather_pd(fillv, values, index, listed, 8));
  }
  for (; c < 1326; ++c) output[c] = map[c] >= 0 ? values[map[c]] : fill;
}

}  // namespace deal_kernels_avx2
