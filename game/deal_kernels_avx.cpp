// AVX baseline variants of the deal-record kernels (128-bit integer lanes,
// no gather): row offsets of the river storage layout and the expansion of
// per-board values to combo order.
#include <immintrin.h>

#include <cstdint>

namespace deal_kernels_avx {

uint32_t FlatRowOffsets(const uint32_t* counts, uint32_t n, uint32_t k, uint32_t base, uint32_t* entries) {
  const __m128i three = _mm_set1_epi32(3);
  const __m128i roundMask = _mm_set1_epi32(~3);
  const __m128i factor = _mm_set1_epi32(static_cast<int>(k));
  __m128i running = _mm_set1_epi32(static_cast<int>(base));
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(counts + i));
    // Each row of c hands occupies ceil(c / 4) * 4 elements, k rows per board.
    const __m128i size = _mm_mullo_epi32(_mm_and_si128(_mm_add_epi32(c, three), roundMask), factor);
    __m128i sum = _mm_add_epi32(size, _mm_slli_si128(size, 4));
    sum = _mm_add_epi32(sum, _mm_slli_si128(sum, 8));
    const __m128i offset = _mm_add_epi32(running, _mm_sub_epi32(sum, size));
    running = _mm_add_epi32(running, _mm_shuffle_epi32(sum, 0xFF));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(entries + 2 * i), _mm_unpacklo_epi32(offset, c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(entries + 2 * i + 4), _mm_unpackhi_epi32(offset, c));
  }
  uint32_t offset = static_cast<uint32_t>(_mm_cvtsi128_si32(running));
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
  const __m128i zero = _mm_setzero_si128();
  int c = 0;
  for (; c + 4 <= 1326; c += 4) {
    const __m128i index = _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(map + c)));
    const __m128i listed = _mm_cmpgt_epi32(index, minusOne);
    // Unlisted lanes read element 0 (always present: the caller passes a
    // non-empty row) and are replaced by the fill value.
    const __m128i safe = _mm_max_epi32(index, zero);
    const __m256d loaded = _mm256_set_pd(values[_mm_extract_epi32(safe, 3)], values[_mm_extract_epi32(safe, 2)],
                                         values[_mm_extract_epi32(safe, 1)], values[_mm_cvtsi128_si32(safe)]);
    const __m256d mask = _mm256_castsi256_pd(
        _mm256_insertf128_si256(_mm256_castsi128_si256(_mm_cvtepi32_epi64(listed)),
                                _mm_cvtepi32_epi64(_mm_srli_si128(listed, 8)), 1));
    _mm256_storeu_pd(output + c, _mm256_blendv_pd(fillv, loaded, mask));
  }
  for (; c < 1326; ++c) output[c] = map[c] >= 0 ? values[map[c]] : fill;
}

}  // namespace deal_kernels_avx
