// AVX2 variant of the FSE kernels: the histogram tables are added eight
// counts at a time and a group of eight codes is tested in one compare.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/fse_variants.h"

namespace kernels_avx2 {
namespace {

inline unsigned MergeCounts(const uint32_t (*tables)[256], uint32_t* totals) {
  __m256i largest = _mm256_setzero_si256();
  for (int s = 0; s < 256; s += 8) {
    auto load = [&](int t) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(tables[t] + s)); };
    const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(load(0), load(1)), _mm256_add_epi32(load(2), load(3)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(totals + s), sum);
    largest = _mm256_max_epu32(largest, sum);
  }
  __m128i m = _mm_max_epu32(_mm256_castsi256_si128(largest), _mm256_extracti128_si256(largest, 1));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<unsigned>(_mm_cvtsi128_si32(m));
}

#include "codecs/nonzero_mask_avx2.inc"

}  // namespace

#include "codecs/fse_kernels_body.inc"

}  // namespace kernels_avx2
