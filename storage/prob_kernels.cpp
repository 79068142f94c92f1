#include "storage/prob_kernels.h"

#include <cfloat>

#include "core/cpu_info.h"
#include "storage/prob_kernels_variants.h"

namespace {

// The path for rows without a block: a null input row reads as zeros, a null
// output row is skipped and null defaults read as zeros. The arithmetic is
// the scalar rule of the vector kernels (sum left to right in float, exact
// single-precision division).
template <typename T, int K>
void ProbsWithMissingRows(const T* const (&rows)[K], double* const (&out)[K], int n, const float* defaults) {
  for (int i = 0; i < n; ++i) {
    float v[K];
    for (int k = 0; k < K; ++k) v[k] = rows[k] != nullptr ? static_cast<float>(rows[k][i]) : 0.0f;
    float s = v[0];
    for (int k = 1; k < K; ++k) s += v[k];
    for (int k = 0; k < K; ++k) {
      if (out[k] == nullptr) continue;
      if (s >= FLT_MIN)
        out[k][i] = static_cast<double>(v[k] / s);
      else
        out[k][i] = defaults != nullptr ? static_cast<double>(defaults[k]) : 0.0;
    }
  }
}

template <typename T, int K>
bool AnyMissing(const T* const (&rows)[K], double* const (&out)[K], const float* defaults) {
  if (defaults == nullptr) return true;
  for (int k = 0; k < K; ++k)
    if (rows[k] == nullptr || out[k] == nullptr) return true;
  return false;
}

// Whether every input and output row holds a block.
template <typename T, int K>
bool AllPresent(const T* const (&rows)[K], double* const (&out)[K]) {
  for (int k = 0; k < K; ++k)
    if (rows[k] == nullptr || out[k] == nullptr) return false;
  return true;
}

}  // namespace

void FloatsToProbs2(const float* a, const float* b, double* pa, double* pb, int n, const float* defaults) {
  if (n <= 0) return;
  const float* const rows[2] = {a, b};
  double* const out[2] = {pa, pb};
  if (AllPresent<float, 2>(rows, out) && defaults == nullptr) {
    if (UseAvx2FmaKernels())
      kernels_avx2::FloatsToProbsDivided2(a, b, pa, pb, n);
    else
      kernels_avx::FloatsToProbsDivided2(a, b, pa, pb, n);
  } else if (AnyMissing<float, 2>(rows, out, defaults))
    ProbsWithMissingRows<float, 2>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::FloatsToProbs2(a, b, pa, pb, n, defaults);
  else
    kernels_avx::FloatsToProbs2(a, b, pa, pb, n, defaults);
}

void FloatsToProbs3(const float* a, const float* b, const float* c, double* pa, double* pb, double* pc, int n,
                    const float* defaults) {
  if (n <= 0) return;
  const float* const rows[3] = {a, b, c};
  double* const out[3] = {pa, pb, pc};
  if (AllPresent<float, 3>(rows, out) && defaults == nullptr) {
    if (UseAvx2FmaKernels())
      kernels_avx2::FloatsToProbsDivided3(a, b, c, pa, pb, pc, n);
    else
      kernels_avx::FloatsToProbsDivided3(a, b, c, pa, pb, pc, n);
  } else if (AnyMissing<float, 3>(rows, out, defaults))
    ProbsWithMissingRows<float, 3>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::FloatsToProbs3(a, b, c, pa, pb, pc, n, defaults);
  else
    kernels_avx::FloatsToProbs3(a, b, c, pa, pb, pc, n, defaults);
}

void CountsToProbs2(const uint16_t* a, const uint16_t* b, double* pa, double* pb, int n, const float* defaults,
                    const double* reach) {
  if (n <= 0) return;
  const uint16_t* const rows[2] = {a, b};
  double* const out[2] = {pa, pb};
  if (AnyMissing<uint16_t, 2>(rows, out, defaults))
    ProbsWithMissingRows<uint16_t, 2>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs2(a, b, pa, pb, n, defaults, reach);
  else
    kernels_avx::CountsToProbs2(a, b, pa, pb, n, defaults, reach);
}

