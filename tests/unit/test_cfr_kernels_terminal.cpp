// Fold and showdown values and the river terminal-pair kernels, checked
// against plain pairwise sums over the hands of real boards (hand strengths
// from the evaluator, card removal by mask tests), on full and thinned
// ranges, dense and sparse reach, and in both instruction-set variants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/cards.h"
#include "core/cpu_info.h"
#include "game/deal_table.h"
#include "game/hand_evaluator.h"
#include "solver/array_kernels.h"
#include "solver/engine_state.h"
#include "solver/terminal_kernels.h"
#include "solver/terminal_kernels_variants.h"
#include "storage/solver_tree.h"

namespace {

int Card(const std::string& text) { return CardOfMask(ParseCards(text)); }

// A deal table rooted on the given five cards ("As Ks Qs Js Ts": flop, turn,
// river), with its hand lists built for the two ranges.
std::unique_ptr<DealTable> RiverTable(const std::string& board, const std::vector<double>& range0,
                                      const std::vector<double>& range1, int groupingMode = 0) {
  const CardMask flop = ParseCards(board.substr(0, 8));
  auto table = std::make_unique<DealTable>(flop, groupingMode, Card(board.substr(9, 2)), Card(board.substr(12, 2)),
                                           false);
  SetHoles(*table, range0.data(), range1.data());
  return table;
}

const RiverRecord& River(const DealTable& table) { return table.turns[0].rivers[0]; }

std::vector<double> FullRange() { return std::vector<double>(kComboCount, 1.0); }

// A range in which each hand is missing with the given probability.
std::vector<double> ThinnedRange(unsigned seed, double missing) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> range(kComboCount);
  for (double& w : range) w = u(rng) < missing ? 0.0 : 1.0;
  return range;
}

// Reach in [0, 1) with the given share of exact zeros.
std::vector<double> RandomReach(size_t n, unsigned seed, double zeroShare) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> reach(n);
  for (double& r : reach) r = u(rng) < zeroShare ? 0.0 : u(rng);
  return reach;
}

HandValue SevenCardValue(CardMask board, CardMask hand) {
  uint8_t cards[7];
  int n = 0;
  for (int c = 0; c < 52; ++c)
    if ((board | hand) & CardBit(c)) cards[n++] = static_cast<uint8_t>(c);
  return EvaluateHand(cards, n);
}

std::vector<uint32_t> Strengths(const RiverRecord& record) {
  std::vector<uint32_t> s;
  for (CardMask hand : record.combos.hands) s.push_back(SevenCardValue(record.board, hand));
  return s;
}

// payoff * (reach of every hand j > 0 that shares no card with hand i).
std::vector<double> PairwiseFold(const std::vector<CardMask>& hands, const double* reach, double payoff) {
  std::vector<double> out(hands.size(), 0.0);
  for (size_t i = 0; i < hands.size(); ++i) {
    double s = 0.0;
    for (size_t j = 0; j < hands.size(); ++j)
      if (!(hands[i] & hands[j]) && reach && reach[j] > 0.0) s += reach[j];
    out[i] = payoff * s;
  }
  return out;
}

// payoff * (reach of weaker compatible hands - reach of stronger ones).
std::vector<double> PairwiseShowdown(const std::vector<CardMask>& hands, const std::vector<uint32_t>& strength,
                                     const double* reach, double payoff) {
  std::vector<double> out(hands.size(), 0.0);
  for (size_t i = 0; i < hands.size(); ++i) {
    double s = 0.0;
    for (size_t j = 0; j < hands.size(); ++j) {
      if ((hands[i] & hands[j]) || !reach || !(reach[j] > 0.0)) continue;
      if (strength[j] < strength[i]) s += reach[j];
      if (strength[j] > strength[i]) s -= reach[j];
    }
    out[i] = payoff * s;
  }
  return out;
}

double Scale(const std::vector<double>& reach, double payoff) {
  double s = 0.0;
  for (double r : reach) s += std::fabs(r);
  return std::fabs(payoff) * s + 1.0;
}

void ExpectRowsNear(const double* got, const std::vector<double>& want, double scale, const std::string& where) {
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_NEAR(got[i], want[i], 1e-12 * scale) << where << " hand " << i;
  }
}

