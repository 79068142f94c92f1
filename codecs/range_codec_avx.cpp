// AVX baseline variant of the range coder's row writer: a group of sixteen
// residuals is tested in 128-bit halves (AVX has no 256-bit integer OR), and
// the probabilities are filled eight at a time.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "codecs/range_codec_variants.h"

namespace kernels_avx {
namespace {

inline bool AnyNonZero16(const uint32_t* p) {
  const __m128i* q = reinterpret_cast<const __m128i*>(p);
  const __m128i v = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                 _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)));
  return !_mm_testz_si128(v, v);
}

inline void FillWords(uint16_t* p, size_t n, uint16_t value) {
  const __m128i v = _mm_set1_epi16(static_cast<int16_t>(value));
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), v);
  for (; i < n; ++i) p[i] = value;
}

}  // namespace

#include "codecs/range_codec_body.inc"

}  // namespace kernels_avx
