// The float row loops of the flop, turn and float river storages: the regret
// update, the strategy-sum accumulation, the single-row probability rule and
// the conversions of the write path. Each entry picks the AVX2/FMA or the AVX
// variant on every call; both compute bit-identical results (exact square
// roots and exact division, no fused operations in the arithmetic).
//
// Plain declarations only: the variant sources include this header.
#pragma once

#include <cstdint>

struct AlignedArray;
struct AlignedFloatArray;

// --- Entries ------------------------------------------------------------------

// Regret update of one row of n hands. For every hand whose mask byte is 0
// (hands at or past maskLength are free): d = (float)(y - x), c = |d|^0.75 as
// sqrt(|d|) * sqrt(sqrt(|d|)) (0 when |d| < FLT_MIN), r = row + (d >= 0 ? c :
// -c), row = r when r >= FLT_MIN else 0. Hands past the end of x or y, and
// arrays without a block, read as zeros; a NaN difference changes nothing.
void UpdateFloatRow(float* row, int n, const AlignedArray& nodeValues, const AlignedArray& actionValues,
                    const uint8_t* mask, int32_t maskLength);

// row[i] += (float)((weight * strategy[i]) * reach[i]) for the free hands of
// n. Nothing when weight <= 0 (or NaN), or when either array has no block;
// hands past either array's count gain nothing.
void AccumulateFloatRow(float* row, int n, const AlignedArray& strategy, const AlignedArray& reach, double weight,
                        const uint8_t* mask, int32_t maskLength);

// The single-row probability rule: out[i] = values[i] / totals[i] in single
// precision where totals[i] >= FLT_MIN, else dflt; widened to double. A null
// values row reads as zeros, null totals give the default everywhere.
void FloatsToProbs(double* out, const float* values, const float* totals, int n, float dflt);
// The same into an AlignedArray, resized to n (a count without a block gets one).
void FloatsToProbs(AlignedArray& out, const float* values, int n, const AlignedFloatArray& totals, float dflt);

// total[i] += v[i] in single precision; a null v adds nothing.
void AddFloatRow(float* total, const float* v, int n);

// dst[i] = src[i] rounded to single precision, with negative values and NaN
// stored as 0 (stored regrets and sums are never negative). A null src
// stores zeros. Values beyond the float range become +infinity.
void StoreNonNegativeFloats(float* dst, const double* src, int n);

// The largest magnitude a value read from a tree file may have (stored rows,
// card record values). Solves stay far below it: payoffs are at most 2^33
// chips and reach at most 1e9 per hand, and even their products summed over
// every hand and iteration stay under 1e30; above it, a few more updates in
// single precision could reach infinity.
constexpr double kMaxStoredValue = 1e30;

// A row read from a file: negative elements become 0 (stored regrets and
// sums are never negative). False when an element is NaN, infinite or above
// kMaxStoredValue: such a row cannot come from a solve.
bool SanitizeFloatRow(float* row, int n);

// --- Variants (the entries hand them non-null rows and n > 0) -----------------

namespace kernels_avx2 {
// x and y may be null (zeros), mask may be null (no hand locked).
void FloatRegretUpdate(float* row, const double* x, const double* y, const uint8_t* mask, int n);
// strategy and reach non-null, mask may be null, weight > 0.
void FloatSumAccumulate(float* row, const double* strategy, const double* reach, const uint8_t* mask, int n,
                        double weight);
void FloatQuotients(double* out, const float* values, const float* totals, int n, float dflt);
void AddFloats(float* total, const float* v, int n);
void NonNegativeFloats(float* dst, const double* src, int n);
}  // namespace kernels_avx2

namespace kernels_avx {
void FloatRegretUpdate(float* row, const double* x, const double* y, const uint8_t* mask, int n);
void FloatSumAccumulate(float* row, const double* strategy, const double* reach, const uint8_t* mask, int n,
                        double weight);
void FloatQuotients(double* out, const float* values, const float* totals, int n, float dflt);
void AddFloats(float* total, const float* v, int n);
void NonNegativeFloats(float* dst, const double* src, int n);
}  // namespace kernels_avx