// The raw kernels of one instruction-set variant.
struct Variant {
  const char* name;
  decltype(&kernels_avx::FoldReachSums) fold;
  decltype(&kernels_avx::ShowdownReachSums) showdown;
  decltype(&kernels_avx::TerminalPairReachSums) pair;
  decltype(&kernels_avx::TerminalPairSplitReachSums) split;
};

std::vector<Variant> Variants() {
  std::vector<Variant> v = {{"avx", kernels_avx::FoldReachSums, kernels_avx::ShowdownReachSums,
                             kernels_avx::TerminalPairReachSums, kernels_avx::TerminalPairSplitReachSums}};
  if (CpuSupportsAvx2Fma())
    v.push_back({"avx2", kernels_avx2::FoldReachSums, kernels_avx2::ShowdownReachSums,
                 kernels_avx2::TerminalPairReachSums, kernels_avx2::TerminalPairSplitReachSums});
  return v;
}

struct BoardCase {
  const char* board;
  const char* what;
  size_t fullRangeRuns;  // 0: not checked
};

// Boards with distinct structure: every hand tying (royal flush on the
// board), the most distinct strengths a river board has (136), paired,
// trips, four to a flush, four to a straight, rainbow.
const BoardCase kBoards[] = {
    {"As Ks Qs Js Ts", "all hands tie", 1}, {"5c 7c 8c 2d 3d", "136 strengths", 136},
    {"Kc Kd 7h 7s 2c", "two pair", 0},     {"9h 9d 9s 4c 4h", "full house", 0},
    {"Ah 9h 4h 3h 2c", "four hearts", 0},  {"6d 7c 8h 9s Kd", "four straight", 0},
    {"Qs Jh 2h 8c 3d", "rainbow", 0},
};

uint32_t Runs(const RiverRecord& record) { return static_cast<uint32_t>(record.valueRuns.size()); }

}  // namespace

TEST(CfrTerminalKernels, FoldShowdownAndPairsMatchPairwiseSumsOnRealBoards) {
  unsigned seed = 1;
  for (const BoardCase& b : kBoards) {
    for (int thin = 0; thin < 2; ++thin) {
      auto table = thin ? RiverTable(b.board, ThinnedRange(seed, 0.4), ThinnedRange(seed + 1, 0.6))
                        : RiverTable(b.board, FullRange(), FullRange());
      const RiverRecord& record = River(*table);
      // Built records carry runs checked once, which the kernels then trust.
      ASSERT_TRUE(record.runsCoverList) << b.what;
      if (!thin && b.fullRangeRuns) {
        ASSERT_EQ(record.valueRuns.size(), b.fullRangeRuns) << b.what;
      }
      const std::vector<uint32_t> strength = Strengths(record);
      const uint32_t n = record.HandCount();
      // Zeros scattered over single hands, and zeros over whole runs of equal
      // strength (about two runs in three, the first and last included in
      // turn), as lines that a range never takes leave them.
      for (double zeroShare : {0.0, 0.5, 0.97, -1.0}) {
        std::vector<double> reach = RandomReach(n, ++seed, std::max(zeroShare, 0.0));
        const std::vector<double> reachF = RandomReach(n, ++seed, 0.3);
        if (zeroShare < 0) {
          uint32_t start = 0;
          for (size_t r = 0; r < record.valueRuns.size(); ++r) {
            const uint32_t length = static_cast<uint32_t>(record.valueRuns[r]);
            if ((r + seed) % 3 != 0) std::fill(reach.begin() + start, reach.begin() + start + length, 0.0);
            start += length;
          }
        }
        const double pS = 3.5 + seed % 7, pF = -2.5;
        const std::vector<double> fold = PairwiseFold(record.combos.hands, reach.data(), pF);
        const std::vector<double> foldF = PairwiseFold(record.combos.hands, reachF.data(), pF);
        const std::vector<double> showdown = PairwiseShowdown(record.combos.hands, strength, reach.data(), pS);
        const double scale = Scale(reach, pS) + Scale(reachF, pS);
        const std::string where = std::string(b.what) + (thin ? " thinned " : " full ");
        for (const Variant& v : Variants()) {
          std::vector<double> s(n, 99.0), f(n, 99.0);
          v.fold(f.data(), reach.data(), n, record.combos.pairCodes.data(), pF);
          ExpectRowsNear(f.data(), fold, scale, where + "fold " + v.name);
          ASSERT_TRUE(v.showdown(s.data(), reach.data(), n, record.valueRuns.data(), Runs(record),
                                 record.combos.pairCodes.data(), pS));
          ExpectRowsNear(s.data(), showdown, scale, where + "showdown " + v.name);
          // The pair kernels give the same two rows in one sweep.
          ASSERT_TRUE(v.pair(s.data(), f.data(), reach.data(), n, record.valueRuns.data(), Runs(record),
                             record.combos.pairCodes.data(), pS, pF));
          ExpectRowsNear(s.data(), showdown, scale, where + "pair showdown " + v.name);
          ExpectRowsNear(f.data(), fold, scale, where + "pair fold " + v.name);
          ASSERT_TRUE(v.split(s.data(), f.data(), reach.data(), reachF.data(), n, record.valueRuns.data(),
                              Runs(record), record.combos.pairCodes.data(), pS, pF));
          ExpectRowsNear(s.data(), showdown, scale, where + "split showdown " + v.name);
          ExpectRowsNear(f.data(), foldF, scale, where + "split fold " + v.name);
        }
      }
    }
  }
}

