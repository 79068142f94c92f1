// The two instruction-set variants of the per-hand array kernels. Callers
// use the entry routines of solver/array_kernels.h, which handle rows without
// data; every pointer given to a variant is non-null unless stated, and rows
// may be the same array where the operation is element-wise in place.
// Plain declarations only: the kernel sources include this header.
#pragma once

#include <cstdint>

#define ARRAY_KERNEL_DECLARATIONS                                                                              \
  /* dst[i] = a[i] * b[i]. */                                                                                  \
  void MultiplyRows(double* dst, const double* a, const double* b, uint32_t n);                                \
  /* dst[i] = a[i] * b[i]; returns the sum of the products. */                                                \
  double MultiplyRowsSum(double* dst, const double* a, const double* b, uint32_t n);                           \
  /* acc[i] += a[i] * b[i]. */                                                                                 \
  void AccumulateProductRows(double* acc, const double* a, const double* b, uint32_t n);                       \
  /* acc[i] += w * x[i]. */                                                                                    \
  void AddScaledRow(double* acc, double w, const double* x, uint32_t n);                                       \
  /* dst[i] += src[i]. */                                                                                      \
  void AddRows(double* dst, const double* src, uint32_t n);                                                    \
  /* The first hand i whose total 0.0 + v[0][i] + v[1][i] + ... (in order) is zero, or n. */                 \
  uint32_t FirstZeroTotal(const double* const* v, uint32_t rows, uint32_t n);                                  \
  /* From hand `from` on, v[k][i] = c[k][i] for every k where that total is zero. */                         \
  void TakeWhereZeroTotal(double* const* v, const double* const* c, uint32_t rows, uint32_t from, uint32_t n);  \
  /* x[i] *= c. */                                                                                             \
  void ScaleRow(double* x, double c, uint32_t n);                                                              \
  /* x[i] *= c where x[i] > 0. */                                                                              \
  void ScalePositiveRow(double* x, double c, uint32_t n);                                                      \
  /* x[i] *= c1 where x[i] >= 0, c2 where x[i] < 0. */                                                         \
  void ScaleBySignRow(double* x, double c1, double c2, uint32_t n);                                            \
  /* acc[i] = max(acc[i], b[i]); a null b reads as zeros. */                                                   \
  void MaxRows(double* acc, const double* b, uint32_t n);                                                      \
  /* Locked hands (mask byte non-zero): acc[i] += v[i] * w[i]; others acc[i] = max(acc[i], v[i]). */          \
  void MaskedAccumulateOrMaxRows(double* acc, const double* v, const double* w, const uint8_t* mask,          \
                                 uint32_t n);                                                                  \
  /* Unlocked hands: acc[i] = max(acc[i], 0); locked hands unchanged. */                                       \
  void MaskedClampRows(double* acc, const uint8_t* mask, uint32_t n);                                          \
  /* Locked hands: dst[i] = v[i] * w[i]; others dst[i] = v[i]. */                                              \
  void MaskedProductOrCopyRows(double* dst, const double* v, const double* w, const uint8_t* mask, uint32_t n);

namespace kernels_avx2 {
ARRAY_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
ARRAY_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef ARRAY_KERNEL_DECLARATIONS
