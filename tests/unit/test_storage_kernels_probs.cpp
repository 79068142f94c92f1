// Probability kernels: the single-precision quotient rule with its FLT_MIN
// test, the defaults, the left-to-right float sums, the row totals and the
// float narrowing, through the entry routines and both variants directly.
#include <gtest/gtest.h>
#include <pmmintrin.h>
#include <xmmintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/cpu_info.h"
#include "storage/prob_kernels.h"
#include "storage/prob_kernels_variants.h"

namespace {

// Distance in units of the last place between two floats of the same sign.
int64_t UlpDistance(float a, float b) {
  int32_t ia, ib;
  std::memcpy(&ia, &a, 4);
  std::memcpy(&ib, &b, 4);
  return std::llabs(static_cast<int64_t>(ia) - static_cast<int64_t>(ib));
}

// The result is a float quotient widened to double, within one unit of the
// exactly rounded quotient.
void ExpectQuotient(double got, float num, float den, const char* where, int i) {
  const float exact = num / den;
  ASSERT_EQ(got, static_cast<double>(static_cast<float>(got))) << where << " hand " << i << " is not a float";
  EXPECT_LE(UlpDistance(static_cast<float>(got), exact), 1) << where << " hand " << i;
}

// Sets flush-to-zero and denormals-are-zero (as the program runs) for the
// life of the object, when asked to.
class DenormalMode {
 public:
  explicit DenormalMode(bool flush) : saved_(_mm_getcsr()) {
    if (flush) _mm_setcsr(saved_ | 0x8040u);
  }
  ~DenormalMode() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
};

// Lengths that exercise only the scalar remainder, one vector, and both.
const int kLengths[] = {1, 7, 8, 9, 16, 31, 33, 1081};

}  // namespace

TEST(ProbKernels, CountsGiveQuotientsAndZeroRowsTheDefaults) {
  for (int n : kLengths) {
    std::vector<uint16_t> a(n), b(n);
    for (int i = 0; i < n; ++i) {
      a[i] = i % 3 == 0 ? 3 : (i % 3 == 1 ? 0 : 65535);
      b[i] = i % 3 == 0 ? 1 : (i % 3 == 1 ? 0 : 1);
    }
    std::vector<double> pa(n, -7.0), pb(n, -7.0);
    const float half[2] = {0.5f, 0.5f};
    CountsToProbs2(a.data(), b.data(), pa.data(), pb.data(), n, half);
    for (int i = 0; i < n; ++i) {
      if (i % 3 == 1) {
        EXPECT_EQ(pa[i], 0.5) << n << " " << i;
        EXPECT_EQ(pb[i], 0.5) << n << " " << i;
      } else if (i % 3 == 0) {
        ExpectQuotient(pa[i], 3.0f, 4.0f, "0.75", i);
        ExpectQuotient(pb[i], 1.0f, 4.0f, "0.25", i);
      } else {
        ExpectQuotient(pa[i], 65535.0f, 65536.0f, "big", i);
        ExpectQuotient(pb[i], 1.0f, 65536.0f, "small", i);
      }
    }
  }
}

