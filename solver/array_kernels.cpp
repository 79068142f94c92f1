#include "solver/array_kernels.h"

#include <cfloat>
#include <cstring>

#include "core/cpu_info.h"
#include "core/output.h"
#include "solver/array_kernels_variants.h"

namespace {

void RequireRowLength(const AlignedArray& row, uint32_t needed) {
  if (row.data && row.count < needed) Fail("per-hand row shorter than its destination");
}

// A destination without data becomes count zeros.
void MaterializeZeros(AlignedArray& array) {
  if (!array.data) ZeroAlignedArray(array, array.count);
}

}  // namespace

void SizeAlignedBlock(AlignedArray& array, uint32_t n) {
  // ResizeAlignedArray does nothing for an unchanged count, which would keep
  // an empty row without its block.
  if (!array.data) array.count = 0;
  ResizeAlignedArray(array, n);
}

void MakeEmptyRow(AlignedArray& array, uint32_t n) {
  ReleaseAlignedArray(array);
  array.count = n;
}

void DotAlignedArray(AlignedArray& dst, const AlignedArray& a, const AlignedArray& b) {
  if (!a.data) {
    // An unreached parent cannot have a reached child; a block here means the
    // caller mixed up its rows.
    if (dst.data) Fail();
    dst.count = a.count;
    return;
  }
  const uint32_t n = a.count;
  if (!b.data) {
    MakeEmptyRow(dst, n);
    return;
  }
  RequireRowLength(b, n);
  SizeAlignedBlock(dst, n);
  const double sum = UseAvx2FmaKernels() ? kernels_avx2::MultiplyRowsSum(dst.data, a.data, b.data, n)
                                         : kernels_avx::MultiplyRowsSum(dst.data, a.data, b.data, n);
  if (sum < DBL_MIN) MakeEmptyRow(dst, n);
}

void MultiplyAlignedArrays(AlignedArray& dst, const AlignedArray& a, const AlignedArray& b) {
  const uint32_t n = a.count;
  if (!a.data || !b.data) {
    MakeEmptyRow(dst, n);
    return;
  }
  RequireRowLength(b, n);
  SizeAlignedBlock(dst, n);
  if (UseAvx2FmaKernels())
    kernels_avx2::MultiplyRows(dst.data, a.data, b.data, n);
  else
    kernels_avx::MultiplyRows(dst.data, a.data, b.data, n);
}

void AccumulateProduct(AlignedArray& acc, const AlignedArray& a, const AlignedArray& b) {
  if (!a.data || !b.data) return;
  RequireRowLength(a, acc.count);
  RequireRowLength(b, acc.count);
  MaterializeZeros(acc);
  if (UseAvx2FmaKernels())
    kernels_avx2::AccumulateProductRows(acc.data, a.data, b.data, acc.count);
  else
    kernels_avx::AccumulateProductRows(acc.data, a.data, b.data, acc.count);
}

namespace {
// The most rows one pass over a node's rows takes; nodes with more children
// (no betting tree has them) go the row-by-row way.
constexpr size_t kMaxFusedRows = 16;
}  // namespace

uint32_t FirstHandWithZeroTotal(const AlignedArray* rows, size_t count, uint32_t n) {
  if (count > kMaxFusedRows) Fail("too many rows for one pass");
  const double* v[kMaxFusedRows];
  for (size_t k = 0; k < count; ++k) v[k] = rows[k].data;
  const uint32_t k = static_cast<uint32_t>(count);
  return UseAvx2FmaKernels() ? kernels_avx2::FirstZeroTotal(v, k, n) : kernels_avx::FirstZeroTotal(v, k, n);
}

void TakeCurrentWhereZeroTotal(AlignedArray* rows, const AlignedArray* current, size_t count, uint32_t from,
                               uint32_t n) {
  if (count > kMaxFusedRows) Fail("too many rows for one pass");
  double* v[kMaxFusedRows];
  const double* c[kMaxFusedRows];
  for (size_t k = 0; k < count; ++k) {
    v[k] = rows[k].data;
    c[k] = current[k].data;
  }
  const uint32_t k = static_cast<uint32_t>(count);
  if (UseAvx2FmaKernels())
    kernels_avx2::TakeWhereZeroTotal(v, c, k, from, n);
  else
    kernels_avx::TakeWhereZeroTotal(v, c, k, from, n);
}

void ScalePositive(AlignedArray& x, double c) {
  if (!x.data) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::ScalePositiveRow(x.data, c, x.count);
  else
    kernels_avx::ScalePositiveRow(x.data, c, x.count);
}

void ScaleBySign(AlignedArray& x, double c1, double c2) {
  if (!x.data) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::ScaleBySignRow(x.data, c1, c2, x.count);
  else
    kernels_avx::ScaleBySignRow(x.data, c1, c2, x.count);
}

