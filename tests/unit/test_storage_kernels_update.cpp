// The 16-bit regret update, its weighted form, the hand-group averaging, the
// quantisation and the rounded strategy-sum accumulation, on hand-computed
// rows placed both in the vector loops and in the scalar remainder.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/cpu_info.h"
#include "game/aligned_array.h"
#include "storage/update_kernels.h"
#include "storage/update_kernels_variants.h"

namespace {

// An owned AlignedArray for a test: the values, or a count without a block.
class Row {
 public:
  explicit Row(const std::vector<double>& values) {
    ResizeAlignedArray(array_, static_cast<uint32_t>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) array_.data[i] = values[i];
  }
  static Row Empty(uint32_t count) {
    Row r;
    r.array_.count = count;
    return r;
  }
  ~Row() { ReleaseAlignedArray(array_); }
  Row(Row&& other) noexcept : array_(other.array_) { other.array_ = AlignedArray(); }
  const AlignedArray& operator*() const { return array_; }

 private:
  Row() = default;
  AlignedArray array_;
};

// One hand of an update case: the count before, x, y and the count after.
struct UpdateCase {
  uint16_t before;
  double x, y;
  uint16_t after;
};

// Runs the cases through UpdateCompandedU16 at the start of a 40-hand row
// (vector loop) and again as a row of their own length (scalar remainder).
void CheckUpdate(const std::vector<UpdateCase>& cases, double scale) {
  const int count = static_cast<int>(cases.size());
  for (int n : {count, count + 40}) {
    std::vector<uint16_t> row(n, 100);
    std::vector<double> x(n, 0.0), y(n, 0.0);
    for (int i = 0; i < count; ++i) {
      const int at = n - count + i;
      row[at] = cases[i].before;
      x[at] = cases[i].x;
      y[at] = cases[i].y;
    }
    UpdateCompandedU16(row.data(), *Row(x), *Row(y), nullptr, nullptr, 0, scale);
    for (int i = 0; i < n - count; ++i) ASSERT_EQ(row[i], 100) << "untouched hand " << i;
    for (int i = 0; i < count; ++i)
      EXPECT_EQ(row[n - count + i], cases[i].after) << "case " << i << " row length " << n << " scale " << scale;
  }
}

}  // namespace

TEST(UpdateKernels, CompandedChangesWorkedByHand) {
  // scale 1: the change is trunc(d^0.75): 16 -> 8, 81 -> 27, 1 -> 1.
  CheckUpdate({{0, 0.0, 16.0, 8},
               {0, 0.0, 81.0, 27},
               {5, 0.0, -16.0, 0},      // floors at 0
               {30, 0.0, -16.0, 22},
               {3, 2.0, 3.0, 4},        // d = 1: one unit
               {3, 2.0, 2.5, 3},        // below one unit: unchanged
               {3, 2.5, 2.0, 3},
               {7, 1.0, 0.0, 6},
               {0, -10.0, 6.0, 8}},     // d = y - x
              1.0);
  // scale 16: pf = 8, tf = 0.0625.
  CheckUpdate({{0, 0.0, 1.0, 8},
               {0, 0.0, 0.05, 0},
               {0, 0.0, 0.0625, 1},
               {10, 0.0625, 0.0, 9},
               {10, 0.0, -0.05, 10},
               {10, 0.0, 16.0, 74},     // 8 * 16^0.75 = 64
               {10, 0.0, -16.0, 0}},
              16.0);
}

TEST(UpdateKernels, CountsSaturateInsteadOfWrapping) {
  // 1e6^0.75 = 31622: 65000 + 31622 stays at 65535, and an enormous
  // difference gives the largest change rather than a wrapped one.
  CheckUpdate({{65000, 0.0, 1e6, 65535},
               {40000, 0.0, 1e30, 65535},
               {65535, 0.0, 1.0, 65535},
               {1, 0.0, std::numeric_limits<double>::infinity(), 65535},
               {65535, 0.0, -1e30, 0},
               {9, 0.0, std::numeric_limits<double>::quiet_NaN(), 9}},
              1.0);
}

