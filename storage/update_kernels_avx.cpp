// AVX baseline variant of the 16-bit update kernels: eight hands per step,
// float and double arithmetic in 256-bit registers, the 16-bit counts in
// 128-bit registers (AVX has no 256-bit integer operations).
#include <immintrin.h>

#include <cfloat>
#include <cstdint>
#include <cstring>

#include "storage/update_kernels_variants.h"

namespace kernels_avx {

#include "storage/update_kernels_scalar.inc"
#include "storage/update_kernels_vector.inc"

namespace {

constexpr int kHalves = 1;
constexpr int kStep = 8;
using Counts = __m128i;

inline Counts LoadCounts(const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void StoreCounts(uint16_t* p, Counts v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline Counts AddsU16(Counts a, Counts b) { return _mm_adds_epu16(a, b); }
inline Counts SubsU16(Counts a, Counts b) { return _mm_subs_epu16(a, b); }
inline Counts MinU16(Counts a, Counts b) { return _mm_min_epu16(a, b); }
inline Counts AndCounts(Counts a, Counts b) { return _mm_and_si128(a, b); }
inline Counts Blend16(Counts a, Counts b, Counts m) { return _mm_blendv_epi8(a, b, m); }
inline Counts Set16(int v) { return _mm_set1_epi16(static_cast<int16_t>(v)); }

// Eight float changes in [0, 65535] as eight u16 (truncated).
inline Counts ChangesToU16(const __m256* c) {
  const __m256i v = _mm256_cvttps_epi32(c[0]);
  return _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extractf128_si256(v, 1));
}

// Widened to 32 bits, old + c or old - c cannot overflow; the unsigned
// saturation of the pack back to 16 bits is the clamp to 0..65535.
inline Counts ApplySignedChanges(Counts old, const __m256* c, const __m256* d) {
  const __m256i changes = _mm256_cvttps_epi32(c[0]);
  const __m256i signs = _mm256_castps_si256(d[0]);
  const __m128i lo = _mm_add_epi32(_mm_cvtepu16_epi32(old), _mm_sign_epi32(_mm256_castsi256_si128(changes),
                                                                           _mm256_castsi256_si128(signs)));
  const __m128i hi = _mm_add_epi32(_mm_unpackhi_epi16(old, _mm_setzero_si128()),
                                   _mm_sign_epi32(_mm256_extractf128_si256(changes, 1), _mm256_extractf128_si256(signs, 1)));
  return _mm_packus_epi32(lo, hi);
}

// Eight 32-bit lane masks as eight 16-bit lane masks.
inline Counts MaskToU16(const __m256* m) {
  const __m256i v = _mm256_castps_si256(m[0]);
  return _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extractf128_si256(v, 1));
}

// 16-bit lane masks of the eight hands from i whose weight is below DBL_MIN.
inline Counts NoWeight(const double* w, int i) {
  const __m256d smallest = _mm256_set1_pd(DBL_MIN);
  const __m128i lo = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i), smallest, _CMP_LT_OQ));
  const __m128i hi = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i + 4), smallest, _CMP_LT_OQ));
  return _mm_packs_epi32(lo, hi);
}

// 16-bit lane masks of the eight hands whose lock byte is 0.
inline Counts FreeHands(const uint8_t* mask) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mask));
  return _mm_cvtepi8_epi16(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
}

// 32-bit lane masks of four hands whose lock byte is 0.
inline __m128i FreeHands4(const uint8_t* mask) {
  int32_t word;
  std::memcpy(&word, mask, 4);
  return _mm_cvtepi8_epi32(_mm_cmpeq_epi8(_mm_cvtsi32_si128(word), _mm_setzero_si128()));
}

// ((scale * A) * B + 0.5) + acc
inline double RoundedSum(double a, double b, double scale, int32_t acc) {
  return ((scale * a) * b + 0.5) + static_cast<double>(acc);
}

constexpr int kSumStep = 4;
inline void AccumulateStep(int32_t* acc, const double* a, const double* b, const uint8_t* mask, double scale) {
  const __m256d vscale = _mm256_set1_pd(scale), half = _mm256_set1_pd(0.5);
  const __m256d lowest = _mm256_set1_pd(-2147483648.0), highest = _mm256_set1_pd(2147483647.0);
  __m128i* p = reinterpret_cast<__m128i*>(acc);
  const __m128i old = _mm_loadu_si128(p);
  const __m256d product = _mm256_mul_pd(_mm256_mul_pd(vscale, _mm256_loadu_pd(a)), _mm256_loadu_pd(b));
  __m256d v = _mm256_add_pd(_mm256_add_pd(product, half), _mm256_cvtepi32_pd(old));
  __m128i keep = NarrowMask(_mm256_cmp_pd(v, v, _CMP_ORD_Q));
  if (mask != nullptr) keep = _mm_and_si128(keep, FreeHands4(mask));
  v = _mm256_min_pd(_mm256_max_pd(v, lowest), highest);
  _mm_storeu_si128(p, _mm_blendv_epi8(old, _mm256_cvttpd_epi32(v), keep));
}

}  // namespace

#include "storage/update_kernels_body.inc"

}  // namespace kernels_avx
