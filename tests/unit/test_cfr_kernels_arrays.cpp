// Per-hand array kernels of the node evaluations and of the reports:
// element-wise results against plain loops written here, the conventions for
// rows without data (zeros, allocation on first write, empty products), the
// drop thresholds, the lock masks, NaN handling, hand-computed cases, and
// both instruction-set variants.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/cpu_info.h"
#include "game/aligned_array.h"
#include "solver/array_kernels.h"
#include "solver/array_kernels_variants.h"
#include "solver/report_kernels_variants.h"

namespace {

// Lengths that exercise the scalar remainder alone, one vector step, both,
// and a flop board's list.
const uint32_t kLengths[] = {0, 1, 3, 4, 5, 7, 8, 9, 13, 1176};

AlignedArray Row(const std::vector<double>& values) {
  AlignedArray a;
  ZeroAlignedArray(a, static_cast<uint32_t>(values.size()));
  if (!values.empty()) std::memcpy(a.data, values.data(), values.size() * sizeof(double));
  return a;
}

AlignedArray EmptyRow(uint32_t n) {
  AlignedArray a;
  a.count = n;
  return a;
}

std::vector<double> Values(const AlignedArray& a) {
  if (!a.data) return std::vector<double>(a.count, 0.0);
  return std::vector<double>(a.data, a.data + a.count);
}

std::vector<double> Random(uint32_t n, unsigned seed, double lo = -1.0, double hi = 1.0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> v(n);
  for (double& x : v) x = u(rng);
  return v;
}

std::vector<uint8_t> RandomMask(uint32_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> m(n);
  // Any non-zero byte locks the hand, not only 1.
  for (uint8_t& b : m) b = rng() % 3 == 0 ? static_cast<uint8_t>(1 + rng() % 255) : 0;
  return m;
}

void ExpectNear(const std::vector<double>& got, const std::vector<double>& want, const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-14) << where << " hand " << i;
}

void Release(std::initializer_list<AlignedArray*> arrays) {
  for (AlignedArray* a : arrays) ReleaseAlignedArray(*a);
}

// The raw kernels of one instruction-set variant.
struct Variant {
  const char* name;
  decltype(&kernels_avx::MultiplyRowsSum) multiplySum;
  decltype(&kernels_avx::AccumulateProductRows) accumulate;
  decltype(&kernels_avx::AddScaledRow) addScaled;
  decltype(&kernels_avx::ScaleBySignRow) scaleBySign;
  decltype(&kernels_avx::ScalePositiveRow) scalePositive;
  decltype(&kernels_avx::MaxRows) max;
  decltype(&kernels_avx::MaskedAccumulateOrMaxRows) maskedAccumulate;
  decltype(&kernels_avx::MaskedClampRows) maskedClamp;
  decltype(&kernels_avx::MaskedProductOrCopyRows) maskedProduct;
};

std::vector<Variant> Variants() {
  std::vector<Variant> v = {{"avx", kernels_avx::MultiplyRowsSum, kernels_avx::AccumulateProductRows,
                             kernels_avx::AddScaledRow, kernels_avx::ScaleBySignRow, kernels_avx::ScalePositiveRow,
                             kernels_avx::MaxRows, kernels_avx::MaskedAccumulateOrMaxRows,
                             kernels_avx::MaskedClampRows, kernels_avx::MaskedProductOrCopyRows}};
  if (CpuSupportsAvx2Fma())
    v.push_back({"avx2", kernels_avx2::MultiplyRowsSum, kernels_avx2::AccumulateProductRows,
                 kernels_avx2::AddScaledRow, kernels_avx2::ScaleBySignRow, kernels_avx2::ScalePositiveRow,
                 kernels_avx2::MaxRows, kernels_avx2::MaskedAccumulateOrMaxRows, kernels_avx2::MaskedClampRows,
                 kernels_avx2::MaskedProductOrCopyRows});
  return v;
}

}  // namespace