TEST(UpdateKernels, LockedHandsKeepTheirCounts) {
  const int n = 37;
  std::vector<uint16_t> row(n, 50);
  std::vector<double> x(n, 0.0), y(n, 16.0);
  std::vector<uint8_t> mask(n, 0);
  for (int i : {0, 3, 17, 35}) mask[i] = 1;
  UpdateCompandedU16(row.data(), *Row(x), *Row(y), nullptr, mask.data(), n, 1.0);
  for (int i = 0; i < n; ++i) EXPECT_EQ(row[i], mask[i] ? 50 : 58) << i;

  // A mask shorter than the row guards only the hands it covers.
  std::fill(row.begin(), row.end(), 50);
  UpdateCompandedU16(row.data(), *Row(x), *Row(y), nullptr, mask.data(), 10, 1.0);
  for (int i = 0; i < n; ++i) EXPECT_EQ(row[i], (i == 0 || i == 3) ? 50 : 58) << i;
}

TEST(UpdateKernels, MissingArraysReadAsZerosAndBadScalesChangeNothing) {
  const int n = 21;
  std::vector<uint16_t> row(n, 20);
  std::vector<double> x(n, -16.0);
  // Y without a block: d = 0 - x = 16 everywhere.
  UpdateCompandedU16(row.data(), *Row(x), *Row::Empty(n), nullptr, nullptr, 0, 1.0);
  for (int i = 0; i < n; ++i) ASSERT_EQ(row[i], 28) << i;
  // A Y shorter than X: the hands past it see zeros.
  std::vector<double> y(5, -16.0);
  std::fill(row.begin(), row.end(), 20);
  UpdateCompandedU16(row.data(), *Row(x), *Row(y), nullptr, nullptr, 0, 1.0);
  for (int i = 0; i < n; ++i) ASSERT_EQ(row[i], i < 5 ? 20 : 28) << i;
  // X without a block: d = y.
  std::fill(row.begin(), row.end(), 20);
  UpdateCompandedU16(row.data(), *Row::Empty(n), *Row(std::vector<double>(n, 81.0)), nullptr, nullptr, 0, 1.0);
  for (int i = 0; i < n; ++i) ASSERT_EQ(row[i], 47) << i;
  // Scales that are not positive finite numbers leave the row alone.
  for (double scale : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    UpdateCompandedU16(row.data(), *Row(x), *Row::Empty(n), nullptr, nullptr, 0, scale);
    for (int i = 0; i < n; ++i) ASSERT_EQ(row[i], 47) << scale;
  }
  // A huge scale whose threshold underflows: a zero difference is no regret.
  UpdateCompandedU16(row.data(), *Row::Empty(n), *Row::Empty(n), nullptr, nullptr, 0, 1e300);
  for (int i = 0; i < n; ++i) ASSERT_EQ(row[i], 47);
  // A null row is not touched (and does not crash).
  UpdateCompandedU16(nullptr, *Row(x), *Row(x), nullptr, nullptr, 0, 1.0);
}

