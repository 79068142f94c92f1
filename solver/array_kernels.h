// Per-hand array kernels of the node evaluations: products, scalings, maxima,
// masked best-response combinations, reach rows and the chance nodes' reach
// accumulation, on AlignedArrays.
//
// An AlignedArray with a count but no data stands for that many zeros. The
// kernels read it so, allocate a destination (zeroed) only when a non-empty
// operand arrives, and leave products without data when they would be all
// zeros, so a branch that is never reached costs neither arithmetic nor
// memory. Rows are read over the destination's count; a row with data that is
// shorter ends the process through Fail instead of being read past its end.
// Masks hold one byte per hand, non-zero for a hand whose strategy is locked;
// a null mask locks nothing. Each kernel picks its AVX2/FMA or AVX variant.
#pragma once

#include <cstdint>

#include "game/aligned_array.h"

// Sizes the array to n and makes sure it holds a block (contents undefined);
// unlike ResizeAlignedArray it also allocates an empty row of count n.
void SizeAlignedBlock(AlignedArray& array, uint32_t n);
// Releases the block and leaves an empty row of count n.
void MakeEmptyRow(AlignedArray& array, uint32_t n);

// --- Decision-node products ----------------------------------------------------------

// A child's own reach: dst = a * b per hand. a without data: dst must hold no
// block (else Fail: an internal inconsistency) and takes a's count. When the
// products sum below DBL_MIN (also negative) dst becomes an empty row of a's
// count; b without data reads as zeros.
void DotAlignedArray(AlignedArray& dst, const AlignedArray& a, const AlignedArray& b);
// dst = a * b per hand when both have data; otherwise dst becomes an empty row
// of a's count.
void MultiplyAlignedArrays(AlignedArray& dst, const AlignedArray& a, const AlignedArray& b);
// acc += a * b per hand over acc's count, only when a and b both have data
// (acc allocated zeroed first when it has none).
void AccumulateProduct(AlignedArray& acc, const AlignedArray& a, const AlignedArray& b);
// Hands without strategy sums in an average-strategy read: the first hand
// (from 0) whose rows total exactly zero (0.0 + rows[0] + rows[1] + ... in
// row order), or n; and from `from` on, every row of such a hand takes the
// current strategy's value. All rows and current rows hold n values with data.
uint32_t FirstHandWithZeroTotal(const AlignedArray* rows, size_t count, uint32_t n);
void TakeCurrentWhereZeroTotal(AlignedArray* rows, const AlignedArray* current, size_t count, uint32_t from,
                               uint32_t n);
// x[i] *= c where x[i] > 0 (nothing without data).
void ScalePositive(AlignedArray& x, double c);
// x[i] *= c1 where x[i] >= 0 and c2 where x[i] < 0 (nothing without data).
void ScaleBySign(AlignedArray& x, double c1, double c2);
// acc = max(acc, b) per hand, acc allocated zeroed when it has no data; b
// without data reads as zeros.
void MaxInPlace(AlignedArray& acc, const AlignedArray& b);
// Best response of later children of a node with locked hands: acc allocated
// zeroed when it has no data; with values and weights: locked hands add
// values * weights, the others take max(acc, values); without them the others
// take max(acc, 0) and locked hands stay.
void MaskedAccumulateOrMax(AlignedArray& acc, const AlignedArray& values, const AlignedArray& weights,
                           const uint8_t* mask);
// Best response of the first child of such a node: with v and w, dst sized to
// v's count and dst = locked ? v * w : v; otherwise an empty row of v's count.
void MaskedProductOrCopy(AlignedArray& dst, const AlignedArray& v, const AlignedArray& w, const uint8_t* mask);

// --- Vector kernels of decision and chance nodes ----------------------------------------

// a *= c (nothing without data).
void ScaleAlignedArray(AlignedArray& a, double c);
// dst += src over dst's count when src has data (dst allocated zeroed first
// when it has none); nothing when src has no data.
void AddIntoAlignedArray(AlignedArray& dst, const AlignedArray& src);
// A child's opponent reach from the action's strategy row: dst *= src per
// hand. src without data: dst becomes an empty row of src's count. Products
// summing below DBL_MIN leave dst an empty row (the branch is unreachable).
void MultiplyReachRow(AlignedArray& dst, const AlignedArray& src);
// Unless the record's reach is frozen: A[player] is sized to the reach's count
// (zeroed when it has no data or its count changes), then, when the reach has
// data, A[player] += w * reach. player must be 0 or 1.
void AccumulateDealReach(CardRecord& record, int32_t player, const AlignedArray& reach, double w);