TEST(CfrArrayKernels, ElementWiseKernelsMatchPlainLoopsInBothVariants) {
  for (uint32_t n : kLengths) {
    const std::vector<double> a = Random(n, n + 1, 0.0, 1.0), b = Random(n, n + 2, 0.0, 1.0);
    const std::vector<double> c = Random(n, n + 3), v = Random(n, n + 4);
    const std::vector<uint8_t> m = RandomMask(n, n + 5);
    std::vector<double> product(n), accumulated(n), scaled(n), bySign(n), positive(n), max(n), zeroMax(n);
    std::vector<double> masked(n), clamped(n), maskedProduct(n);
    double sum = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
      product[i] = a[i] * b[i];
      sum += product[i];
      accumulated[i] = c[i] + a[i] * b[i];
      scaled[i] = c[i] + 0.375 * a[i];
      bySign[i] = c[i] < 0.0 ? c[i] * 0.8 : c[i] * 1.25;
      positive[i] = c[i] > 0.0 ? c[i] * 1.25 : c[i];
      max[i] = std::max(c[i], v[i]);
      zeroMax[i] = std::max(c[i], 0.0);
      masked[i] = m[i] ? c[i] + v[i] * b[i] : std::max(c[i], v[i]);
      clamped[i] = m[i] ? c[i] : std::max(c[i], 0.0);
      maskedProduct[i] = m[i] ? v[i] * b[i] : v[i];
    }
    for (const Variant& k : Variants()) {
      const std::string where = std::string(k.name) + " n=" + std::to_string(n);
      std::vector<double> r(n), r1 = c, r2 = c, r3 = c, r4 = c, r5 = c, r6 = c, r7 = c, r8 = c;
      EXPECT_NEAR(k.multiplySum(r.data(), a.data(), b.data(), n), sum, 1e-12) << where;
      ExpectNear(r, product, where + " product");
      k.accumulate(r1.data(), a.data(), b.data(), n);
      ExpectNear(r1, accumulated, where + " accumulate");
      k.addScaled(r2.data(), 0.375, a.data(), n);
      ExpectNear(r2, scaled, where + " add scaled");
      k.scaleBySign(r3.data(), 1.25, 0.8, n);
      ExpectNear(r3, bySign, where + " scale by sign");
      k.scalePositive(r4.data(), 1.25, n);
      ExpectNear(r4, positive, where + " scale positive");
      k.max(r5.data(), v.data(), n);
      ExpectNear(r5, max, where + " max");
      k.max(r6.data(), nullptr, n);
      ExpectNear(r6, zeroMax, where + " max with zeros");
      k.maskedAccumulate(r7.data(), v.data(), b.data(), m.data(), n);
      ExpectNear(r7, masked, where + " masked accumulate");
      k.maskedClamp(r8.data(), m.data(), n);
      ExpectNear(r8, clamped, where + " masked clamp");
      k.maskedProduct(r.data(), v.data(), b.data(), m.data(), n);
      ExpectNear(r, maskedProduct, where + " masked product");
    }
    // The entry routines on rows with data, with and without a mask.
    AlignedArray ra = Row(a), rb = Row(b), rc = Row(c), rv = Row(v), r1 = Row(c), r2 = Row(c), dst;
    MultiplyAlignedArrays(dst, ra, rb);
    ExpectNear(Values(dst), product, "MultiplyAlignedArrays");
    AccumulateProduct(rc, ra, rb);
    ExpectNear(Values(rc), accumulated, "AccumulateProduct");
    MaskedAccumulateOrMax(r1, rv, rb, m.data());
    ExpectNear(Values(r1), masked, "MaskedAccumulateOrMax");
    MaskedAccumulateOrMax(r2, rv, rb, nullptr);
    ExpectNear(Values(r2), max, "MaskedAccumulateOrMax without mask");
    MaskedProductOrCopy(dst, rv, rb, m.data());
    ExpectNear(Values(dst), maskedProduct, "MaskedProductOrCopy");
    MaskedProductOrCopy(dst, rv, rb, nullptr);
    ExpectNear(Values(dst), v, "MaskedProductOrCopy without mask");
    Release({&ra, &rb, &rc, &rv, &r1, &r2, &dst});
  }
}

