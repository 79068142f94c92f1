// The two instruction-set variants of the per-hand kernels of the reports
// (EV, equity, range and lock-mask loops over 1326-entry arrays). Callers use
// the entry routines of solver/report_kernels.h. Plain declarations only: the
// kernel sources include this header.
#pragma once

#include <cstdint>

#define REPORT_KERNEL_DECLARATIONS                                                                             \
  /* a[i] = fill and, when b is not null, b[i] = fill wherever range[i] == 0. */                               \
  void FillOutsideRange(double* a, double* b, const double* range, double fill, uint32_t n);                   \
  /* Where e[i] is a number: ev[i] += e[i] * w[i] and weight[i] += w[i]; elsewhere both unchanged. */         \
  void AccumulateDealValues(double* ev, double* weight, const double* e, const double* w, uint32_t n);         \
  /* x[i] = x[i] / d[i]. */                                                                                    \
  void DivideRows(double* x, const double* d, uint32_t n);                                                     \
  /* ev[i] = e[i]; weight[i] = NaN where e[i] is NaN, else 0 where w[i] is NaN, else w[i]. */                 \
  void DealValueRows(double* ev, double* weight, const double* e, const double* w, uint32_t n);                \
  /* x[i] = (x[i] + 1) * 0.5: a balance in [-1, 1] as an equity in [0, 1]. */                                  \
  void EquityFromBalance(double* x, uint32_t n);                                                               \
  /* *numerator = the sum of e[i] * w[i] over the i where e[i] is a number; *denominator = the sum of w[i] */  \
  /* over the i where w[i] is a number. */                                                                     \
  void WeightedMeanSums(const double* e, const double* w, uint32_t n, double* numerator, double* denominator);  \
  /* totals[i] = the sum of rows[r][i] over the rows r < rowCount that are not null, added in row order. */ \
  void ActionTotals(double* totals, const double* const* rows, uint32_t rowCount, uint32_t n);                 \
  /* row[i] = current[i] wherever totals[i] == 0. */                                                           \
  void ReplaceWhereZero(double* row, const double* current, const double* totals, uint32_t n);                 \
  /* mask[i] = 1 where w[i] != 0 (a NaN counts as non-zero), else 0. */                                        \
  void NonZeroMask(uint8_t* mask, const double* w, uint32_t n);

namespace kernels_avx2 {
REPORT_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
REPORT_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef REPORT_KERNEL_DECLARATIONS