TEST(CfrTerminalKernels, FoldMatchesPairwiseSumsOnFlopAndTurnLists) {
  DealTable table(ParseCards("Td 7h 2c"), 0, Card("Ks"), -1, false);
  SetHoles(table, FullRange().data(), FullRange().data());
  unsigned seed = 40;
  for (const BoardCombos* combos : {&table.combos, &table.turns[0].combos}) {
    const uint32_t n = static_cast<uint32_t>(combos->hands.size());
    ASSERT_TRUE(n == 1176 || n == 1128);
    for (double zeroShare : {0.0, 0.8}) {
      const std::vector<double> reach = RandomReach(n, ++seed, zeroShare);
      AlignedArray reachRow, value;
      ZeroAlignedArray(reachRow, n);
      std::copy(reach.begin(), reach.end(), reachRow.data);
      EvaluateBoardFold(*combos, value, reachRow, 2.25);
      ASSERT_EQ(value.count, n);
      ExpectRowsNear(value.data, PairwiseFold(combos->hands, reach.data(), 2.25), Scale(reach, 2.25), "list fold");
      ReleaseAlignedArray(value);
      ReleaseAlignedArray(reachRow);
    }
  }
}

TEST(CfrTerminalKernels, OneOpponentHandAndHandPlacedShowdown) {
  auto table = RiverTable("2c 7d 9h Js Kc", FullRange(), FullRange());
  const RiverRecord& record = River(*table);
  const uint32_t n = record.HandCount();
  const auto at = [&](const char* hand) {
    const CardMask m = ParseCards(hand);
    return static_cast<size_t>(record.combos.comboMap[ComboIndex(CardOfMask(m), 63 - __builtin_clzll(m))]);
  };
  // Fold: one opponent hand of reach 0.5 and payoff 4 reaches exactly the
  // hands that share no card with it.
  std::vector<double> reach(n, 0.0);
  const CardMask only = ParseCards("AhAs");
  reach[at("AhAs")] = 0.5;
  std::vector<double> out(n);
  FoldReachSums(out.data(), reach.data(), n, record.combos.pairCodes.data(), 4.0);
  for (uint32_t i = 0; i < n; ++i) {
    const double want = (record.combos.hands[i] & only) ? 0.0 : 2.0;
    ASSERT_DOUBLE_EQ(out[i], want) << i;
  }
  // Showdown: weaker hand 3d4d and stronger AhAs, reach 1 each, payoff 3.
  std::fill(reach.begin(), reach.end(), 0.0);
  reach[at("3d4d")] = 1.0;
  reach[at("AhAs")] = 1.0;
  ShowdownReachSums(out.data(), reach.data(), n, record.valueRuns.data(), Runs(record),
                    record.combos.pairCodes.data(), 3.0, record.runsCoverList);
  EXPECT_NEAR(out[at("QdQh")], 0.0, 1e-12);   // between them: wins 3, loses 3
  EXPECT_NEAR(out[at("KdKh")], 6.0, 1e-12);   // trips beat both
  EXPECT_NEAR(out[at("4d5c")], -3.0, 1e-12);  // meets 3d4d, loses to aces
  EXPECT_NEAR(out[at("4d4h")], -3.0, 1e-12);  // meets 3d4d, loses to aces
  EXPECT_NEAR(out[at("4c4h")], 0.0, 1e-12);   // beats 3d4d, loses to aces
  EXPECT_NEAR(out[at("Ad5c")], 0.0, 1e-12);   // beats 3d4d (+3), loses to aces (-3)
}