TEST(ProbKernels, ThreeAndFourCountRows) {
  const int n = 21;
  std::vector<uint16_t> a(n), b(n), c(n), d(n);
  for (int i = 0; i < n; ++i) {
    a[i] = static_cast<uint16_t>(i);
    b[i] = static_cast<uint16_t>(2 * i);
    c[i] = static_cast<uint16_t>(65535 - i);
    d[i] = static_cast<uint16_t>(i == 20 ? 0 : 7);
  }
  a[5] = b[5] = c[5] = d[5] = 0;  // no regret anywhere: defaults
  std::vector<double> pa(n), pb(n), pc(n), pd(n);
  const float dflt[4] = {0.25f, 0.125f, 0.5f, 0.125f};
  CountsToProbs4(a.data(), b.data(), c.data(), d.data(), pa.data(), pb.data(), pc.data(), pd.data(), n, dflt);
  for (int i = 0; i < n; ++i) {
    if (i == 5) {
      EXPECT_EQ(pa[i], 0.25);
      EXPECT_EQ(pb[i], 0.125);
      EXPECT_EQ(pc[i], 0.5);
      EXPECT_EQ(pd[i], 0.125);
      continue;
    }
    const float s = static_cast<float>(a[i] + b[i] + c[i] + d[i]);  // exact: below 2^24
    ExpectQuotient(pa[i], a[i], s, "a", i);
    ExpectQuotient(pb[i], b[i], s, "b", i);
    ExpectQuotient(pc[i], c[i], s, "c", i);
    ExpectQuotient(pd[i], d[i], s, "d", i);
  }
  CountsToProbs3(a.data(), b.data(), c.data(), pa.data(), pb.data(), pc.data(), n, dflt);
  EXPECT_EQ(pa[5], 0.25);
  EXPECT_EQ(pc[5], 0.5);
  const float s13 = 13.0f + 26.0f + 65522.0f;
  ExpectQuotient(pb[13], 26.0f, s13, "b3", 13);
  ExpectQuotient(pc[13], 65522.0f, s13, "c3", 13);
}

TEST(ProbKernels, FloatSumThresholdAndOrder) {
  // Hand by hand: the sum test runs in float, left to right, against FLT_MIN.
  const float belowMin = std::nextafter(FLT_MIN, 0.0f);  // largest subnormal
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float a, b, c;
    bool takesDefaults;
  };
  const Case cases[] = {
      {0.0f, 0.0f, 0.0f, true},
      {belowMin, 0.0f, 0.0f, true},        // a sum just below FLT_MIN
      {FLT_MIN, 0.0f, 0.0f, false},        // exactly FLT_MIN passes
      {nan, 1.0f, 1.0f, true},             // a NaN sum fails the test
      {-1.0f, 0.5f, 0.25f, true},          // a negative sum
      {2.0f, -1.0f, 0.0f, false},          // no clamping: 2 and -1
      {1e8f, -1e8f, 1.0f, false},          // (a + b) + c = 1; a + (b + c) would be 0
      {1e38f, 1e38f, 1e38f, false},        // sums too large for the reciprocal estimate
      {0.1f, 0.2f, 0.7f, false},
  };
  const int count = sizeof(cases) / sizeof(cases[0]);
  // Each length plain and with denormals flushed (as the program runs).
  const int lengths[3] = {count, 8 + count, 40};
  for (int config = 0; config < 6; ++config) {
    const int n = lengths[config % 3];
    const DenormalMode mode(config >= 3);
    std::vector<float> a(n, 1.0f), b(n, 1.0f), c(n, 2.0f);
    for (int i = 0; i < count; ++i) {
      // Place the cases at the end of the row so that they meet both the
      // vector loop (n = 40) and the scalar remainder (n = count).
      const int at = n - count + i;
      a[at] = cases[i].a;
      b[at] = cases[i].b;
      c[at] = cases[i].c;
    }
    std::vector<double> pa(n), pb(n), pc(n);
    const float dflt[3] = {0.125f, 0.25f, 0.625f};
    FloatsToProbs3(a.data(), b.data(), c.data(), pa.data(), pb.data(), pc.data(), n, dflt);
    for (int i = 0; i < count; ++i) {
      const int at = n - count + i;
      if (cases[i].takesDefaults) {
        EXPECT_EQ(pa[at], 0.125) << "case " << i;
        EXPECT_EQ(pb[at], 0.25) << "case " << i;
        EXPECT_EQ(pc[at], 0.625) << "case " << i;
      } else {
        const float s = (cases[i].a + cases[i].b) + cases[i].c;
        ExpectQuotient(pa[at], cases[i].a, s, "a", i);
        ExpectQuotient(pb[at], cases[i].b, s, "b", i);
        ExpectQuotient(pc[at], cases[i].c, s, "c", i);
      }
    }
    // Spot values worked by hand.
    EXPECT_NEAR(pa[n - count + 5], 2.0, 1e-6);
    EXPECT_NEAR(pb[n - count + 5], -1.0, 1e-6);
    EXPECT_NEAR(pc[n - count + 6], 1.0, 1e-6);
    EXPECT_NEAR(pa[n - count + 7], 1.0 / 3.0, 1e-7);
  }
}

