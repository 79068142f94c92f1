#include "solver/report_kernels.h"

#include "core/cpu_info.h"
#include "solver/report_kernels_variants.h"

void FillOutsideRange(double* a, double* b, const double* range, double fill, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::FillOutsideRange(a, b, range, fill, n);
  else
    kernels_avx::FillOutsideRange(a, b, range, fill, n);
}

void AccumulateDealValues(double* ev, double* weight, const double* e, const double* w, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::AccumulateDealValues(ev, weight, e, w, n);
  else
    kernels_avx::AccumulateDealValues(ev, weight, e, w, n);
}

void DivideRows(double* x, const double* d, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::DivideRows(x, d, n);
  else
    kernels_avx::DivideRows(x, d, n);
}

void DealValueRows(double* ev, double* weight, const double* e, const double* w, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::DealValueRows(ev, weight, e, w, n);
  else
    kernels_avx::DealValueRows(ev, weight, e, w, n);
}

void EquityFromBalance(double* x, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::EquityFromBalance(x, n);
  else
    kernels_avx::EquityFromBalance(x, n);
}

double WeightedMean(const double* e, const double* w, uint32_t n) {
  double numerator, denominator;
  if (UseAvx2FmaKernels())
    kernels_avx2::WeightedMeanSums(e, w, n, &numerator, &denominator);
  else
    kernels_avx::WeightedMeanSums(e, w, n, &numerator, &denominator);
  return numerator / denominator;
}

void ActionTotals(double* totals, const double* const* rows, uint32_t rowCount, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::ActionTotals(totals, rows, rowCount, n);
  else
    kernels_avx::ActionTotals(totals, rows, rowCount, n);
}

void ReplaceWhereZero(double* row, const double* current, const double* totals, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::ReplaceWhereZero(row, current, totals, n);
  else
    kernels_avx::ReplaceWhereZero(row, current, totals, n);
}

void NonZeroMask(uint8_t* mask, const double* w, uint32_t n) {
  if (UseAvx2FmaKernels())
    kernels_avx2::NonZeroMask(mask, w, n);
  else
    kernels_avx::NonZeroMask(mask, w, n);
}