TEST(CfrTerminalKernels, TiesZerosAndThresholds) {
  auto ties = RiverTable("As Ks Qs Js Ts", FullRange(), FullRange());
  const RiverRecord& t = River(*ties);
  const std::vector<double> some = RandomReach(t.HandCount(), 5, 0.1);
  std::vector<double> out(t.HandCount(), 1.0);
  ShowdownReachSums(out.data(), some.data(), t.HandCount(), t.valueRuns.data(), Runs(t), t.combos.pairCodes.data(),
                    7.0, t.runsCoverList);
  // Ties cancel up to the rounding of the card sums.
  for (double v : out) ASSERT_NEAR(v, 0.0, 1e-12 * Scale(some, 7.0));

  auto table = RiverTable("Qs Jh 2h 8c 3d", FullRange(), FullRange());
  const RiverRecord& r = River(*table);
  const uint32_t n = r.HandCount();
  const auto run = [&](const double* reach, double payoff, std::vector<double>& fold, std::vector<double>& showdown) {
    fold.assign(n, 1.0);
    showdown.assign(n, 1.0);
    FoldReachSums(fold.data(), reach, n, r.combos.pairCodes.data(), payoff);
    ShowdownReachSums(showdown.data(), reach, n, r.valueRuns.data(), Runs(r), r.combos.pairCodes.data(), payoff,
                      r.runsCoverList);
  };
  const auto allZero = [](const std::vector<double>& v) {
    for (double x : v)
      if (x != 0.0) return false;
    return true;
  };
  std::vector<double> fold, showdown;
  const std::vector<double> zeros(n, 0.0), dense = RandomReach(n, 6, 0.0);
  // Exact zeros for zero reach, a null reach and a zero payoff.
  run(zeros.data(), 5.0, fold, showdown);
  EXPECT_TRUE(allZero(fold) && allZero(showdown));
  run(nullptr, 5.0, fold, showdown);
  EXPECT_TRUE(allZero(fold) && allZero(showdown));
  run(dense.data(), 0.0, fold, showdown);
  EXPECT_TRUE(allZero(fold) && allZero(showdown));
  // 1e-42 per hand: far above DBL_MIN, below FLT_MIN in total. The fold
  // counts it, the showdown and the pair kernel (both outputs) do not.
  const std::vector<double> tiny(n, 1e-42);
  run(tiny.data(), 1.0, fold, showdown);
  EXPECT_NEAR(fold[0], 990e-42, 1e-50);
  EXPECT_TRUE(allZero(showdown));
  TerminalPairReachSums(showdown.data(), fold.data(), tiny.data(), n, r.valueRuns.data(), Runs(r),
                        r.combos.pairCodes.data(), 1.0, 1.0, r.runsCoverList);
  EXPECT_TRUE(allZero(fold) && allZero(showdown));
  // A fold total below DBL_MIN gives zeros.
  std::vector<double> subnormal(n, 0.0);
  subnormal[0] = 1e-310;
  run(subnormal.data(), 1.0, fold, showdown);
  EXPECT_TRUE(allZero(fold));
}