TEST(UpdateKernels, WeightedUpdateKeepsUnweightedHandsAtZeroOrOne) {
  // Per hand: count before, d, weight; with and without a weight row.
  struct Case {
    uint16_t before;
    double d, w;
    uint16_t withWeights, withoutWeights;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {7, 16.0, 0.0, 1, 1},      // positive regret, zero weight
      {0, 16.0, 0.0, 1, 0},      // zero count, zero weight: 1; no data: stays 0
      {1, -1.0, 0.0, 0, 0},      // negative regret of one unit
      {1, -16.0, 0.0, 0, 0},
      {30, -16.0, 0.0, 1, 1},    // 30 - 8 = 22 > 0 -> 1
      {7, 16.0, 0.5, 15, 1},     // a weighted hand moves normally
      {7, -16.0, 0.5, 0, 0},     // 7 - 8 floors at 0
      {7, 16.0, 1e-310, 1, 1},   // below DBL_MIN counts as no weight
      {7, 16.0, nan, 15, 1},     // NaN is not below DBL_MIN
      {7, 0.5, 0.0, 7, 7},       // below one unit: nothing at all
      {0, 0.0, 0.0, 0, 0},
  };
  const int count = static_cast<int>(cases.size());
  for (int n : {count, count + 32}) {
    for (bool weights : {true, false}) {
      std::vector<uint16_t> row(n, 3);
      std::vector<double> x(n, 0.0), y(n, 0.0), w(n, 1.0);
      for (int i = 0; i < count; ++i) {
        const int at = n - count + i;
        row[at] = cases[i].before;
        y[at] = cases[i].d;
        w[at] = cases[i].w;
      }
      AccumulateCompandU16(row.data(), *Row(x), *Row(y), weights ? *Row(w) : *Row::Empty(n), nullptr, 1.0);
      for (int i = 0; i < n - count; ++i) ASSERT_EQ(row[i], 3);
      for (int i = 0; i < count; ++i)
        EXPECT_EQ(row[n - count + i], weights ? cases[i].withWeights : cases[i].withoutWeights)
            << "case " << i << (weights ? " with" : " without") << " weights, length " << n;
    }
  }
}

TEST(UpdateKernels, SegmentMeans) {
  std::vector<uint16_t> row = {1, 2, 4, 7};
  SegmentSumsU16(row.data(), 4, {3, 1});
  EXPECT_EQ(row, (std::vector<uint16_t>{2, 2, 2, 7}));
  row = {1, 2, 4, 7};
  SegmentSumsU16(row.data(), 4, {0, 4});
  EXPECT_EQ(row, (std::vector<uint16_t>{3, 3, 3, 3}));
  // Large counts sum in 32 bits.
  row = {65535, 65535, 65534, 9};
  SegmentSumsU16(row.data(), 4, {3});
  EXPECT_EQ(row, (std::vector<uint16_t>{65534, 65534, 65534, 9}));
  // A group running past the row end is cut there; nothing past n changes.
  row = {1, 2, 4, 7, 99};
  SegmentSumsU16(row.data(), 4, {2, 10, 3});
  EXPECT_EQ(row, (std::vector<uint16_t>{1, 1, 5, 5, 99}));
  // A negative size moves back, but never before the row start.
  row = {1, 2, 4, 7};
  SegmentSumsU16(row.data(), 4, {-5, 2});
  EXPECT_EQ(row, (std::vector<uint16_t>{1, 1, 4, 7}));
  // Locked hands are neither counted nor written.
  row = {1, 2, 40, 7};
  const uint8_t mask[4] = {0, 0, 1, 0};
  SegmentSumsU16(row.data(), 4, {4}, mask, 4);
  EXPECT_EQ(row, (std::vector<uint16_t>{3, 3, 40, 3}));
}

TEST(UpdateKernels, UpdateThenSegmentMeansLeaveLockedHands) {
  const int n = 20;
  std::vector<uint16_t> row(n, 10);
  std::vector<double> x(n, 0.0), y(n, 0.0);
  y[0] = 16.0;  // +8 on hand 0 of the first group of four
  y[5] = 16.0;  // a locked hand of the second group
  std::vector<uint8_t> mask(n, 0);
  mask[5] = 1;
  row[5] = 30;
  const std::vector<int16_t> groups = {4, 4, 12};
  UpdateCompandedU16(row.data(), *Row(x), *Row(y), &groups, mask.data(), n, 1.0);
  EXPECT_EQ(row[0], 12);  // (18 + 10 + 10 + 10) / 4
  EXPECT_EQ(row[3], 12);
  EXPECT_EQ(row[4], 10);
  EXPECT_EQ(row[5], 30);  // locked: not updated, not averaged
  EXPECT_EQ(row[19], 10);
  // The weighted form averages too; without a mask the locked hand moves.
  std::vector<double> w(n, 1.0);
  std::vector<uint16_t> copy = row;
  AccumulateCompandU16(row.data(), *Row(x), *Row(y), *Row(w), &groups, 1.0);
  EXPECT_EQ(row[0], 14);  // (20 + 12 + 12 + 12) / 4
  EXPECT_EQ(row[4], (10 + 38 + 10 + 10) / 4);
  // Given the mask, it keeps the locked hand out of the update and the means.
  AccumulateCompandU16(copy.data(), *Row(x), *Row(y), *Row(w), &groups, 1.0, mask.data(), n);
  EXPECT_EQ(copy[0], 14);
  EXPECT_EQ(copy[4], 10);
  EXPECT_EQ(copy[5], 30);
  // The same in the vector loop: lock every other hand of a long row.
  std::vector<uint16_t> longRow(48, 5);
  std::vector<uint8_t> alternate(48);
  for (int i = 0; i < 48; ++i) alternate[i] = i % 2;
  AccumulateCompandU16(longRow.data(), *Row(std::vector<double>(48, 0.0)), *Row(std::vector<double>(48, 16.0)),
                       *Row(std::vector<double>(48, 1.0)), nullptr, 1.0, alternate.data(), 48);
  for (int i = 0; i < 48; ++i) ASSERT_EQ(longRow[i], i % 2 ? 5 : 13) << i;
}

