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

// Whether every input and output row holds a block.
template <typename T, int K>
bool AllPresent(const T* const (&rows)[K], double* const (&out)[K]) {
  for (int k = 0; k < K; ++k)
    if (rows[k] == nullptr || out[k] == nullptr) return false;
  return true;
}

// Whether the path for rows without a block is needed (it also reads null
// defaults as zeros).
template <typename T, int K>
bool AnyMissing(const T* const (&rows)[K], double* const (&out)[K], const float* defaults) {
  return defaults == nullptr || !AllPresent<T, K>(rows, out);
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
                    const double* reach, const void* ahead, size_t aheadBytes) {
  if (n <= 0) return;
  const uint16_t* const rows[2] = {a, b};
  double* const out[2] = {pa, pb};
  if (AnyMissing<uint16_t, 2>(rows, out, defaults))
    ProbsWithMissingRows<uint16_t, 2>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs2(a, b, pa, pb, n, defaults, reach, ahead, aheadBytes);
  else
    kernels_avx::CountsToProbs2(a, b, pa, pb, n, defaults, reach, ahead, aheadBytes);
}

void CountsToProbs3(const uint16_t* a, const uint16_t* b, const uint16_t* c, double* pa, double* pb, double* pc,
                    int n, const float* defaults, const double* reach, const void* ahead, size_t aheadBytes) {
  if (n <= 0) return;
  const uint16_t* const rows[3] = {a, b, c};
  double* const out[3] = {pa, pb, pc};
  if (AnyMissing<uint16_t, 3>(rows, out, defaults))
    ProbsWithMissingRows<uint16_t, 3>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs3(a, b, c, pa, pb, pc, n, defaults, reach, ahead, aheadBytes);
  else
    kernels_avx::CountsToProbs3(a, b, c, pa, pb, pc, n, defaults, reach, ahead, aheadBytes);
}

namespace {

// row[i] *= reach[i], summed in the order of the vector kernels: lane j of
// two four-lane sums takes hands 8g + j and 8g + 4 + j, the lanes are added
// ((0 + 2) + (1 + 3)) after the last group of eight, then the rest in order.
double MultiplyBySummedReach(double* row, const double* reach, int n) {
  double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int i = 0;
  for (; i + 8 <= n; i += 8)
    for (int j = 0; j < 8; ++j) {
      row[i + j] *= reach[i + j];
      lanes[j] += row[i + j];
    }
  const double t[4] = {lanes[0] + lanes[4], lanes[1] + lanes[5], lanes[2] + lanes[6], lanes[3] + lanes[7]};
  double sum = (t[0] + t[2]) + (t[1] + t[3]);
  for (; i < n; ++i) {
    row[i] *= reach[i];
    sum += row[i];
  }
  return sum;
}

// The reach products over rows some of which have no block: the read of such
// rows (which reads every hand), then the products row by row. A row without output has no
// products and sums to 0.
template <int K>
void ReachProductsWithMissingRows(const uint16_t* const (&rows)[K], double* const (&out)[K], int n,
                                  const float* defaults, const double* reach, double* sums) {
  ProbsWithMissingRows<uint16_t, K>(rows, out, n, defaults);
  for (int k = 0; k < K; ++k) {
    if (out[k] == nullptr) {
      sums[k] = 0.0;
      continue;
    }
    sums[k] = MultiplyBySummedReach(out[k], reach, n);
  }
}

}  // namespace

void CountsToReachProducts2(const uint16_t* a, const uint16_t* b, double* pa, double* pb, int n,
                            const float* defaults, const double* reach, double* sums, const void* ahead,
                            size_t aheadBytes) {
  if (n <= 0) {
    sums[0] = sums[1] = 0.0;
    return;
  }
  const uint16_t* const rows[2] = {a, b};
  double* const out[2] = {pa, pb};
  if (AnyMissing<uint16_t, 2>(rows, out, defaults))
    ReachProductsWithMissingRows<2>(rows, out, n, defaults, reach, sums);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToReachProducts2(a, b, pa, pb, n, defaults, reach, sums, ahead, aheadBytes);
  else
    kernels_avx::CountsToReachProducts2(a, b, pa, pb, n, defaults, reach, sums, ahead, aheadBytes);
}

void CountsToReachProducts3(const uint16_t* a, const uint16_t* b, const uint16_t* c, double* pa, double* pb,
                            double* pc, int n, const float* defaults, const double* reach, double* sums,
                            const void* ahead, size_t aheadBytes) {
  if (n <= 0) {
    sums[0] = sums[1] = sums[2] = 0.0;
    return;
  }
  const uint16_t* const rows[3] = {a, b, c};
  double* const out[3] = {pa, pb, pc};
  if (AnyMissing<uint16_t, 3>(rows, out, defaults))
    ReachProductsWithMissingRows<3>(rows, out, n, defaults, reach, sums);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToReachProducts3(a, b, c, pa, pb, pc, n, defaults, reach, sums, ahead, aheadBytes);
  else
    kernels_avx::CountsToReachProducts3(a, b, c, pa, pb, pc, n, defaults, reach, sums, ahead, aheadBytes);
}

void CountsToProbs4(const uint16_t* a, const uint16_t* b, const uint16_t* c, const uint16_t* d, double* pa,
                    double* pb, double* pc, double* pd, int n, const float* defaults, const double* reach,
                    const void* ahead, size_t aheadBytes) {
  if (n <= 0) return;
  const uint16_t* const rows[4] = {a, b, c, d};
  double* const out[4] = {pa, pb, pc, pd};
  if (AnyMissing<uint16_t, 4>(rows, out, defaults))
    ProbsWithMissingRows<uint16_t, 4>(rows, out, n, defaults);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToProbs4(a, b, c, d, pa, pb, pc, pd, n, defaults, reach, ahead, aheadBytes);
  else
    kernels_avx::CountsToProbs4(a, b, c, d, pa, pb, pc, pd, n, defaults, reach, ahead, aheadBytes);
}

void CountsToReachProducts4(const uint16_t* a, const uint16_t* b, const uint16_t* c, const uint16_t* d, double* pa,
                            double* pb, double* pc, double* pd, int n, const float* defaults, const double* reach,
                            double* sums, const void* ahead, size_t aheadBytes) {
  if (n <= 0) {
    sums[0] = sums[1] = sums[2] = sums[3] = 0.0;
    return;
  }
  const uint16_t* const rows[4] = {a, b, c, d};
  double* const out[4] = {pa, pb, pc, pd};
  if (AnyMissing<uint16_t, 4>(rows, out, defaults))
    ReachProductsWithMissingRows<4>(rows, out, n, defaults, reach, sums);
  else if (UseAvx2FmaKernels())
    kernels_avx2::CountsToReachProducts4(a, b, c, d, pa, pb, pc, pd, n, defaults, reach, sums, ahead, aheadBytes);
  else
    kernels_avx::CountsToReachProducts4(a, b, c, d, pa, pb, pc, pd, n, defaults, reach, sums, ahead, aheadBytes);
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