TEST(CfrTerminalKernels, SplitPairWithOneReachMissingOrZero) {
  auto table = RiverTable("Kc Kd 7h 7s 2c", FullRange(), FullRange());
  const RiverRecord& record = River(*table);
  const uint32_t n = record.HandCount();
  const std::vector<double> reach = RandomReach(n, 77, 0.3), zeros(n, 0.0);
  const std::vector<double> wantF = PairwiseFold(record.combos.hands, reach.data(), 3.0);
  const std::vector<double> wantS = PairwiseShowdown(record.combos.hands, Strengths(record), reach.data(), 2.0);
  std::vector<double> s(n, 9.0), f(n, 9.0);
  for (const double* showdownReach : {static_cast<const double*>(nullptr), zeros.data()}) {
    TerminalPairSplitReachSums(s.data(), f.data(), showdownReach, reach.data(), n, record.valueRuns.data(),
                               Runs(record), record.combos.pairCodes.data(), 2.0, 3.0, record.runsCoverList);
    for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(s[i], 0.0);
    ExpectRowsNear(f.data(), wantF, Scale(reach, 3.0), "fold of the fold reach");
  }
  TerminalPairSplitReachSums(s.data(), f.data(), reach.data(), nullptr, n, record.valueRuns.data(), Runs(record),
                             record.combos.pairCodes.data(), 2.0, 3.0, record.runsCoverList);
  ExpectRowsNear(s.data(), wantS, Scale(reach, 3.0), "showdown of the showdown reach");
  for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(f[i], 0.0);
}

TEST(CfrTerminalKernels, ApproximateKernelsIgnoreCardRemoval) {
  auto table = RiverTable("5c 7c 8c 2d 3d", FullRange(), FullRange());
  const RiverRecord& record = River(*table);
  const std::vector<uint32_t> strength = Strengths(record);
  const uint32_t n = record.HandCount();
  const std::vector<double> reach = RandomReach(n, 12, 0.3);
  const double p = 4.0, f = p * 990.0 / 1081.0;
  double total = 0.0;
  for (double r : reach) total += r;
  std::vector<double> out(n);
  FoldReachTotal(out.data(), reach.data(), n, p);
  for (double v : out) ASSERT_NEAR(v, f * total, 1e-9);
  ShowdownGroupSums(out.data(), reach.data(), n, record.valueRuns.data(), Runs(record), p, record.runsCoverList);
  for (uint32_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (uint32_t j = 0; j < n; ++j) s += strength[j] < strength[i] ? reach[j] : (strength[j] > strength[i] ? -reach[j] : 0.0);
    ASSERT_NEAR(out[i], f * s, 1e-9) << i;
  }
}

TEST(CfrTerminalKernels, EvaluatorsOnAlignedArrays) {
  auto table = RiverTable("Ah 9h 4h 3h 2c", ThinnedRange(3, 0.3), FullRange());
  const RiverRecord& record = River(*table);
  const uint32_t n = record.HandCount();
  const std::vector<double> r = RandomReach(n, 21, 0.2);
  const std::vector<double> wantS = PairwiseShowdown(record.combos.hands, Strengths(record), r.data(), 3.0);
  const std::vector<double> wantF = PairwiseFold(record.combos.hands, r.data(), -3.0);
  // No opponent reach: empty rows of the hand count, blocks released.
  AlignedArray opp, out, s, f, none;
  none.count = n;
  ZeroAlignedArray(out, 5);
  EvaluateShowdown(record, out, none, true, 3.0);
  EXPECT_TRUE(out.data == nullptr && out.count == n);
  EvaluateFold(record, out, none, false, 3.0);
  EXPECT_TRUE(out.data == nullptr && out.count == n);
  EvaluateTerminalPairSharedReach(record, s, f, none, 3.0, -3.0);
  EXPECT_TRUE(s.data == nullptr && s.count == n && f.data == nullptr && f.count == n);
  EvaluateTerminalPairSplitReach(3.0, -3.0, record, s, f, none, none);
  EXPECT_TRUE(s.data == nullptr && s.count == n && f.data == nullptr && f.count == n);

  // An empty output row of the right count still receives a block.
  ZeroAlignedArray(opp, n);
  std::copy(r.begin(), r.end(), opp.data);
  EvaluateShowdown(record, out, opp, true, 3.0);
  ExpectRowsNear(out.data, wantS, Scale(r, 3.0), "EvaluateShowdown");
  EvaluateFold(record, out, opp, true, -3.0);
  ExpectRowsNear(out.data, wantF, Scale(r, 3.0), "EvaluateFold");
  EvaluateTerminalPairSharedReach(record, s, f, opp, 3.0, -3.0);
  ExpectRowsNear(s.data, wantS, Scale(r, 3.0), "shared showdown");
  ExpectRowsNear(f.data, wantF, Scale(r, 3.0), "shared fold");
  // One split reach without data reads as zeros.
  EvaluateTerminalPairSplitReach(3.0, -3.0, record, s, f, opp, none);
  ExpectRowsNear(s.data, wantS, Scale(r, 3.0), "split showdown");
  for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(f.data[i], 0.0);

  // While CurrentIteration is negative the approximate kernels run.
  const int saved = CurrentIteration;
  CurrentIteration = -1;
  EvaluateFold(record, out, opp, true, 1.0);
  double total = 0.0;
  for (double x : r) total += x;
  for (uint32_t i = 0; i < n; ++i) ASSERT_NEAR(out.data[i], total * 990.0 / 1081.0, 1e-9);
  CurrentIteration = saved;
  for (AlignedArray* a : {&opp, &out, &s, &f}) ReleaseAlignedArray(*a);
}

