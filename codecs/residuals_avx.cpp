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

inline Lanes Add8(Lanes x, Lanes y) { return {_mm_add_epi32(x.lo, y.lo), _mm_add_epi32(x.hi, y.hi)}; }
inline Lanes Broadcast8(uint32_t v) {
  const __m128i b = _mm_set1_epi32(static_cast<int32_t>(v));
  return {b, b};
}
inline uint32_t FirstLane(Lanes v) { return static_cast<uint32_t>(_mm_cvtsi128_si32(v.lo)); }
inline __m128i UnZigZag4(__m128i z) {
  return _mm_xor_si128(_mm_srli_epi32(z, 1), _mm_sub_epi32(_mm_setzero_si128(), _mm_and_si128(z, _mm_set1_epi32(1))));
}
inline Lanes UnZigZag8(Lanes z) { return {UnZigZag4(z.lo), UnZigZag4(z.hi)}; }
inline __m128i RunningSum4(__m128i d) {
  d = _mm_add_epi32(d, _mm_slli_si128(d, 4));
  return _mm_add_epi32(d, _mm_slli_si128(d, 8));
}
inline Lanes RunningSum8(Lanes d) {
  const __m128i lo = RunningSum4(d.lo);
  return {lo, _mm_add_epi32(RunningSum4(d.hi), _mm_shuffle_epi32(lo, _MM_SHUFFLE(3, 3, 3, 3)))};
}
inline Lanes LastLane8(Lanes v) {
  const __m128i b = _mm_shuffle_epi32(v.hi, _MM_SHUFFLE(3, 3, 3, 3));
  return {b, b};
}
inline void StoreValues8(uint16_t* p, Lanes v) {
  const __m128i low = _mm_set1_epi32(0xFFFF);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packus_epi32(_mm_and_si128(v.lo, low), _mm_and_si128(v.hi, low)));
}

}  // namespace

#include "codecs/residuals_body.inc"

}  // namespace kernels_avx
