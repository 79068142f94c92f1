// Writers of the 16-bit regret rows and of the 32-bit strategy-sum rows of the
// river storages: quantisation of given values, the companded regret update
// (with its weighted form and the hand-group averaging) and the rounded
// strategy-sum accumulation. Each entry picks the AVX2/FMA or the AVX variant
// on every call. The counts are the same in both (square roots are exact);
// the accumulation fuses its multiply-add in the AVX2/FMA variant, so a sum
// can differ by one unit between the variants.
//
// Robustness rules shared by every routine here:
//  - An AlignedArray without a block (null data) reads as zeros; a row pointer
//    that is null is not touched.
//  - Counts saturate at 0 and 65535 and sums at the signed 32-bit limits:
//    nothing wraps around.
//  - A lock mask covers `maskLength` hands; hands past it are free.
#pragma once

#include <cstdint>
#include <vector>

#include "game/aligned_array.h"

// dst[i] = src[i] truncated toward zero and saturated to 0..65535; NaN and
// negative values store 0. A null src stores zeros.
void QuantizeToU16(uint16_t* dst, const double* src, int n);

// The per-call constants of the companded update: pf = pow(scale, 0.75) and
// tf = 1/scale, both formed in double and rounded to float. `usable` is false
// for a scale that is not a positive finite number; tf is raised to FLT_MIN
// when 1/scale rounds below it, so a zero difference never counts as regret.
struct CompandFactors {
  float pf = 0.0f;
  float tf = 0.0f;
  bool usable = false;
};
CompandFactors ComputeCompandFactors(double scale);

// Regret update of one action row over x.count hands: d = (float)(y[i] -
// x[i]); d >= tf adds trunc(pf * |d|^0.75) (saturating at 65535), d <= -tf
// subtracts it (stopping at 0), anything smaller changes nothing. Locked hands
// keep their counts. Then, when segment sizes are given, SegmentSumsU16 with
// the same lock mask. An unusable scale changes nothing.
void UpdateCompandedU16(uint16_t* row, const AlignedArray& x, const AlignedArray& y,
                        const std::vector<int16_t>* segments, const uint8_t* lockMask, int32_t maskLength,
                        double scale);

// The same update steered by a weight row: a hand whose weight is below
// DBL_MIN keeps a count of 0 or 1. Without weight data a positive regret only
// turns a non-zero count into 1 and a negative one gives 1 or 0. Hands past
// w.count (when w holds data) follow the no-data rule. The lock mask is
// optional (the storages pass none on this path); when given, locked hands
// keep their counts through the update and the averaging.
void AccumulateCompandU16(uint16_t* row, const AlignedArray& x, const AlignedArray& y, const AlignedArray& w,
                          const std::vector<int16_t>* segments, double scale, const uint8_t* lockMask = nullptr,
                          int32_t maskLength = 0);

// Replaces each hand group's counts by their mean (32-bit sum, truncating
// division). Consecutive sizes cover consecutive hands; a size below 1 moves
// the position by that amount and averages nothing. The position is kept
// within the row: a group that runs past the row end is cut at the end, and
// one that would start before the row start begins at 0. Locked hands are
// neither counted nor written: the free hands of a group take the mean of the
// free hands.
void SegmentSumsU16(uint16_t* row, int n, const std::vector<int16_t>& sizes, const uint8_t* lockMask = nullptr,
                    int32_t maskLength = 0);

// acc[i] = trunc(acc[i] + 0.5 + scale * a[i] * b[i]) over a.count hands, for
// the hands not locked, saturated to the signed 32-bit range (a NaN result
// keeps the old sum). Nothing happens when scale <= 0 (or NaN) or when b or a
// holds no block; hands past b.count gain nothing.
void AccumulateRounded(int32_t* acc, const AlignedArray& a, const AlignedArray& b, const uint8_t* lockMask,
                       int32_t maskLength, double scale);