TEST(CfrTerminalKernels, GroupedRecordsSpreadOrKeepGroupReach) {
  for (int mode : {1, 2}) {
    auto table = RiverTable("Kc Kd 7h 7s 2c", FullRange(), ThinnedRange(8, 0.3), mode);
    const RiverRecord& record = River(*table);
    const uint32_t n = record.HandCount(), groups = record.RowCount();
    ASSERT_LT(groups, n);
    const std::vector<double> groupReach = RandomReach(groups, 30 + mode, 0.2);
    // The group reach spread evenly over each group's hands, and each hand's
    // group index.
    std::vector<double> spread(n);
    std::vector<uint32_t> groupOf(n);
    for (uint32_t g = 0, h = 0; g < groups; ++g)
      for (int k = 0; k < record.groupSizes[g]; ++k, ++h) {
        spread[h] = groupReach[g] / record.groupSizes[g];
        groupOf[h] = g;
      }
    const std::vector<double> handFold = PairwiseFold(record.combos.hands, spread.data(), 2.0);
    // Group order is the strength order of the grouped kernels.
    const std::vector<double> handShowdown = PairwiseShowdown(record.combos.hands, groupOf, spread.data(), 2.0);
    std::vector<double> wantFold(groups, 0.0), wantShowdown(groups, 0.0);
    for (uint32_t h = 0; h < n; ++h) {
      wantFold[groupOf[h]] += handFold[h] / record.groupSizes[groupOf[h]];
      wantShowdown[groupOf[h]] += handShowdown[h] / record.groupSizes[groupOf[h]];
    }
    AlignedArray opp, out;
    ZeroAlignedArray(opp, groups);
    std::copy(groupReach.begin(), groupReach.end(), opp.data);
    EvaluateFold(record, out, opp, true, 2.0);
    ASSERT_EQ(out.count, groups);
    ExpectRowsNear(out.data, wantFold, Scale(groupReach, 2.0), "grouped fold");
    EvaluateShowdown(record, out, opp, true, 2.0);
    ExpectRowsNear(out.data, wantShowdown, Scale(groupReach, 2.0), "grouped showdown");
    // Not grouped: one value per hand from the spread reach.
    EvaluateFold(record, out, opp, false, 2.0);
    ASSERT_EQ(out.count, n);
    ExpectRowsNear(out.data, handFold, Scale(groupReach, 2.0), "spread fold");
    if (mode == 1) {
      EvaluateShowdown(record, out, opp, false, 2.0);
      ExpectRowsNear(out.data, PairwiseShowdown(record.combos.hands, Strengths(record), spread.data(), 2.0),
                     Scale(groupReach, 2.0), "spread showdown");
    }
    // Approximate grouped kernels.
    const int saved = CurrentIteration;
    CurrentIteration = -5;
    EvaluateShowdown(record, out, opp, true, 2.0);
    double below = 0.0, all = 0.0;
    for (double r : groupReach) all += r;
    for (uint32_t g = 0; g < groups; ++g) {
      const double above = all - below - groupReach[g];
      ASSERT_NEAR(out.data[g], 2.0 * 990.0 / 1081.0 * (below - above), 1e-9) << g;
      below += groupReach[g];
    }
    EvaluateFold(record, out, opp, true, 2.0);
    for (uint32_t g = 0; g < groups; ++g) ASSERT_NEAR(out.data[g], 2.0 * 990.0 / 1081.0 * all, 1e-9);
    CurrentIteration = saved;
    // The pair evaluators fall back to the grouped kernels.
    AlignedArray s, f;
    EvaluateTerminalPairSharedReach(record, s, f, opp, 2.0, 2.0);
    ASSERT_EQ(s.count, groups);
    ExpectRowsNear(s.data, wantShowdown, Scale(groupReach, 2.0), "grouped pair showdown");
    ExpectRowsNear(f.data, wantFold, Scale(groupReach, 2.0), "grouped pair fold");
    ReleaseAlignedArray(s);
    ReleaseAlignedArray(f);
    ReleaseAlignedArray(out);
    ReleaseAlignedArray(opp);
  }
}

