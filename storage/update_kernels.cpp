#include "storage/update_kernels.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "core/cpu_info.h"
#include "storage/update_kernels_variants.h"

namespace {

// Where an optional per-hand array ends inside a row of n hands: the hands
// from there on see the array as absent. An array without data ends at 0.
int CoveredHands(const void* data, int64_t count, int n) {
  if (data == nullptr) return 0;
  return static_cast<int>(std::min<int64_t>(std::max<int64_t>(count, 0), n));
}

template <typename T>
const T* Offset(const T* p, int start, int covered) {
  return p != nullptr && start < covered ? p + start : nullptr;
}

// The next position after `start` at which one of the optional arrays ends.
int NextBreak(int start, int n, int a, int b) {
  int next = n;
  if (a > start) next = std::min(next, a);
  if (b > start) next = std::min(next, b);
  return next;
}

}  // namespace

void QuantizeToU16(uint16_t* dst, const double* src, int n) {
  if (n <= 0 || dst == nullptr) return;
  if (src == nullptr)
    std::fill(dst, dst + n, uint16_t{0});
  else if (UseAvx2FmaKernels())
    kernels_avx2::QuantizeToU16(dst, src, n);
  else
    kernels_avx::QuantizeToU16(dst, src, n);
}

CompandFactors ComputeCompandFactors(double scale) {
  CompandFactors f;
  if (!(scale > 0.0) || !std::isfinite(scale)) return f;
  // Every row of a pass is updated with the same scale: each thread keeps
  // its last power.
  thread_local double lastScale = 0.0, lastPower = 0.0;
  if (scale != lastScale) {
    lastPower = std::pow(scale, 0.75);
    lastScale = scale;
  }
  f.pf = static_cast<float>(lastPower);
  f.tf = static_cast<float>(1.0 / scale);
  // A threshold that rounds to zero (or below the smallest normal float) would
  // let a zero difference through as regret.
  if (!(f.tf >= FLT_MIN)) f.tf = FLT_MIN;
  f.usable = true;
  return f;
}

void UpdateCompandedU16(uint16_t* row, const AlignedArray& x, const AlignedArray& y,
                        const std::vector<int16_t>* segments, const uint8_t* lockMask, int32_t maskLength,
                        double scale) {
  const int n = static_cast<int>(std::min<uint32_t>(x.count, INT32_MAX));
  if (row == nullptr || n <= 0) return;
  const CompandFactors f = ComputeCompandFactors(scale);
  if (!f.usable) return;
  const int yEnd = CoveredHands(y.data, y.count, n);
  const int maskEnd = CoveredHands(lockMask, maskLength, n);
  const bool avx2 = UseAvx2FmaKernels();
  for (int start = 0; start < n;) {
    const int end = NextBreak(start, n, yEnd, maskEnd);
    const double* xs = x.data != nullptr ? x.data + start : nullptr;
    const double* ys = Offset(y.data, start, yEnd);
    const uint8_t* ms = Offset(lockMask, start, maskEnd);
    if (avx2)
      kernels_avx2::UpdateCompandedU16(row + start, xs, ys, ms, end - start, f.pf, f.tf);
    else
      kernels_avx::UpdateCompandedU16(row + start, xs, ys, ms, end - start, f.pf, f.tf);
    start = end;
  }
  if (segments != nullptr) SegmentSumsU16(row, n, *segments, lockMask, maskLength);
}

void AccumulateCompandU16(uint16_t* row, const AlignedArray& x, const AlignedArray& y, const AlignedArray& w,
                          const std::vector<int16_t>* segments, double scale, const uint8_t* lockMask,
                          int32_t maskLength) {
  const int n = static_cast<int>(std::min<uint32_t>(x.count, INT32_MAX));
  if (row == nullptr || n <= 0) return;
  const CompandFactors f = ComputeCompandFactors(scale);
  if (!f.usable) return;
  const int yEnd = CoveredHands(y.data, y.count, n);
  const int wEnd = CoveredHands(w.data, w.count, n);
  const int maskEnd = CoveredHands(lockMask, maskLength, n);
  const bool avx2 = UseAvx2FmaKernels();
  for (int start = 0; start < n;) {
    const int end = std::min(NextBreak(start, n, yEnd, wEnd), NextBreak(start, n, maskEnd, maskEnd));
    const double* xs = x.data != nullptr ? x.data + start : nullptr;
    const double* ys = Offset(y.data, start, yEnd);
    const double* ws = Offset<double>(w.data, start, wEnd);
    const uint8_t* ms = Offset(lockMask, start, maskEnd);
    if (avx2)
      kernels_avx2::AccumulateCompandU16(row + start, xs, ys, ws, ms, end - start, f.pf, f.tf);
    else
      kernels_avx::AccumulateCompandU16(row + start, xs, ys, ws, ms, end - start, f.pf, f.tf);
    start = end;
  }
  if (segments != nullptr) SegmentSumsU16(row, n, *segments, lockMask, maskLength);
}

// Hand groups are short runs (a few isomorphic hands each) of variable length,
// so this stays a plain loop in general code: there is no vector shape to it.
void SegmentSumsU16(uint16_t* row, int n, const std::vector<int16_t>& sizes, const uint8_t* lockMask,
                    int32_t maskLength) {
  if (row == nullptr || n <= 0) return;
  const int maskEnd = CoveredHands(lockMask, maskLength, n);
  const auto locked = [&](int i) { return i < maskEnd && lockMask[i] != 0; };
  int p = 0;
  for (const int16_t size : sizes) {
    if (size < 1) {
      p = std::max(0, p + size);
      continue;
    }
    const int end = std::min(n, p + static_cast<int>(size));
    uint32_t sum = 0;
    uint32_t members = 0;
    for (int i = p; i < end; ++i) {
      if (locked(i)) continue;
      sum += row[i];
      ++members;
    }
    if (members > 0) {
      const uint16_t mean = static_cast<uint16_t>(sum / members);
      for (int i = p; i < end; ++i)
        if (!locked(i)) row[i] = mean;
    }
    p = end;
    if (p >= n) break;
  }
}

void AccumulateRounded(int32_t* acc, const AlignedArray& a, const AlignedArray& b, const uint8_t* lockMask,
                       int32_t maskLength, double scale) {
  if (!(scale > 0.0) || acc == nullptr || a.data == nullptr || b.data == nullptr) return;
  const int n = static_cast<int>(std::min<uint32_t>(a.count, INT32_MAX));
  // Hands past the reach row gain nothing.
  const int bEnd = CoveredHands(b.data, b.count, n);
  const int maskEnd = CoveredHands(lockMask, maskLength, n);
  const bool avx2 = UseAvx2FmaKernels();
  for (int start = 0; start < bEnd;) {
    const int end = NextBreak(start, bEnd, maskEnd, bEnd);
    const uint8_t* ms = Offset(lockMask, start, maskEnd);
    if (avx2)
      kernels_avx2::AccumulateRounded(acc + start, a.data + start, b.data + start, ms, end - start, scale);
    else
      kernels_avx::AccumulateRounded(acc + start, a.data + start, b.data + start, ms, end - start, scale);
    start = end;
  }
}