TEST(UpdateKernels, QuantisationTruncatesAndSaturates) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> values = {3.99, -0.5, 65535.7, -1.0, 70000.0, nan, 0.0, 1e300, 12345.0, -1e300, 255.5};
  const std::vector<uint16_t> expected = {3, 0, 65535, 0, 65535, 0, 0, 65535, 12345, 0, 255};
  for (int pad : {0, 16, 21}) {
    std::vector<double> src(pad, 2.0);
    src.insert(src.end(), values.begin(), values.end());
    std::vector<uint16_t> dst(src.size(), 7);
    QuantizeToU16(dst.data(), src.data(), static_cast<int>(src.size()));
    for (int i = 0; i < pad; ++i) ASSERT_EQ(dst[i], 2);
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(dst[pad + i], expected[i]) << values[i];
  }
  std::vector<uint16_t> dst(9, 7);
  QuantizeToU16(dst.data(), nullptr, 9);  // an empty row stores zeros
  for (uint16_t v : dst) EXPECT_EQ(v, 0);
}

TEST(UpdateKernels, RoundedAccumulation) {
  const int n = 13;
  std::vector<int32_t> acc(n, 10);
  std::vector<double> a(n, 0.5), b(n, 3.0);
  a[1] = 1.4999;
  b[1] = 1.0;
  a[2] = 0.0;  // adds nothing: 10 + 0.5 truncates to 10
  acc[3] = 2147483000;
  a[3] = 1e6;  // would pass INT32_MAX: saturates
  acc[4] = -2147483000;
  a[4] = -1e6;
  a[5] = std::numeric_limits<double>::quiet_NaN();  // a NaN keeps the sum
  std::vector<uint8_t> mask(n, 0);
  mask[6] = 1;
  mask[12] = 1;
  AccumulateRounded(acc.data(), *Row(a), *Row(b), mask.data(), n, 1.0);
  EXPECT_EQ(acc[0], 12);
  EXPECT_EQ(acc[1], 11);
  EXPECT_EQ(acc[2], 10);
  EXPECT_EQ(acc[3], 2147483647);
  EXPECT_EQ(acc[4], -2147483647 - 1);
  EXPECT_EQ(acc[5], 10);
  EXPECT_EQ(acc[6], 10);
  EXPECT_EQ(acc[12], 10);
  for (int i = 7; i < 12; ++i) EXPECT_EQ(acc[i], 12) << i;

  // Scale enters the product: 4 * 0.5 * 3 = 6.
  std::fill(acc.begin(), acc.end(), 10);
  std::fill(a.begin(), a.end(), 0.5);
  std::fill(b.begin(), b.end(), 3.0);
  AccumulateRounded(acc.data(), *Row(a), *Row(b), nullptr, 0, 4.0);
  for (int i = 0; i < n; ++i) ASSERT_EQ(acc[i], 16) << i;
  // No change for a non-positive scale, a missing reach row or strategy row.
  for (double scale : {0.0, -2.0, std::nan("")}) AccumulateRounded(acc.data(), *Row(a), *Row(b), nullptr, 0, scale);
  AccumulateRounded(acc.data(), *Row(a), *Row::Empty(n), nullptr, 0, 1.0);
  AccumulateRounded(acc.data(), *Row::Empty(n), *Row(b), nullptr, 0, 1.0);
  for (int i = 0; i < n; ++i) ASSERT_EQ(acc[i], 16) << i;
  // A reach row shorter than the strategy: the hands past it gain nothing.
  AccumulateRounded(acc.data(), *Row(a), *Row(std::vector<double>(4, 3.0)), nullptr, 0, 1.0);
  for (int i = 0; i < n; ++i) ASSERT_EQ(acc[i], i < 4 ? 18 : 16) << i;
}