TEST(CfrTerminalKernels, PairRuleNeedsAShowdownThenAFoldOnTheRiver) {
  SolverTree tree;
  // 0: river decision of player 1; 1: showdown; 2: fold by player 1;
  // 3: inner node; 4: a second fold.
  for (int i = 0; i < 5; ++i) tree.nodes.emplace_back();
  tree.nodes[0].street = 3;
  tree.nodes[0].player = 1;
  tree.nodes[1].kind = kShowdownNode;
  tree.nodes[1].amount = 30.0;
  tree.nodes[2].kind = kFoldNode;
  tree.nodes[2].player = 1;
  tree.nodes[2].amount = 10.0;
  tree.nodes[4].kind = kFoldNode;
  tree.nodes[4].player = 1;
  tree.nodes[4].amount = 10.0;
  double pS = 0.0, pF = 0.0;
  tree.nodes[0].children = {3, 1, 2};
  tree.traversingPlayer = 1;
  ASSERT_TRUE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  EXPECT_EQ(pS, 30.0);
  EXPECT_EQ(pF, -10.0);  // the traversing player folded
  tree.traversingPlayer = 0;
  ASSERT_TRUE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  EXPECT_EQ(pF, 10.0);
  tree.nodes[0].children = {1, 2, 4};  // fold, fold at the end
  EXPECT_FALSE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  tree.nodes[0].children = {2, 1};  // fold before showdown
  EXPECT_FALSE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  tree.nodes[0].children = {3, 2};  // an inner child
  EXPECT_FALSE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  tree.nodes[0].children = {2};
  EXPECT_FALSE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  tree.nodes[0].children = {1, 2};
  tree.nodes[0].street = 2;  // turn decision
  EXPECT_FALSE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  tree.nodes[0].street = 3;
  tree.nodes[0].children = {1, 7};  // a child index outside the tree
  EXPECT_FALSE(RiverTerminalPair(tree, tree.nodes[0], pS, pF));
  EXPECT_EQ(TerminalPayoff(tree.nodes[3], 0), 0.0);
}

namespace {

void ShowdownOverLongList() {
  // One hand more than a river board can hold.
  std::vector<double> out(1082), reach(1082, 1.0);
  std::vector<uint16_t> codes(1082, 1 << 8);
  const int16_t runs[] = {1082};
  ShowdownReachSums(out.data(), reach.data(), 1082, runs, 1, codes.data(), 1.0, false);
}

void ShowdownWithRunsPastTheList() {
  std::vector<double> out(10), reach(10, 1.0);
  std::vector<uint16_t> codes(10, 1 << 8);
  const int16_t runs[] = {4, 7};
  ShowdownReachSums(out.data(), reach.data(), 10, runs, 2, codes.data(), 1.0, false);
}

void ShowdownWithRunsShortOfTheList() {
  std::vector<double> out(10), reach(10, 1.0);
  std::vector<uint16_t> codes(10, 1 << 8);
  const int16_t runs[] = {4, 5};
  ShowdownReachSums(out.data(), reach.data(), 10, runs, 2, codes.data(), 1.0, false);
}

void PairWithAnEmptyRun() {
  std::vector<double> out(10), fold(10), reach(10, 1.0);
  std::vector<uint16_t> codes(10, 1 << 8);
  const int16_t runs[] = {4, 0, 6};
  TerminalPairReachSums(out.data(), fold.data(), reach.data(), 10, runs, 3, codes.data(), 1.0, 1.0, false);
}

// A record whose runs were changed after it was built and not checked again:
// the record-level routines check them before a kernel walks them.
void RecordWithUncheckedRunsPastTheList(bool pair) {
  auto table = RiverTable("Qs Jh 2h 8c 3d", FullRange(), FullRange());
  RiverRecord record = River(*table);
  record.runsCoverList = false;
  record.valueRuns.back() = static_cast<int16_t>(record.valueRuns.back() + 40);
  AlignedArray reach, s, f;
  ZeroAlignedArray(reach, record.HandCount());
  for (uint32_t i = 0; i < record.HandCount(); ++i) reach.data[i] = 1.0;
  if (pair)
    EvaluateTerminalPairSharedReach(record, s, f, reach, 1.0, -1.0);
  else
    EvaluateShowdown(record, s, reach, true, 1.0);
}

void ReachShorterThanTheList() {
  auto table = RiverTable("Qs Jh 2h 8c 3d", FullRange(), FullRange());
  AlignedArray reach, out;
  ZeroAlignedArray(reach, 100);
  EvaluateFold(River(*table), out, reach, true, 1.0);
}

}  // namespace