void CountsToProbs3(const uint16_t* a, const uint16_t* b, const uint16_t* c, double* pa, double* pb, double* pc,
                    int n, const float* defaults, const double* reach) {
  if (n <= 0) return;
  const uint16_t* const rows[3] = {a, b, c};
  double* const out[3] = {pa, pb, pc};
  if (AnyMissing<uint16_t, 3>(rows, out, defaults))
    ProbsWithMissingRows<uint16_t, 3>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs3(a, b, c, pa, pb, pc, n, defaults, reach);
  else
    kernels_avx::CountsToProbs3(a, b, c, pa, pb, pc, n, defaults, reach);
}

void CountsToProbs4(const uint16_t* a, const uint16_t* b, const uint16_t* c, const uint16_t* d, double* pa,
                    double* pb, double* pc, double* pd, int n, const float* defaults) {
  if (n <= 0) return;
  const uint16_t* const rows[4] = {a, b, c, d};
  double* const out[4] = {pa, pb, pc, pd};
  if (AnyMissing<uint16_t, 4>(rows, out, defaults))
    ProbsWithMissingRows<uint16_t, 4>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs4(a, b, c, d, pa, pb, pc, pd, n, defaults);
  else
    kernels_avx::CountsToProbs4(a, b, c, d, pa, pb, pc, pd, n, defaults);
}

namespace {

// Single-row quotients with a missing count or total row: a missing total is
// all zeros, so every hand takes the default; a missing count row gives 0
// where the total is positive.
template <typename T>
void CountQuotientsWithMissingRows(const T* count, const uint32_t* total, double* p, int n, float dflt) {
  for (int i = 0; i < n; ++i) {
    const int32_t t = total != nullptr ? static_cast<int32_t>(total[i]) : 0;
    if (t < 1)
      p[i] = static_cast<double>(dflt);
    else
      p[i] = count != nullptr ? static_cast<double>(static_cast<float>(count[i]) / static_cast<float>(t)) : 0.0;
  }
}

}  // namespace

void CountsToProbs1(const uint16_t* count, const uint32_t* total, double* p, int n, float dflt) {
  if (n <= 0 || p == nullptr) return;
  if (count == nullptr || total == nullptr)
    CountQuotientsWithMissingRows(count, total, p, n, dflt);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs1(count, total, p, n, dflt);
  else
    kernels_avx::CountsToProbs1(count, total, p, n, dflt);
}

void CountsToProbs1U32(const int32_t* count, const uint32_t* total, double* p, int n, float dflt) {
  if (n <= 0 || p == nullptr) return;
  if (count == nullptr || total == nullptr)
    CountQuotientsWithMissingRows(count, total, p, n, dflt);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs1U32(count, total, p, n, dflt);
  else
    kernels_avx::CountsToProbs1U32(count, total, p, n, dflt);
}

// Adding a row without a block adds zeros: nothing to do.
void AddU16ToU32(uint32_t* total, const uint16_t* v, int n) {
  if (n <= 0 || total == nullptr || v == nullptr) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::AddU16ToU32(total, v, n);
  else
    kernels_avx::AddU16ToU32(total, v, n);
}

void AddU32Arrays(uint32_t* total, const uint32_t* v, int n) {
  if (n <= 0 || total == nullptr || v == nullptr) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::AddU32Arrays(total, v, n);
  else
    kernels_avx::AddU32Arrays(total, v, n);
}

void DoublesToFloats(float* dst, const double* src, int n) {
  if (n <= 0 || dst == nullptr) return;
  if (src == nullptr) {
    for (int i = 0; i < n; ++i) dst[i] = 0.0f;
  } else if (UseAvx2FmaKernels()) {
    kernels_avx2::DoublesToFloats(dst, src, n);
  } else {
    kernels_avx::DoublesToFloats(dst, src, n);
  }
}
