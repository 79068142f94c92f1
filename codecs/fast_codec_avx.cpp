// AVX baseline variant of the packing codec's row writer: AVX has no 256-bit
// integer compare, so a group of eight residuals is two 128-bit halves.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/fast_codec_variants.h"

namespace kernels_avx {
namespace {

inline unsigned NonZeroMask8(const uint32_t* p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero);
  const __m128i hi = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)), zero);
  const unsigned zeros = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(lo))) |
                         static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(hi))) << 4;
  return ~zeros & 0xFFu;
}

}  // namespace

#include "codecs/fast_codec_body.inc"

}  // namespace kernels_avx