TEST(CfrTerminalKernelsDeathTest, InputBeyondTheWorkingStorageOrRunsOrReachFails) {
  EXPECT_EXIT(ShowdownOverLongList(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(ShowdownWithRunsPastTheList(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(ShowdownWithRunsShortOfTheList(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(PairWithAnEmptyRun(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(ReachShorterThanTheList(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(RecordWithUncheckedRunsPastTheList(false), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(RecordWithUncheckedRunsPastTheList(true), ::testing::ExitedWithCode(1), "");
}

TEST(CfrTerminalKernels, ManyShortRunsAndEmptyLists) {
  // 1081 distinct hands in shuffled order, strength classes of one to five
  // hands: a river board's hand count with far more runs than any board has.
  std::vector<std::pair<int, int>> pairs;
  for (int hi = 1; hi < 52; ++hi)
    for (int lo = 0; lo < hi; ++lo) pairs.emplace_back(lo, hi);
  std::mt19937 rng(4);
  std::shuffle(pairs.begin(), pairs.end(), rng);
  const uint32_t n = kMaxRiverHands;
  std::vector<uint16_t> codes(n);
  std::vector<CardMask> hands(n);
  std::vector<uint32_t> strength(n);
  std::vector<int16_t> runs;
  for (uint32_t i = 0; i < n;) {
    const uint32_t length = std::min<uint32_t>(1 + rng() % 5, n - i);
    for (uint32_t k = 0; k < length; ++k, ++i) {
      codes[i] = static_cast<uint16_t>(pairs[i].first | pairs[i].second << 8);
      hands[i] = CardBit(pairs[i].first) | CardBit(pairs[i].second);
      strength[i] = static_cast<uint32_t>(runs.size());
    }
    runs.push_back(static_cast<int16_t>(length));
  }
  const std::vector<double> reach = RandomReach(n, 61, 0.7);
  std::vector<double> out(n), fold(n);
  TerminalPairReachSums(out.data(), fold.data(), reach.data(), n, runs.data(), static_cast<uint32_t>(runs.size()),
                        codes.data(), 1.5, -2.0, false);
  ExpectRowsNear(out.data(), PairwiseShowdown(hands, strength, reach.data(), 1.5), Scale(reach, 2.0), "showdown");
  ExpectRowsNear(fold.data(), PairwiseFold(hands, reach.data(), -2.0), Scale(reach, 2.0), "fold");
  // Empty lists write nothing.
  ShowdownReachSums(nullptr, reach.data(), 0, runs.data(), 0, codes.data(), 1.0, false);
  TerminalPairSplitReachSums(nullptr, nullptr, nullptr, nullptr, 0, runs.data(), 0, codes.data(), 1.0, 1.0, false);
  FoldReachSums(nullptr, nullptr, 0, nullptr, 1.0);
  FoldReachSumsByRow(nullptr, nullptr, nullptr, nullptr, 0, 1.0);
  ShowdownReachSumsByRow(nullptr, nullptr, nullptr, 0, 1.0);
}
