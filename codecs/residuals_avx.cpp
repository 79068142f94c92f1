// AVX baseline variant of the row residual kernel: the AVX instruction set
// has no 256-bit integer arithmetic, so eight values are two 128-bit halves.
#include <immintrin.h>

#include <cstdint>

#include "codecs/residuals_variants.h"

namespace kernels_avx {
namespace {

struct Lanes {
  __m128i lo, hi;
};

inline Lanes Load8(const uint32_t* p) {
  return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4))};
}
inline Lanes Load8(const uint16_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return {_mm_cvtepu16_epi32(v), _mm_cvtepu16_epi32(_mm_srli_si128(v, 8))};
}
inline Lanes Sub8(Lanes x, Lanes y) { return {_mm_sub_epi32(x.lo, y.lo), _mm_sub_epi32(x.hi, y.hi)}; }
inline __m128i Residual4(__m128i d) { return _mm_xor_si128(_mm_slli_epi32(d, 1), _mm_srai_epi32(d, 31)); }
inline Lanes Residual8(Lanes d) { return {Residual4(d.lo), Residual4(d.hi)}; }
inline void Store8(uint32_t* p, Lanes v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v.lo);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 4), v.hi);
}
inline unsigned ZeroMask8(Lanes v) {
  const __m128i zero = _mm_setzero_si128();
  const unsigned lo = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v.lo, zero))));
  const unsigned hi = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v.hi, zero))));
  return lo | hi << 4;
}

}  // namespace

#include "codecs/residuals_body.inc"

}  // namespace kernels_avx