TEST(ProbKernels, TwoFloatRows) {
  const int n = 13;
  std::vector<float> a(n), b(n);
  for (int i = 0; i < n; ++i) {
    a[i] = 0.5f * i;
    b[i] = 1.0f;
  }
  b[0] = 0.0f;  // 0 + 0: defaults
  std::vector<double> pa(n), pb(n);
  const float dflt[2] = {0.3f, 0.7f};
  FloatsToProbs2(a.data(), b.data(), pa.data(), pb.data(), n, dflt);
  EXPECT_EQ(pa[0], static_cast<double>(0.3f));
  EXPECT_EQ(pb[0], static_cast<double>(0.7f));
  for (int i = 1; i < n; ++i) {
    ExpectQuotient(pa[i], a[i], a[i] + 1.0f, "a", i);
    ExpectQuotient(pb[i], 1.0f, a[i] + 1.0f, "b", i);
  }
}

TEST(ProbKernels, SingleRowsOverTotals) {
  const int n = 19;
  std::vector<uint16_t> count(n, 1);
  std::vector<uint32_t> total(n, 4);
  total[2] = 0;            // the default even though the count is not 0
  total[9] = 0x80000000u;  // read as signed: negative, so the default
  total[17] = 0;           // in the scalar remainder
  count[11] = 65535;
  total[11] = 65535u * 3;
  std::vector<double> p(n);
  CountsToProbs1(count.data(), total.data(), p.data(), n, 0.2f);
  for (int i = 0; i < n; ++i) {
    if (i == 2 || i == 9 || i == 17)
      EXPECT_EQ(p[i], static_cast<double>(0.2f)) << i;
    else if (i == 11)
      ExpectQuotient(p[i], 65535.0f, 196605.0f, "third", i);
    else
      ExpectQuotient(p[i], 1.0f, 4.0f, "quarter", i);
  }

  std::vector<int32_t> sums(n, 2000000000);
  std::vector<uint32_t> totals(n, 2000000000u);
  totals[3] = 4000000000u;  // 2^31 or more gives the default
  sums[4] = 500000000;
  std::vector<double> q(n);
  CountsToProbs1U32(sums.data(), totals.data(), q.data(), n, 0.0f);
  EXPECT_EQ(q[3], 0.0);
  ExpectQuotient(q[4], 5e8f, 2e9f, "sum", 4);
  for (int i : {0, 7, 8, 18}) ExpectQuotient(q[i], 2e9f, 2e9f, "one", i);
}

TEST(ProbKernels, TotalsWrapModulo2To32) {
  const int n = 11;
  std::vector<uint32_t> total(n, 0xFFFFFFF0u);
  std::vector<uint16_t> row(n);
  for (int i = 0; i < n; ++i) row[i] = static_cast<uint16_t>(i * 5);
  AddU16ToU32(total.data(), row.data(), n);
  for (int i = 0; i < n; ++i) EXPECT_EQ(total[i], static_cast<uint32_t>(0xFFFFFFF0ull + i * 5)) << i;
  std::vector<uint32_t> more(n, 0x20u);
  AddU32Arrays(total.data(), more.data(), n);
  EXPECT_EQ(total[0], 0x10u);
  EXPECT_EQ(total[10], 0x10u + 50u);
  // A row without a block adds nothing.
  AddU16ToU32(total.data(), nullptr, n);
  EXPECT_EQ(total[0], 0x10u);
}

