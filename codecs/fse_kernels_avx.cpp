// AVX baseline variant of the FSE kernels: AVX has no 256-bit integer
// arithmetic, so the histogram tables are added four counts at a time and a
// group of eight codes is tested in two 128-bit halves.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/fse_variants.h"

namespace kernels_avx {
namespace {

inline unsigned MergeCounts(const uint32_t (*tables)[256], uint32_t* totals) {
  __m128i largest = _mm_setzero_si128();
  for (int s = 0; s < 256; s += 4) {
    auto load = [&](int t) { return _mm_load_si128(reinterpret_cast<const __m128i*>(tables[t] + s)); };
    const __m128i sum = _mm_add_epi32(_mm_add_epi32(load(0), load(1)), _mm_add_epi32(load(2), load(3)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + s), sum);
    largest = _mm_max_epu32(largest, sum);
  }
  largest = _mm_max_epu32(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(1, 0, 3, 2)));
  largest = _mm_max_epu32(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<unsigned>(_mm_cvtsi128_si32(largest));
}

#include "codecs/nonzero_mask_avx.inc"

}  // namespace

#include "codecs/fse_kernels_body.inc"

}  // namespace kernels_avx