TEST(UpdateKernels, VariantsAgree) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2/FMA on this processor";
  std::mt19937 rng(99);
  std::normal_distribution<double> value(0.0, 20.0);
  std::uniform_int_distribution<int> count(0, 65535), coin(0, 9);
  const int n = 1081;
  std::vector<double> x(n), y(n), w(n), q(n);
  std::vector<uint16_t> base(n);
  std::vector<uint8_t> mask(n);
  for (int i = 0; i < n; ++i) {
    x[i] = value(rng);
    y[i] = coin(rng) < 3 ? x[i] : value(rng);  // some hands without regret
    w[i] = coin(rng) < 2 ? 0.0 : 1.0;
    base[i] = static_cast<uint16_t>(coin(rng) < 2 ? 0 : count(rng));
    mask[i] = coin(rng) == 0;
    q[i] = value(rng) * 4000.0;
  }
  for (float scale : {1.0f, 16.0f, 0.01f, 1000.0f}) {
    const CompandFactors f = ComputeCompandFactors(scale);
    std::vector<uint16_t> r1 = base, r2 = base;
    kernels_avx::UpdateCompandedU16(r1.data(), x.data(), y.data(), mask.data(), n, f.pf, f.tf);
    kernels_avx2::UpdateCompandedU16(r2.data(), x.data(), y.data(), mask.data(), n, f.pf, f.tf);
    ASSERT_EQ(r1, r2) << scale;  // exact square roots: the same counts
    r1 = r2 = base;
    kernels_avx::AccumulateCompandU16(r1.data(), x.data(), y.data(), w.data(), mask.data(), n, f.pf, f.tf);
    kernels_avx2::AccumulateCompandU16(r2.data(), x.data(), y.data(), w.data(), mask.data(), n, f.pf, f.tf);
    ASSERT_EQ(r1, r2) << scale;
    r1 = r2 = base;
    kernels_avx::AccumulateCompandU16(r1.data(), x.data(), nullptr, nullptr, nullptr, n, f.pf, f.tf);
    kernels_avx2::AccumulateCompandU16(r2.data(), x.data(), nullptr, nullptr, nullptr, n, f.pf, f.tf);
    ASSERT_EQ(r1, r2) << scale;
  }
  std::vector<uint16_t> q1(n), q2(n);
  kernels_avx::QuantizeToU16(q1.data(), q.data(), n);
  kernels_avx2::QuantizeToU16(q2.data(), q.data(), n);
  ASSERT_EQ(q1, q2);
  // The fused form of the accumulation may round differently by one unit.
  std::vector<int32_t> s1(n), s2(n);
  for (int i = 0; i < n; ++i) s1[i] = s2[i] = count(rng) * 1000;
  std::vector<double> strategy(n), reach(n);
  for (int i = 0; i < n; ++i) {
    strategy[i] = (coin(rng) + 0.5) / 10.0;
    reach[i] = std::fabs(value(rng));
  }
  kernels_avx::AccumulateRounded(s1.data(), strategy.data(), reach.data(), mask.data(), n, 3.7);
  kernels_avx2::AccumulateRounded(s2.data(), strategy.data(), reach.data(), mask.data(), n, 3.7);
  for (int i = 0; i < n; ++i) ASSERT_LE(std::abs(s1[i] - s2[i]), 1) << i;
}