TEST(CfrArrayKernels, HandComputedCases) {
  AlignedArray x = Row({-4.0, 0.0, 3.0});
  ScaleBySign(x, 2.0, 0.5);
  EXPECT_EQ(Values(x), (std::vector<double>{-2.0, 0.0, 6.0}));
  ScalePositive(x, 3.0);
  EXPECT_EQ(Values(x), (std::vector<double>{-2.0, 0.0, 18.0}));
  AlignedArray acc = Row({1.0, -5.0}), values = Row({2.0, -3.0}), weights = Row({0.5, 1.0});
  const uint8_t mask[] = {1, 0};
  MaskedAccumulateOrMax(acc, values, weights, mask);
  EXPECT_EQ(Values(acc), (std::vector<double>{2.0, -3.0}));
  // Without values: unlocked hands are clamped at 0, locked ones kept.
  AlignedArray clamp = Row({-1.0, -2.0, 3.0}), none = EmptyRow(3), fresh = EmptyRow(3), maxAcc = EmptyRow(3);
  const uint8_t mask3[] = {7, 0, 0};
  MaskedAccumulateOrMax(clamp, none, none, mask3);
  EXPECT_EQ(Values(clamp), (std::vector<double>{-1.0, 0.0, 3.0}));
  MaskedAccumulateOrMax(fresh, none, none, mask3);
  ASSERT_NE(fresh.data, nullptr);
  EXPECT_EQ(Values(fresh), (std::vector<double>{0.0, 0.0, 0.0}));
  MaxInPlace(maxAcc, none);
  ASSERT_NE(maxAcc.data, nullptr);
  EXPECT_EQ(Values(maxAcc), (std::vector<double>{0.0, 0.0, 0.0}));
  Release({&x, &acc, &values, &weights, &clamp, &fresh, &maxAcc});
}

TEST(CfrArrayKernels, RowsWithoutDataAndDropThresholds) {
  const uint32_t n = 11;
  AlignedArray a = Row(Random(n, 1, 0.1, 1.0)), empty = EmptyRow(n), dst = Row(Random(n, 2));
  // Products with an empty operand release the destination's block.
  MultiplyAlignedArrays(dst, a, empty);
  EXPECT_TRUE(dst.data == nullptr && dst.count == n);
  MaskedProductOrCopy(dst, empty, a, nullptr);
  EXPECT_TRUE(dst.data == nullptr && dst.count == n);
  // An empty product into an empty accumulator allocates nothing; a real
  // one starts from zeros.
  AlignedArray acc = EmptyRow(n);
  AccumulateProduct(acc, a, empty);
  EXPECT_TRUE(acc.data == nullptr && acc.count == n);
  AccumulateProduct(acc, a, a);
  for (uint32_t i = 0; i < n; ++i) ASSERT_DOUBLE_EQ(acc.data[i], a.data[i] * a.data[i]);
  // Scaling or adding nothing leaves an empty row empty; adding a row with
  // data into it gives a copy.
  AlignedArray sum = EmptyRow(n);
  ScalePositive(sum, 2.0);
  ScaleBySign(sum, 2.0, 0.5);
  ScaleAlignedArray(sum, 3.0);
  AddIntoAlignedArray(sum, empty);
  EXPECT_TRUE(sum.data == nullptr && sum.count == n);
  AddIntoAlignedArray(sum, a);
  AddIntoAlignedArray(sum, a);
  for (uint32_t i = 0; i < n; ++i) ASSERT_DOUBLE_EQ(sum.data[i], 2.0 * a.data[i]);

  // DotAlignedArray: products summing below DBL_MIN, or negative, make the
  // child's own reach an empty row; exactly DBL_MIN does not.
  AlignedArray ones = Row(std::vector<double>(n, 1.0));
  const auto dot = [&](std::vector<double> strategy) {
    AlignedArray child = Row(Random(n, 3)), s = Row(strategy);
    DotAlignedArray(child, ones, s);
    const bool kept = child.data != nullptr;
    EXPECT_EQ(child.count, n);
    Release({&child, &s});
    return kept;
  };
  std::vector<double> row(n, 0.0);
  EXPECT_FALSE(dot(row));
  row[0] = DBL_MIN / 8;
  EXPECT_FALSE(dot(row));
  row[0] = -1.0;
  row[1] = 0.5;
  EXPECT_FALSE(dot(row));
  row.assign(n, 0.0);
  row[5] = DBL_MIN;
  EXPECT_TRUE(dot(row));
  EXPECT_TRUE(dot(Random(n, 4, 0.0, 1.0)));
  AlignedArray emptyChild;
  DotAlignedArray(emptyChild, empty, a);
  EXPECT_TRUE(emptyChild.data == nullptr && emptyChild.count == n);

  // MultiplyReachRow: reach that vanishes wherever the strategy is positive,
  // a total below DBL_MIN and an empty reach all leave an empty row.
  std::vector<double> strategy(n, 0.0), reach(n, 0.0);
  strategy[0] = strategy[1] = 0.5;
  reach[2] = reach[3] = 1.0;
  AlignedArray r1 = Row(strategy), s1 = Row(reach);
  MultiplyReachRow(r1, s1);
  EXPECT_TRUE(r1.data == nullptr && r1.count == n);
  reach.assign(n, 0.0);
  reach[4] = 1e-300;
  AlignedArray r2 = Row(std::vector<double>(n, 1e-10)), s2 = Row(reach);
  MultiplyReachRow(r2, s2);
  EXPECT_EQ(r2.data, nullptr);
  AlignedArray r3 = Row(strategy);
  MultiplyReachRow(r3, empty);
  EXPECT_TRUE(r3.data == nullptr && r3.count == n);
  AlignedArray r4 = Row(strategy);
  MultiplyReachRow(r4, a);
  for (uint32_t i = 0; i < n; ++i) ASSERT_DOUBLE_EQ(r4.data[i], strategy[i] * a.data[i]);
  Release({&a, &acc, &sum, &ones, &s1, &s2, &r4});
}