void MaxInPlace(AlignedArray& acc, const AlignedArray& b) {
  RequireRowLength(b, acc.count);
  if (!acc.data) {
    // max(0, b) of a fresh zero row: b's positive part.
    ZeroAlignedArray(acc, acc.count);
    if (!b.data) return;
  }
  if (UseAvx2FmaKernels())
    kernels_avx2::MaxRows(acc.data, b.data, acc.count);
  else
    kernels_avx::MaxRows(acc.data, b.data, acc.count);
}

void MaskedAccumulateOrMax(AlignedArray& acc, const AlignedArray& values, const AlignedArray& weights,
                           const uint8_t* mask) {
  MaterializeZeros(acc);
  const uint32_t n = acc.count;
  const bool avx2 = UseAvx2FmaKernels();
  if (values.data && weights.data) {
    RequireRowLength(values, n);
    RequireRowLength(weights, n);
    if (!mask) {
      if (avx2)
        kernels_avx2::MaxRows(acc.data, values.data, n);
      else
        kernels_avx::MaxRows(acc.data, values.data, n);
    } else if (avx2) {
      kernels_avx2::MaskedAccumulateOrMaxRows(acc.data, values.data, weights.data, mask, n);
    } else {
      kernels_avx::MaskedAccumulateOrMaxRows(acc.data, values.data, weights.data, mask, n);
    }
    return;
  }
  if (!mask) {
    if (avx2)
      kernels_avx2::MaxRows(acc.data, nullptr, n);
    else
      kernels_avx::MaxRows(acc.data, nullptr, n);
  } else if (avx2) {
    kernels_avx2::MaskedClampRows(acc.data, mask, n);
  } else {
    kernels_avx::MaskedClampRows(acc.data, mask, n);
  }
}

void MaskedProductOrCopy(AlignedArray& dst, const AlignedArray& v, const AlignedArray& w, const uint8_t* mask) {
  const uint32_t n = v.count;
  if (!v.data || !w.data) {
    MakeEmptyRow(dst, n);
    return;
  }
  RequireRowLength(w, n);
  SizeAlignedBlock(dst, n);
  if (!mask) {
    if (dst.data != v.data) memcpy(dst.data, v.data, static_cast<size_t>(n) * sizeof(double));
  } else if (UseAvx2FmaKernels()) {
    kernels_avx2::MaskedProductOrCopyRows(dst.data, v.data, w.data, mask, n);
  } else {
    kernels_avx::MaskedProductOrCopyRows(dst.data, v.data, w.data, mask, n);
  }
}

void ScaleAlignedArray(AlignedArray& a, double c) {
  if (!a.data) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::ScaleRow(a.data, c, a.count);
  else
    kernels_avx::ScaleRow(a.data, c, a.count);
}

void AddIntoAlignedArray(AlignedArray& dst, const AlignedArray& src) {
  if (!src.data) return;
  const uint32_t n = dst.count;
  RequireRowLength(src, n);
  if (!dst.data) {
    // Zeros plus src is a copy of src.
    SizeAlignedBlock(dst, n);
    if (n) memcpy(dst.data, src.data, static_cast<size_t>(n) * sizeof(double));
    return;
  }
  if (UseAvx2FmaKernels())
    kernels_avx2::AddRows(dst.data, src.data, n);
  else
    kernels_avx::AddRows(dst.data, src.data, n);
}

void MultiplyReachRow(AlignedArray& dst, const AlignedArray& src) {
  if (!src.data) {
    MakeEmptyRow(dst, src.count);
    return;
  }
  // A strategy row without data is all zeros: the product stays empty.
  if (!dst.data) return;
  const uint32_t n = dst.count;
  RequireRowLength(src, n);
  const double sum = UseAvx2FmaKernels() ? kernels_avx2::MultiplyRowsSum(dst.data, dst.data, src.data, n)
                                         : kernels_avx::MultiplyRowsSum(dst.data, dst.data, src.data, n);
  if (sum < DBL_MIN) MakeEmptyRow(dst, n);
}

void AccumulateDealReach(CardRecord& record, int32_t player, const AlignedArray& reach, double w) {
  if (record.reachFrozen) return;
  if (player != 0 && player != 1) Fail("reach record of an unknown player");
  AlignedArray& target = record.arrays[player];
  // A fresh block (first use, or a changed count) must start from zeros, or
  // the sums would build on whatever the allocator handed out.
  if (!target.data || target.count != reach.count) ZeroAlignedArray(target, reach.count);
  if (!reach.data || !target.count) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::AddScaledRow(target.data, w, reach.data, target.count);
  else
    kernels_avx::AddScaledRow(target.data, w, reach.data, target.count);
}