TEST(ProbKernels, DoublesRoundToNearestEvenFloats) {
  const double one = 1.0;
  const double src[10] = {0.1, -2.5, one + std::ldexp(1.0, -24), one + 3 * std::ldexp(1.0, -24), 1e-50,
                          3.0e38, 0.1, 1.0 / 3.0, 7.0, -0.0};
  float dst[10];
  DoublesToFloats(dst, src, 10);
  EXPECT_EQ(dst[0], 0.1f);
  EXPECT_EQ(dst[1], -2.5f);
  EXPECT_EQ(dst[2], 1.0f);                             // tie goes to the even neighbour
  EXPECT_EQ(dst[3], 1.0f + std::ldexp(1.0f, -22));     // tie goes to the even neighbour
  EXPECT_EQ(dst[4], 0.0f);
  EXPECT_EQ(dst[5], 3.0e38f);
  EXPECT_EQ(dst[7], 1.0f / 3.0f);
  EXPECT_EQ(dst[9], 0.0f);
  DoublesToFloats(dst, nullptr, 10);  // an empty row: zeros
  for (float v : dst) EXPECT_EQ(v, 0.0f);
}

TEST(ProbKernels, NothingWrittenForEmptyLengthsAndMissingRowsReadAsZeros) {
  uint16_t a[4] = {1, 2, 3, 4}, b[4] = {4, 3, 2, 1};
  double pa[4] = {9, 9, 9, 9}, pb[4] = {9, 9, 9, 9};
  const float dflt[2] = {0.5f, 0.5f};
  CountsToProbs2(a, b, pa, pb, 0, dflt);
  CountsToProbs2(a, b, pa, pb, -3, dflt);
  uint32_t total[4] = {1, 1, 1, 1};
  AddU16ToU32(total, a, -1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(pa[i], 9.0);
    EXPECT_EQ(total[i], 1u);
  }
  // A missing first row: that action's counts are zeros.
  CountsToProbs2(nullptr, b, pa, pb, 4, dflt);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(pa[i], 0.0);
    EXPECT_EQ(pb[i], 1.0);
  }
  // Missing defaults read as zeros; a missing output row is skipped.
  uint16_t zeros[4] = {0, 0, 0, 0};
  CountsToProbs2(zeros, zeros, pa, nullptr, 4, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(pa[i], 0.0);
  // A missing totals row is all zeros: every hand takes the default.
  CountsToProbs1(a, nullptr, pa, 4, 0.75f);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(pa[i], 0.75);
}

