// AVX2/FMA variant of the 16-bit update kernels: sixteen hands per step with
// the counts in 256-bit integer registers; the strategy-sum accumulation uses
// one fused multiply-add per hand.
#include <immintrin.h>

#include <cfloat>
#include <cstdint>
#include <cstring>

#include "storage/update_kernels_variants.h"

namespace kernels_avx2 {

#include "storage/update_kernels_scalar.inc"
#include "storage/update_kernels_vector.inc"

namespace {

constexpr int kHalves = 2;
constexpr int kStep = 16;
using Counts = __m256i;

inline Counts LoadCounts(const uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void StoreCounts(uint16_t* p, Counts v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline Counts AddsU16(Counts a, Counts b) { return _mm256_adds_epu16(a, b); }
inline Counts SubsU16(Counts a, Counts b) { return _mm256_subs_epu16(a, b); }
inline Counts MinU16(Counts a, Counts b) { return _mm256_min_epu16(a, b); }
inline Counts AndCounts(Counts a, Counts b) { return _mm256_and_si256(a, b); }
inline Counts Blend16(Counts a, Counts b, Counts m) { return _mm256_blendv_epi8(a, b, m); }
inline Counts Set16(int v) { return _mm256_set1_epi16(static_cast<int16_t>(v)); }

// Sixteen float changes in [0, 65535] (hands 0-7 in c[0], 8-15 in c[1]) as
// sixteen u16 in hand order. The pack works per 128-bit lane, so the 64-bit
// quarters are put back in order afterwards.
inline Counts ChangesToU16(const __m256* c) {
  const __m256i packed = _mm256_packus_epi32(_mm256_cvttps_epi32(c[0]), _mm256_cvttps_epi32(c[1]));
  return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
}

// Widened to 32 bits, old + c or old - c cannot overflow; the unsigned
// saturation of the pack back to 16 bits is the clamp to 0..65535.
inline Counts ApplySignedChanges(Counts old, const __m256* c, const __m256* d) {
  const __m256i lo = _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(old)),
                                      _mm256_sign_epi32(_mm256_cvttps_epi32(c[0]), _mm256_castps_si256(d[0])));
  const __m256i hi = _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(old, 1)),
                                      _mm256_sign_epi32(_mm256_cvttps_epi32(c[1]), _mm256_castps_si256(d[1])));
  return _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), _MM_SHUFFLE(3, 1, 2, 0));
}

inline Counts MaskToU16(const __m256* m) {
  const __m256i packed = _mm256_packs_epi32(_mm256_castps_si256(m[0]), _mm256_castps_si256(m[1]));
  return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
}

// 16-bit lane masks of the eight hands from i whose weight is below DBL_MIN.
inline __m128i NoWeight8(const double* w, int i) {
  const __m256d smallest = _mm256_set1_pd(DBL_MIN);
  const __m128i lo = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i), smallest, _CMP_LT_OQ));
  const __m128i hi = NarrowMask(_mm256_cmp_pd(_mm256_loadu_pd(w + i + 4), smallest, _CMP_LT_OQ));
  return _mm_packs_epi32(lo, hi);
}
inline Counts NoWeight(const double* w, int i) { return _mm256_set_m128i(NoWeight8(w, i + 8), NoWeight8(w, i)); }

// 16-bit lane masks of the sixteen hands whose lock byte is 0.
inline Counts FreeHands(const uint8_t* mask) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask));
  return _mm256_cvtepi8_epi16(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
}

// (A * B) * scale + (acc + 0.5) with one rounding.
inline double RoundedSum(double a, double b, double scale, int32_t acc) {
  return __builtin_fma(a * b, scale, static_cast<double>(acc) + 0.5);
}

constexpr int kSumStep = 8;
inline void AccumulateStep(int32_t* acc, const double* a, const double* b, const uint8_t* mask, double scale) {
  const __m256d vscale = _mm256_set1_pd(scale), half = _mm256_set1_pd(0.5);
  const __m256d lowest = _mm256_set1_pd(-2147483648.0), highest = _mm256_set1_pd(2147483647.0);
  __m256i* p = reinterpret_cast<__m256i*>(acc);
  const __m256i old = _mm256_loadu_si256(p);
  __m128i result[2], keep[2];
  for (int h = 0; h < 2; ++h) {
    const int j = 4 * h;
    const __m256d current = _mm256_cvtepi32_pd(h == 0 ? _mm256_castsi256_si128(old) : _mm256_extracti128_si256(old, 1));
    __m256d v = _mm256_fmadd_pd(_mm256_mul_pd(_mm256_loadu_pd(a + j), _mm256_loadu_pd(b + j)), vscale,
                                _mm256_add_pd(current, half));
    keep[h] = NarrowMask(_mm256_cmp_pd(v, v, _CMP_ORD_Q));
    v = _mm256_min_pd(_mm256_max_pd(v, lowest), highest);
    result[h] = _mm256_cvttpd_epi32(v);
  }
  __m256i keepAll = _mm256_set_m128i(keep[1], keep[0]);
  if (mask != nullptr) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mask));
    keepAll = _mm256_and_si256(keepAll, _mm256_cvtepi8_epi32(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
  }
  _mm256_storeu_si256(p, _mm256_blendv_epi8(old, _mm256_set_m128i(result[1], result[0]), keepAll));
}

}  // namespace

#include "storage/update_kernels_body.inc"

}  // namespace kernels_avx2
