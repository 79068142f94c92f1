// AVX baseline variant of the float row loops: eight hands per step, lock
// masks widened with SSE4.1 in two halves.
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "storage/float_rows.h"

namespace kernels_avx {
namespace {

// All lanes set where the hand's lock-mask byte is 0 (eight bytes at m).
inline __m256 FreeLanes(const uint8_t* m) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(m));
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_cmpeq_epi32(_mm_cvtepu8_epi32(bytes), zero);
  const __m128i hi = _mm_cmpeq_epi32(_mm_cvtepu8_epi32(_mm_srli_si128(bytes, 4)), zero);
  return _mm256_castsi256_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

// a where the lane mask m is set, else b. A bitwise select: the compiler
// keeps it as vector code, where a blend of a compare result may be split
// into per-lane branches.
inline __m256 Select(__m256 m, __m256 a, __m256 b) { return _mm256_or_ps(_mm256_and_ps(m, a), _mm256_andnot_ps(m, b)); }

// Eight doubles as eight floats, each rounded to single precision.
inline __m256 NarrowPair(__m256d lo, __m256d hi) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
}

inline __m256d LoadOrZero(const double* p) { return p ? _mm256_loadu_pd(p) : _mm256_setzero_pd(); }

inline void StoreWidened(double* p, __m256 v) {
  _mm256_storeu_pd(p, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
  _mm256_storeu_pd(p + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
}

// The scalar rule of one hand, also used for the remainder of every loop.
inline float RegretStep(float old, double x, double y) {
  const float d = static_cast<float>(y - x);
  const float a = std::fabs(d);
  float c = 0.0f;
  if (a >= FLT_MIN) c = std::sqrt(a) * std::sqrt(std::sqrt(a));
  const float r = old + (d >= 0.0f ? c : -c);
  return r >= FLT_MIN ? r : 0.0f;
}

}  // namespace

void FloatRegretUpdate(float* row, const double* x, const double* y, const uint8_t* mask, int n) {
  const __m256 signBit = _mm256_set1_ps(-0.0f);
  const __m256 smallest = _mm256_set1_ps(FLT_MIN);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256d x0 = LoadOrZero(x ? x + i : nullptr), x1 = LoadOrZero(x ? x + i + 4 : nullptr);
    const __m256d y0 = LoadOrZero(y ? y + i : nullptr), y1 = LoadOrZero(y ? y + i + 4 : nullptr);
    const __m256 d = NarrowPair(_mm256_sub_pd(y0, x0), _mm256_sub_pd(y1, x1));
    const __m256 a = _mm256_andnot_ps(signBit, d);
    const __m256 s = _mm256_sqrt_ps(a);
    // |d|^0.75; differences below FLT_MIN (and NaN) contribute nothing.
    __m256 c = _mm256_and_ps(_mm256_mul_ps(s, _mm256_sqrt_ps(s)), _mm256_cmp_ps(a, smallest, _CMP_GE_OQ));
    c = _mm256_xor_ps(c, _mm256_and_ps(d, signBit));
    const __m256 old = _mm256_loadu_ps(row + i);
    __m256 r = _mm256_add_ps(old, c);
    r = _mm256_and_ps(r, _mm256_cmp_ps(r, smallest, _CMP_GE_OQ));
    if (mask) r = Select(FreeLanes(mask + i), r, old);
    _mm256_storeu_ps(row + i, r);
  }
  for (; i < n; ++i) {
    if (mask && mask[i]) continue;
    row[i] = RegretStep(row[i], x ? x[i] : 0.0, y ? y[i] : 0.0);
  }
}

void FloatSumAccumulate(float* row, const double* strategy, const double* reach, const uint8_t* mask, int n,
                        double weight) {
  const __m256d w = _mm256_set1_pd(weight);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256d p0 = _mm256_mul_pd(_mm256_mul_pd(w, _mm256_loadu_pd(strategy + i)), _mm256_loadu_pd(reach + i));
    const __m256d p1 =
        _mm256_mul_pd(_mm256_mul_pd(w, _mm256_loadu_pd(strategy + i + 4)), _mm256_loadu_pd(reach + i + 4));
    const __m256 old = _mm256_loadu_ps(row + i);
    __m256 r = _mm256_add_ps(old, NarrowPair(p0, p1));
    if (mask) r = Select(FreeLanes(mask + i), r, old);
    _mm256_storeu_ps(row + i, r);
  }
  for (; i < n; ++i) {
    if (mask && mask[i]) continue;
    row[i] += static_cast<float>((weight * strategy[i]) * reach[i]);
  }
}

void FloatQuotients(double* out, const float* values, const float* totals, int n, float dflt) {
  const __m256 smallest = _mm256_set1_ps(FLT_MIN);
  const __m256 fallback = _mm256_set1_ps(dflt);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 t = _mm256_loadu_ps(totals + i);
    const __m256 q = _mm256_div_ps(_mm256_loadu_ps(values + i), t);
    StoreWidened(out + i, Select(_mm256_cmp_ps(t, smallest, _CMP_GE_OQ), q, fallback));
  }
  for (; i < n; ++i) out[i] = static_cast<double>(totals[i] >= FLT_MIN ? values[i] / totals[i] : dflt);
}

void AddFloats(float* total, const float* v, int n) {
  int i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(total + i, _mm256_add_ps(_mm256_loadu_ps(total + i), _mm256_loadu_ps(v + i)));
  for (; i < n; ++i) total[i] += v[i];
}

void NonNegativeFloats(float* dst, const double* src, int n) {
  const __m256 zero = _mm256_setzero_ps();
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    // max returns its second operand for a NaN first one, and +0 for -0.
    const __m256 v = NarrowPair(_mm256_loadu_pd(src + i), _mm256_loadu_pd(src + i + 4));
    _mm256_storeu_ps(dst + i, _mm256_max_ps(v, zero));
  }
  for (; i < n; ++i) {
    const float v = static_cast<float>(src[i]);
    dst[i] = v > 0.0f ? v : 0.0f;
  }
}

}  // namespace kernels_avx