TEST(ProbKernels, VariantsAgreeWithinOneUnit) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2/FMA on this processor";
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> small(0, 40), big(0, 65535);
  std::uniform_real_distribution<float> real(0.0f, 1000.0f);
  const int n = 1081;
  std::vector<uint16_t> a(n), b(n), c(n), d(n);
  std::vector<float> fa(n), fb(n), fc(n);
  for (int i = 0; i < n; ++i) {
    const bool sparse = i % 5 == 0;
    a[i] = static_cast<uint16_t>(sparse ? 0 : big(rng));
    b[i] = static_cast<uint16_t>(sparse ? 0 : small(rng));
    c[i] = static_cast<uint16_t>(big(rng) % 3 == 0 ? 0 : big(rng));
    d[i] = static_cast<uint16_t>(small(rng));
    fa[i] = sparse ? 0.0f : real(rng);
    fb[i] = real(rng) * (i % 7 == 0 ? 0.0f : 1.0f);
    fc[i] = real(rng) * 1e-3f;
  }
  const float dflt[4] = {0.25f, 0.25f, 0.25f, 0.25f};
  std::vector<double> out1[4], out2[4];
  for (int k = 0; k < 4; ++k) {
    out1[k].assign(n, 0.0);
    out2[k].assign(n, 0.0);
  }
  const auto compare = [&](const char* what) {
    for (int k = 0; k < 4; ++k)
      for (int i = 0; i < n; ++i)
        ASSERT_LE(UlpDistance(static_cast<float>(out1[k][i]), static_cast<float>(out2[k][i])), 1)
            << what << " row " << k << " hand " << i;
  };
  kernels_avx::CountsToProbs4(a.data(), b.data(), c.data(), d.data(), out1[0].data(), out1[1].data(),
                              out1[2].data(), out1[3].data(), n, dflt, nullptr, nullptr, 0);
  kernels_avx2::CountsToProbs4(a.data(), b.data(), c.data(), d.data(), out2[0].data(), out2[1].data(),
                               out2[2].data(), out2[3].data(), n, dflt, nullptr, nullptr, 0);
  compare("counts4");
  for (int i = 0; i < n; ++i) {
    const float s = static_cast<float>(a[i]) + b[i] + c[i] + d[i];
    if (s >= FLT_MIN) ExpectQuotient(out1[2][i], c[i], s, "counts4 avx", i);
    if (s >= FLT_MIN) ExpectQuotient(out2[2][i], c[i], s, "counts4 avx2", i);
  }
  kernels_avx::FloatsToProbs3(fa.data(), fb.data(), fc.data(), out1[0].data(), out1[1].data(), out1[2].data(), n,
                              dflt);
  kernels_avx2::FloatsToProbs3(fa.data(), fb.data(), fc.data(), out2[0].data(), out2[1].data(), out2[2].data(), n,
                               dflt);
  compare("floats3");
  for (int i = 0; i < n; ++i) {
    const float s = (fa[i] + fb[i]) + fc[i];
    if (s >= FLT_MIN) ExpectQuotient(out2[0][i], fa[i], s, "floats3 avx2", i);
    if (s >= FLT_MIN) ExpectQuotient(out1[0][i], fa[i], s, "floats3 avx", i);
  }
  std::vector<uint32_t> t1(n, 0), t2(n, 0);
  kernels_avx::AddU16ToU32(t1.data(), a.data(), n);
  kernels_avx::AddU16ToU32(t1.data(), b.data(), n);
  kernels_avx2::AddU16ToU32(t2.data(), a.data(), n);
  kernels_avx2::AddU16ToU32(t2.data(), b.data(), n);
  EXPECT_EQ(t1, t2);
  kernels_avx::CountsToProbs1(a.data(), t1.data(), out1[0].data(), n, 0.5f);
  kernels_avx2::CountsToProbs1(a.data(), t2.data(), out2[0].data(), n, 0.5f);
  compare("counts1");
}