namespace {

void DotIntoStoredRowFromEmptyParent() {
  AlignedArray child, parent, strategy;
  ZeroAlignedArray(child, 4);
  parent.count = 4;
  ZeroAlignedArray(strategy, 4);
  DotAlignedArray(child, parent, strategy);
}

void MultiplyWithShortRow() {
  AlignedArray dst, a, b;
  ZeroAlignedArray(a, 8);
  ZeroAlignedArray(b, 5);
  MultiplyAlignedArrays(dst, a, b);
}

void DealReachOfPlayerTwo() {
  CardRecord record;
  AlignedArray reach;
  ZeroAlignedArray(reach, 3);
  AccumulateDealReach(record, 2, reach, 1.0);
}

}  // namespace

TEST(CfrArrayKernelsDeathTest, InconsistentRowsFail) {
  EXPECT_EXIT(DotIntoStoredRowFromEmptyParent(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(MultiplyWithShortRow(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(DealReachOfPlayerTwo(), ::testing::ExitedWithCode(1), "");
}

TEST(CfrArrayKernels, DealReachAccumulatesWeightedReachUnlessFrozen) {
  CardRecord record;
  const std::vector<double> r1 = Random(6, 21, 0.0, 1.0), r2 = Random(6, 22, 0.0, 1.0);
  AlignedArray a = Row(r1), b = Row(r2), empty = EmptyRow(6), longer = Row(std::vector<double>(9, 1.0));
  // An empty reach still sizes the record's row, as zeros.
  AccumulateDealReach(record, 1, empty, 5.0);
  EXPECT_EQ(Values(record.arrays[1]), std::vector<double>(6, 0.0));
  ASSERT_NE(record.arrays[1].data, nullptr);
  AccumulateDealReach(record, 1, a, 2.0);
  AccumulateDealReach(record, 1, b, 0.5);
  record.reachFrozen = 1;
  AccumulateDealReach(record, 1, a, 100.0);
  for (int i = 0; i < 6; ++i) ASSERT_NEAR(record.arrays[1].data[i], 2.0 * r1[i] + 0.5 * r2[i], 1e-15);
  // A changed hand count starts again from zeros, not from whatever the new
  // block holds.
  record.reachFrozen = 0;
  AccumulateDealReach(record, 0, a, 1.0);
  AccumulateDealReach(record, 0, longer, 3.0);
  EXPECT_EQ(Values(record.arrays[0]), std::vector<double>(9, 3.0));
  Release({&a, &b, &longer});
}

namespace {

// The raw report kernels of one instruction-set variant.
struct ReportVariant {
  const char* name;
  decltype(&kernels_avx::FillOutsideRange) fillOutside;
  decltype(&kernels_avx::AccumulateDealValues) accumulateDeal;
  decltype(&kernels_avx::DivideRows) divide;
  decltype(&kernels_avx::DealValueRows) dealRows;
  decltype(&kernels_avx::EquityFromBalance) equity;
  decltype(&kernels_avx::WeightedMeanSums) meanSums;
  decltype(&kernels_avx::ActionTotals) totals;
  decltype(&kernels_avx::ReplaceWhereZero) replace;
  decltype(&kernels_avx::NonZeroMask) nonZero;
};

std::vector<ReportVariant> ReportVariants() {
  std::vector<ReportVariant> v = {{"avx", kernels_avx::FillOutsideRange, kernels_avx::AccumulateDealValues,
                                   kernels_avx::DivideRows, kernels_avx::DealValueRows, kernels_avx::EquityFromBalance,
                                   kernels_avx::WeightedMeanSums, kernels_avx::ActionTotals,
                                   kernels_avx::ReplaceWhereZero, kernels_avx::NonZeroMask}};
  if (CpuSupportsAvx2Fma())
    v.push_back({"avx2", kernels_avx2::FillOutsideRange, kernels_avx2::AccumulateDealValues, kernels_avx2::DivideRows,
                 kernels_avx2::DealValueRows, kernels_avx2::EquityFromBalance, kernels_avx2::WeightedMeanSums,
                 kernels_avx2::ActionTotals, kernels_avx2::ReplaceWhereZero, kernels_avx2::NonZeroMask});
  return v;
}

// Equal values, NaN where NaN is expected; within `tolerance` otherwise.
void ExpectSame(const std::vector<double>& got, const std::vector<double>& want, double tolerance,
                const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(std::isnan(got[i]), std::isnan(want[i])) << where << " hand " << i;
    if (!std::isnan(want[i]) && got[i] != want[i]) {
      ASSERT_NEAR(got[i], want[i], tolerance) << where << " hand " << i;
    }
  }
}

// Random values with NaN at about every fifth hand and exact zeros at about
// every seventh.
std::vector<double> WithGaps(uint32_t n, unsigned seed, double lo, double hi) {
  std::vector<double> v = Random(n, seed, lo, hi);
  std::mt19937 rng(seed + 1000);
  for (double& x : v) {
    const unsigned r = rng() % 35;
    if (r < 7) x = std::nan("");
    else if (r < 12) x = 0.0;
  }
  return v;
}

}  // namespace

TEST(CfrReportKernels, MatchPlainLoopsAndAgreeInBothVariants) {
  std::vector<uint32_t> lengths(std::begin(kLengths), std::end(kLengths));
  lengths.push_back(1326);
  for (uint32_t n : lengths) {
    const std::vector<double> e = WithGaps(n, n + 11, -1.0, 1.0), w = WithGaps(n, n + 12, 0.0, 2.0);
    const std::vector<double> range = WithGaps(n, n + 13, 0.0, 1.0);
    const std::vector<double> acc0 = Random(n, n + 14), total0 = Random(n, n + 15, 0.0, 1.0);
    const double nan = std::nan("");
    std::vector<double> outside(n), outsideB(n), accumulated = acc0, totalled = total0, divided(n), dealEv(n);
    std::vector<double> dealWeight(n), equity(n);
    std::vector<uint8_t> mask(n);
    // Matchup weights are numbers wherever the equity is one.
    std::vector<double> matchup = w;
    for (uint32_t i = 0; i < n; ++i)
      if (!std::isnan(e[i]) && std::isnan(w[i])) matchup[i] = 0.5;
    double numerator = 0.0, denominator = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
      if (!std::isnan(e[i])) numerator += e[i] * matchup[i];
      if (!std::isnan(matchup[i])) denominator += matchup[i];
      outside[i] = range[i] == 0.0 ? nan : e[i];
      outsideB[i] = range[i] == 0.0 ? nan : w[i];
      if (!std::isnan(e[i])) {
        accumulated[i] += e[i] * w[i];
        totalled[i] += w[i];
      }
      divided[i] = acc0[i] / w[i];
      dealEv[i] = e[i];
      dealWeight[i] = std::isnan(e[i]) ? nan : (std::isnan(w[i]) ? 0.0 : w[i]);
      equity[i] = (e[i] + 1.0) * 0.5;
      mask[i] = w[i] != 0.0 ? 1 : 0;
    }
    // Three action rows, the middle one absent; hands whose rows sum to 0
    // take the current strategy.
    const std::vector<double> a0 = WithGaps(n, n + 16, 0.0, 1.0), a2 = WithGaps(n, n + 17, 0.0, 1.0);
    std::vector<double> r0 = a0, r2 = a2, sums(n), replaced = a0;
    for (uint32_t i = 0; i < n; ++i) {
      r0[i] = std::isnan(r0[i]) ? 0.0 : r0[i];
      r2[i] = std::isnan(r2[i]) || r0[i] != 0.0 ? 0.0 : r2[i];
      sums[i] = r0[i] + r2[i];
      replaced[i] = sums[i] == 0.0 ? e[i] : r0[i];
    }
    const double* rows[3] = {r0.data(), nullptr, r2.data()};
    std::vector<std::vector<double>> means;
    for (const ReportVariant& k : ReportVariants()) {
      const std::string where = std::string(k.name) + " n=" + std::to_string(n);
      std::vector<double> x = e, y = w;
      k.fillOutside(x.data(), y.data(), range.data(), nan, n);
      ExpectSame(x, outside, 0.0, where + " fill outside");
      ExpectSame(y, outsideB, 0.0, where + " fill outside, second row");
      x = e;
      k.fillOutside(x.data(), nullptr, range.data(), nan, n);
      ExpectSame(x, outside, 0.0, where + " fill outside, one row");
      x = acc0;
      y = total0;
      k.accumulateDeal(x.data(), y.data(), e.data(), w.data(), n);
      // The fused multiply-add of the wide variant rounds once.
      ExpectSame(x, accumulated, 1e-14, where + " deal values");
      ExpectSame(y, totalled, 0.0, where + " deal weights");
      x = acc0;
      k.divide(x.data(), w.data(), n);
      ExpectSame(x, divided, 0.0, where + " divide");
      k.dealRows(x.data(), y.data(), e.data(), w.data(), n);
      ExpectSame(x, dealEv, 0.0, where + " deal rows");
      ExpectSame(y, dealWeight, 0.0, where + " deal row weights");
      x = e;
      k.equity(x.data(), n);
      ExpectSame(x, equity, 0.0, where + " equity");
      double num = -1.0, den = -1.0;
      k.meanSums(e.data(), matchup.data(), n, &num, &den);
      EXPECT_NEAR(num, numerator, 1e-12 * (1.0 + std::fabs(numerator))) << where;
      EXPECT_NEAR(den, denominator, 1e-12 * (1.0 + denominator)) << where;
      means.push_back({num, den});
      x.assign(n, -1.0);
      k.totals(x.data(), rows, 3, n);
      ExpectSame(x, sums, 0.0, where + " totals");
      x = r0;
      k.replace(x.data(), e.data(), sums.data(), n);
      ExpectSame(x, replaced, 0.0, where + " replace");
      std::vector<uint8_t> m(n + 1, 7);
      k.nonZero(m.data(), w.data(), n);
      EXPECT_EQ(m[n], 7) << where << ": written past the end";
      m.resize(n);
      EXPECT_EQ(m, mask) << where;
    }
    // The equity average is printed: both variants give it to the bit.
    if (means.size() == 2) {
      EXPECT_EQ(means[0], means[1]) << "n=" << n;
    }
  }
}
