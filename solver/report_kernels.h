// Per-hand kernels of the reports: the EV pass's combination of its per-deal
// rows, the equity handlers' conversions and averages, the strategy read's
// fallback to the current strategy, range masks and the lock mask of a
// combo lock. Each routine works on plain arrays of n entries and picks its
// AVX2/FMA or AVX variant; none allocates.
#pragma once

#include <cstdint>

// a[i] = fill and, when b is not null, b[i] = fill wherever range[i] == 0.
void FillOutsideRange(double* a, double* b, const double* range, double fill, uint32_t n);
// Where e[i] is a number: ev[i] += e[i] * w[i] and weight[i] += w[i].
void AccumulateDealValues(double* ev, double* weight, const double* e, const double* w, uint32_t n);
// x[i] = x[i] / d[i] (0 / 0 gives NaN).
void DivideRows(double* x, const double* d, uint32_t n);
// ev = e; weight[i] = NaN where e[i] is NaN, else w[i] with NaN read as 0.
void DealValueRows(double* ev, double* weight, const double* e, const double* w, uint32_t n);
// x[i] = (x[i] + 1) * 0.5; NaN stays NaN.
void EquityFromBalance(double* x, uint32_t n);
// The sum of e[i] * w[i] over the hands whose e is a number, over the sum of
// w[i] over the hands whose w is a number (NaN or an infinity when that sum
// is 0).
double WeightedMean(const double* e, const double* w, uint32_t n);
// totals[i] = the sum of rows[r][i] over the non-null rows, in row order.
void ActionTotals(double* totals, const double* const* rows, uint32_t rowCount, uint32_t n);
// row[i] = current[i] wherever totals[i] == 0.
void ReplaceWhereZero(double* row, const double* current, const double* totals, uint32_t n);
// mask[i] = 1 where w[i] != 0 (NaN included), else 0.
void NonZeroMask(uint8_t* mask, const double* w, uint32_t n);