// With a reach row, a group of eight hands without reach (either sign of
// zero) reads 0 in every row, as does an unreached hand of the scalar
// remainder; every other hand reads exactly what the plain read gives, in
// both variants.
TEST(ProbKernels, ReachedReadsZeroOnlyWhereReachIsZero) {
  for (bool baseline : {false, true}) {
    ForceBaselineKernels(baseline);
    for (int n : kLengths) {
      std::vector<uint16_t> a(n), b(n), c(n), d(n);
      std::vector<double> reach(n);
      for (int i = 0; i < n; ++i) {
        a[i] = static_cast<uint16_t>(i % 5 == 0 ? 0 : 100 + i);
        b[i] = static_cast<uint16_t>(i % 5 == 0 ? 0 : 7 * i);
        c[i] = static_cast<uint16_t>(3 * i + 1);
        d[i] = static_cast<uint16_t>(65535 - 11 * i);
        // Hands 8..15 unreached as a group; others every third, one as -0.
        reach[i] = (i >= 8 && i < 16) || i % 3 == 0 ? 0.0 : 0.25 + i;
      }
      if (n > 20) reach[20] = -0.0;
      const float dflt[4] = {0.5f, 0.25f, 0.125f, 0.125f};
      std::vector<double> plain[4], reached[4];
      for (int k = 0; k < 4; ++k) {
        plain[k].assign(n, -1.0);
        reached[k].assign(n, -1.0);
      }
      CountsToProbs2(a.data(), b.data(), plain[0].data(), plain[1].data(), n, dflt);
      CountsToProbs2(a.data(), b.data(), reached[0].data(), reached[1].data(), n, dflt, reach.data());
      // Zero where the hand's group of eight (or, past the last whole group,
      // the hand itself) has no reach.
      auto unreached = [&](int i) {
        const int group = i / 8 * 8;
        if (group + 8 > n) return reach[i] == 0.0;
        for (int j = group; j < group + 8; ++j)
          if (reach[j] != 0.0) return false;
        return true;
      };
      for (int i = 0; i < n; ++i)
        for (int k = 0; k < 2; ++k)
          ASSERT_EQ(reached[k][i], unreached(i) ? 0.0 : plain[k][i]) << "two rows, n " << n << " hand " << i;
      CountsToProbs3(a.data(), b.data(), c.data(), plain[0].data(), plain[1].data(), plain[2].data(), n, dflt);
      CountsToProbs3(a.data(), b.data(), c.data(), reached[0].data(), reached[1].data(), reached[2].data(), n, dflt,
                     reach.data());
      for (int i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k)
          ASSERT_EQ(reached[k][i], unreached(i) ? 0.0 : plain[k][i]) << "three rows, n " << n << " hand " << i;
      CountsToProbs4(a.data(), b.data(), c.data(), d.data(), plain[0].data(), plain[1].data(), plain[2].data(),
                     plain[3].data(), n, dflt);
      CountsToProbs4(a.data(), b.data(), c.data(), d.data(), reached[0].data(), reached[1].data(), reached[2].data(),
                     reached[3].data(), n, dflt, reach.data());
      for (int i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k)
          ASSERT_EQ(reached[k][i], unreached(i) ? 0.0 : plain[k][i]) << "four rows, n " << n << " hand " << i;

      // The one-pass products equal the reached read times the reach (the
      // sign of a zero included), and each sum the solver's row-product sum
      // of them; a look-ahead range changes nothing.
      auto expectProducts = [&](int rows, const std::vector<double> (&got)[4], const double* sums,
                                const char* where) {
        for (int k = 0; k < rows; ++k) {
          double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0}, sum = 0.0;
          int i = 0;
          for (; i < n; ++i) {
            const double product = reached[k][i] * reach[i];
            ASSERT_EQ(std::signbit(got[k][i]), std::signbit(product)) << where << " n " << n << " hand " << i;
            ASSERT_EQ(got[k][i], product) << where << " n " << n << " hand " << i;
            if (i < n / 8 * 8) lanes[i % 8] += product;
          }
          sum = ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) + ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
          for (i = n / 8 * 8; i < n; ++i) sum += reached[k][i] * reach[i];
          EXPECT_EQ(sums[k], sum) << where << " n " << n << " row " << k;
        }
      };
      std::vector<double> products[4];
      for (auto& row : products) row.assign(n, -1.0);
      double sums[4] = {-1.0, -1.0, -1.0, -1.0};
      CountsToReachProducts4(a.data(), b.data(), c.data(), d.data(), products[0].data(), products[1].data(),
                             products[2].data(), products[3].data(), n, dflt, reach.data(), sums, d.data(), 2 * n);
      expectProducts(4, products, sums, "four rows");
      CountsToProbs3(a.data(), b.data(), c.data(), reached[0].data(), reached[1].data(), reached[2].data(), n, dflt,
                     reach.data());
      CountsToReachProducts3(a.data(), b.data(), c.data(), products[0].data(), products[1].data(),
                             products[2].data(), n, dflt, reach.data(), sums, c.data(), 2 * n);
      expectProducts(3, products, sums, "three rows");
      CountsToProbs2(a.data(), b.data(), reached[0].data(), reached[1].data(), n, dflt, reach.data());
      CountsToReachProducts2(a.data(), b.data(), products[0].data(), products[1].data(), n, dflt, reach.data(),
                             sums, a.data(), 2 * n);
      expectProducts(2, products, sums, "two rows");
      // A row without a block reads every hand as zero counts.
      CountsToProbs2(nullptr, b.data(), reached[0].data(), reached[1].data(), n, dflt, reach.data());
      CountsToReachProducts2(nullptr, b.data(), products[0].data(), products[1].data(), n, dflt, reach.data(),
                             sums);
      expectProducts(2, products, sums, "missing row");
    }
  }
  ForceBaselineKernels(false);
}
