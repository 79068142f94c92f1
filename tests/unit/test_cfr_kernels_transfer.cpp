// Rows carried between a board and the boards dealt from it (with and
// without suit isomorphism and hand groups), and the compatible-reach sums of
// value capture, checked against lookups through the combo maps, against the
// fact that every pair of disjoint hands meets 44 river cards (so reach
// carried down and fold values carried back over all rivers give 44 times the
// turn's fold values), and against per-card inclusion-exclusion written here.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/cards.h"
#include "core/cpu_info.h"
#include "game/deal_table.h"
#include "solver/array_kernels.h"
#include "solver/reach_sums.h"
#include "solver/reach_sums_variants.h"
#include "solver/row_transfer.h"
#include "solver/row_transfer_variants.h"
#include "solver/terminal_kernels.h"

namespace {

int Card(const char* text) { return CardOfMask(ParseCards(text)); }
int Low(CardMask hand) { return __builtin_ctzll(hand); }
int High(CardMask hand) { return 63 - __builtin_clzll(hand); }

std::vector<double> FullRange() { return std::vector<double>(kComboCount, 1.0); }

// One random weight per hand class (ranks and suitedness): the same under
// every renaming of suits, as isomorphic deals require.
std::vector<double> ClassWeights(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::map<int, double> byClass;
  std::vector<double> w(kComboCount);
  for (int hi = 1; hi < 52; ++hi)
    for (int lo = 0; lo < hi; ++lo) {
      const int r1 = std::max(CardRank(lo), CardRank(hi)), r2 = std::min(CardRank(lo), CardRank(hi));
      const int cls = (r1 * 13 + r2) * 2 + (CardSuit(lo) == CardSuit(hi));
      if (!byClass.count(cls)) byClass[cls] = u(rng) < 0.15 ? 0.0 : u(rng);
      w[ComboIndex(lo, hi)] = byClass[cls];
    }
  return w;
}

AlignedArray Row(const std::vector<double>& values) {
  AlignedArray a;
  ZeroAlignedArray(a, static_cast<uint32_t>(values.size()));
  std::copy(values.begin(), values.end(), a.data);
  return a;
}

// A per-hand row of a board's list from 1326 per-combo weights.
std::vector<double> ListRow(const BoardCombos& combos, const std::vector<double>& perCombo) {
  std::vector<double> row;
  for (CardMask hand : combos.hands) row.push_back(perCombo[ComboIndex(Low(hand), High(hand))]);
  return row;
}

size_t ParentPosition(const BoardCombos& parent, CardMask hand) {
  return static_cast<size_t>(parent.comboMap[ComboIndex(Low(hand), High(hand))]);
}

}  // namespace

TEST(CfrRowTransfer, GroupedRecordsSumAndSpreadByGroup) {
  for (int mode : {1, 2}) {
    DealTable table(ParseCards("Kc Kd 7h"), mode, Card("7s"), Card("2c"), false);
    SetHoles(table, FullRange().data(), FullRange().data());
    const TurnRecord& turn = table.turns[0];
    const RiverRecord& river = turn.rivers[0];
    const uint32_t groups = river.RowCount();
    ASSERT_LT(groups, river.HandCount());
    const std::vector<double> parentValues = ListRow(turn.combos, ClassWeights(3));
    AlignedArray parent = Row(parentValues), out;
    SumHandGroups(river, out, parent);
    ASSERT_EQ(out.count, groups);
    for (uint32_t g = 0, h = 0; g < groups; ++g) {
      double want = 0.0;
      for (int k = 0; k < river.groupSizes[g]; ++k, ++h)
        want += parentValues[ParentPosition(turn.combos, river.combos.hands[h])];
      ASSERT_NEAR(out.data[g], want, 1e-12) << g;
    }
    // Back up: every hand of a group receives the group's value.
    std::vector<double> groupValues(groups);
    for (uint32_t g = 0; g < groups; ++g) groupValues[g] = 0.5 + g;
    AlignedArray values = Row(groupValues), acc;
    acc.count = turn.HandCount();
    SpreadHandGroups(river, acc, values);
    ASSERT_NE(acc.data, nullptr);
    std::vector<double> want(turn.HandCount(), 0.0);
    for (uint32_t g = 0, h = 0; g < groups; ++g)
      for (int k = 0; k < river.groupSizes[g]; ++k, ++h)
        want[ParentPosition(turn.combos, river.combos.hands[h])] = groupValues[g];
    for (uint32_t i = 0; i < turn.HandCount(); ++i) ASSERT_EQ(acc.data[i], want[i]) << i;
    for (AlignedArray* a : {&parent, &out, &values, &acc}) ReleaseAlignedArray(*a);
  }
}

TEST(CfrRowTransfer, RiverFoldsSpreadBackAddUpToFortyFourTurnFolds) {
  // Every hand pair that shares no card meets 44 river cards, so the river
  // fold values carried back over all river cards are 44 times the fold
  // values on the turn board, whether a record stands for one card or for
  // several isomorphic ones (weights 1, 2 and 3 on these boards).
  struct Case {
    const char* flop;
    const char* turn;
    bool isomorphism;
    int largestWeight;
  };
  const Case cases[] = {{"Qs Jh 2h", "8c", false, 1}, {"Ac Kc 2d", "5c", true, 2}, {"Ac Kc 2c", "5c", true, 3}};
  for (const Case& c : cases) {
    const std::vector<double> range0 = ClassWeights(11), range1 = ClassWeights(12);
    DealTable table(ParseCards(c.flop), 0, Card(c.turn), -1, c.isomorphism);
    SetHoles(table, range0.data(), range1.data());
    ASSERT_EQ(CountMissingCounterparts(table), 0u);
    const TurnRecord& turn = table.turns[0];
    int largest = 0, cards = 0;
    for (const RiverRecord& river : turn.rivers) {
      largest = std::max(largest, river.weight);
      cards += river.weight;
    }
    ASSERT_EQ(largest, c.largestWeight);
    ASSERT_EQ(cards, 48);
    const std::vector<double> turnReach = ListRow(turn.combos, ClassWeights(13));
    AlignedArray reach = Row(turnReach), riverReach, riverValue, sum;
    sum.count = turn.HandCount();
    for (const RiverRecord& river : turn.rivers) {
      SumHandGroups(river, riverReach, reach);
      EvaluateFold(river, riverValue, riverReach, true, 2.5);
      SpreadHandGroups(river, sum, riverValue);
    }
    AlignedArray turnFold, none;
    none.count = reach.count;
    SumHandGroups(turn.rivers[0], riverReach, none);
    EXPECT_TRUE(riverReach.data == nullptr && riverReach.count == turn.rivers[0].HandCount());
    EvaluateBoardFold(turn.combos, turnFold, reach, 2.5);
    for (uint32_t i = 0; i < turn.HandCount(); ++i)
      ASSERT_NEAR(sum.data[i], 44.0 * turnFold.data[i], 1e-9 * (1.0 + std::fabs(turnFold.data[i])))
          << c.flop << " " << c.turn << " hand " << i;
    for (AlignedArray* a : {&reach, &riverReach, &riverValue, &sum, &turnFold}) ReleaseAlignedArray(*a);
  }
}

TEST(CfrRowTransfer, WeightThreeRecordAddsEachValueThreeTimes) {
  DealTable table(ParseCards("Ac Kc 2c"), 0, Card("5c"), -1, true);
  SetHoles(table, FullRange().data(), FullRange().data());
  const TurnRecord& turn = table.turns[0];
  for (const RiverRecord& river : turn.rivers) {
    if (river.weight != 3) continue;
    // Map j places each value at the hand with the river card's suit and the
    // suit j above it exchanged, found here through the turn list's combo map.
    std::vector<double> values(river.HandCount()), want(turn.HandCount(), 0.0);
    for (size_t i = 0; i < values.size(); ++i) {
      values[i] = 1.0 + static_cast<double>(i % 17);
      const int suit = CardSuit(river.card);
      for (int j = 0; j < 3; ++j) {
        CardMask swapped = 0;
        for (int card : {Low(river.combos.hands[i]), High(river.combos.hands[i])}) {
          const int s = CardSuit(card);
          swapped |= CardBit(MakeCard(CardRank(card), s == suit ? suit + j : (s == suit + j ? suit : s)));
        }
        want[ParentPosition(turn.combos, swapped)] += values[i];
      }
    }
    AlignedArray v = Row(values), parent;
    parent.count = turn.HandCount();
    SpreadHandGroups(river, parent, v);
    for (uint32_t i = 0; i < turn.HandCount(); ++i) ASSERT_EQ(parent.data[i], want[i]) << i;
    ReleaseAlignedArray(v);
    ReleaseAlignedArray(parent);
    return;
  }
  FAIL() << "no record of weight 3";
}

TEST(CfrRowTransfer, HandMapValuesSkipMissingCounterpartsAndEmptyRows) {
  AlignedArray parent = Row({0.0, 0.0, 0.0, 10.0});
  const std::vector<uint16_t> map = {2, kNoCounterpart, 0, 3};
  AlignedArray values = Row({1.0, 2.0, 3.0, 4.0});
  AddHandMapValues(parent, values, map);
  EXPECT_EQ(std::vector<double>(parent.data, parent.data + 4), (std::vector<double>{3.0, 0.0, 1.0, 14.0}));
  // Values without data or of count 0 leave the parent unchanged.
  AlignedArray none;
  none.count = 4;
  AlignedArray zeroCount;
  AddHandMapValues(parent, none, map);
  AddHandMapValues(parent, zeroCount, map);
  EXPECT_EQ(std::vector<double>(parent.data, parent.data + 4), (std::vector<double>{3.0, 0.0, 1.0, 14.0}));
  // An empty parent row becomes zeros plus the values.
  AlignedArray emptyParent;
  emptyParent.count = 4;
  AddHandMapValues(emptyParent, values, map);
  ASSERT_NE(emptyParent.data, nullptr);
  EXPECT_EQ(std::vector<double>(emptyParent.data, emptyParent.data + 4),
            (std::vector<double>{3.0, 0.0, 1.0, 4.0}));
  // Reading through the same kind of map: a missing counterpart reads 0.
  const std::vector<uint16_t> longMap = {3, 1, kNoCounterpart, 0, 2, 2, 1, 3, kNoCounterpart};
  const std::vector<double> source = {5.0, 6.0, 7.0, 8.0};
  std::vector<double> out(9, -1.0);
  for (bool avx2 : {false, true}) {
    if (avx2 && !CpuSupportsAvx2Fma()) continue;
    const bool ok = avx2 ? kernels_avx2::GatherMappedRow(out.data(), source.data(), 4, longMap.data(), 9)
                         : kernels_avx::GatherMappedRow(out.data(), source.data(), 4, longMap.data(), 9);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, (std::vector<double>{8.0, 6.0, 0.0, 5.0, 7.0, 7.0, 6.0, 8.0, 0.0}));
    // An entry past the parent row is reported, and not read.
    const std::vector<uint16_t> bad = {0, 1, 4, 2, 3};
    const bool okBad = avx2 ? kernels_avx2::GatherMappedRow(out.data(), source.data(), 4, bad.data(), 5)
                            : kernels_avx::GatherMappedRow(out.data(), source.data(), 4, bad.data(), 5);
    EXPECT_FALSE(okBad);
  }
  for (AlignedArray* a : {&parent, &values, &emptyParent}) ReleaseAlignedArray(*a);
}

namespace {

void AddThroughMapPastTheParent() {
  AlignedArray parent, values;
  ZeroAlignedArray(parent, 3);
  ZeroAlignedArray(values, 2);
  AddHandMapValues(parent, values, {1, 3});
}

void AddThroughShortMap() {
  AlignedArray parent, values;
  ZeroAlignedArray(parent, 3);
  ZeroAlignedArray(values, 3);
  AddHandMapValues(parent, values, {1, 2});
}

void SpreadValuesOfAnotherBoard() {
  DealTable table(ParseCards("Qs Jh 2h"), 0, Card("8c"), Card("3d"), false);
  SetHoles(table, FullRange().data(), FullRange().data());
  AlignedArray parent, values;
  ZeroAlignedArray(parent, table.turns[0].HandCount());
  ZeroAlignedArray(values, 17);
  SpreadHandGroups(table.turns[0].rivers[0], parent, values);
}

// Maps are checked once, when inverted; the transfers then read them unchecked.
void InvertMapPastTheParent() {
  std::vector<std::vector<uint16_t>> inverse;
  InvertHandMaps({{0, 1}, {2, 3}}, 3, inverse);
}

void InvertMapNamingAHandTwice() {
  std::vector<std::vector<uint16_t>> inverse;
  InvertHandMaps({{0, 1}, {2, 2}}, 3, inverse);
}

void InvertFirstMapWithoutCounterpart() {
  std::vector<std::vector<uint16_t>> inverse;
  InvertHandMaps({{0, kNoCounterpart}}, 3, inverse);
}

void CaptureRiverWithoutTurn() {
  DealTable table(ParseCards("Qs Jh 2h"), 0, Card("8c"), Card("3d"), false);
  SetHoles(table, FullRange().data(), FullRange().data());
  AlignedArray ev, weight, value, opp, own;
  SumCompatibleReachForDeal(table, ev, weight, -1, 0, value, opp, own);
}

}  // namespace

TEST(CfrRowTransferDeathTest, MapsThatDoNotFitTheirRowsFail) {
  EXPECT_EXIT(AddThroughMapPastTheParent(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(AddThroughShortMap(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(SpreadValuesOfAnotherBoard(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(CaptureRiverWithoutTurn(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(InvertMapPastTheParent(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(InvertMapNamingAHandTwice(), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(InvertFirstMapWithoutCounterpart(), ::testing::ExitedWithCode(1), "");
  // A map that fits inverts to one entry per parent hand, none where no hand lands.
  std::vector<std::vector<uint16_t>> inverse;
  InvertHandMaps({{2, 0}, {1, kNoCounterpart}}, 3, inverse);
  EXPECT_EQ(inverse, (std::vector<std::vector<uint16_t>>{{1, kNoListedHand, 0}, {kNoListedHand, 0, kNoListedHand}}));
}

namespace {

// The compatible opponent reach of each hand by per-card inclusion-exclusion:
// total - reach holding the low card - reach holding the high card + the
// hand's own reach (removed twice).
std::vector<double> CardSumReference(const std::vector<CardMask>& hands, const std::vector<double>& reach) {
  double total = 0.0;
  double perCard[52] = {};
  for (size_t j = 0; j < hands.size(); ++j) {
    total += reach[j];
    perCard[Low(hands[j])] += reach[j];
    perCard[High(hands[j])] += reach[j];
  }
  std::vector<double> s(hands.size());
  for (size_t i = 0; i < hands.size(); ++i)
    s[i] = total - perCard[Low(hands[i])] - perCard[High(hands[i])] + reach[i];
  return s;
}

}  // namespace

TEST(CfrReachSums, ExpectedValuesAndWeightsFromCompatibleReach) {
  DealTable table(ParseCards("Td 7h 2c"), 0, -1, -1, false);
  SetHoles(table, ClassWeights(40).data(), FullRange().data());
  const std::vector<CardMask>& hands = table.combos.hands;
  const uint32_t n = table.HandCount();
  std::mt19937 rng(41);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> opp(n), own(n), value(n);
  for (uint32_t i = 0; i < n; ++i) {
    opp[i] = u(rng) < 0.3 ? 0.0 : u(rng);
    own[i] = u(rng);
    value[i] = u(rng) - 0.5;
  }
  const std::vector<double> s = CardSumReference(hands, opp);
  AlignedArray ev, weight, v = Row(value), o = Row(opp), w = Row(own);
  SumCompatibleReach(ev, weight, v, o, w, hands, 1980.0);
  ASSERT_EQ(ev.count, n);
  ASSERT_EQ(weight.count, n);
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_NEAR(ev.data[i], s[i] > 0.0 ? value[i] / s[i] : 0.0, 1e-12 * (1.0 + std::fabs(ev.data[i]))) << i;
    ASSERT_NEAR(weight.data[i], 1980.0 * own[i] * s[i], 1e-12 * (1.0 + 1980.0 * s[i])) << i;
  }
  // Values that are fold values of payoff 3 give an expected value of 3.
  AlignedArray fold;
  EvaluateBoardFold(table.combos, fold, o, 3.0);
  SumCompatibleReach(ev, weight, fold, o, w, hands, 1.0);
  for (uint32_t i = 0; i < n; ++i)
    if (s[i] > 0.0) {
      ASSERT_NEAR(ev.data[i], 3.0, 1e-12) << i;
    }
  // Both variants agree.
  std::vector<double> e1(n), w1(n), e2(n), w2(n);
  kernels_avx::SumCompatibleReach(e1.data(), n, w1.data(), n, value.data(), opp.data(), own.data(), hands.data(), n,
                                  44.0);
  if (CpuSupportsAvx2Fma()) {
    kernels_avx2::SumCompatibleReach(e2.data(), n, w2.data(), n, value.data(), opp.data(), own.data(), hands.data(),
                                     n, 44.0);
    for (uint32_t i = 0; i < n; ++i) {
      ASSERT_NEAR(e1[i], e2[i], 1e-12 * (1.0 + std::fabs(e1[i])));
      ASSERT_NEAR(w1[i], w2[i], 1e-12 * (1.0 + std::fabs(w1[i])));
    }
  }
  // The sums of a sub-tree's value: own reach times compatible opponent
  // reach, and values times own reach; own reach of 0 adds nothing. Both
  // variants give the same bits (no fused multiply-add).
  for (uint32_t i = 0; i < n; i += 3) own[i] = 0.0;
  double weighted = 0.0, total = 0.0;
  for (uint32_t i = 0; i < n; ++i) {
    weighted += value[i] * own[i];
    total += own[i] * s[i];
  }
  std::vector<std::pair<double, double>> sums;
  for (auto kernel : {kernels_avx::SubtreeValueSums, kernels_avx2::SubtreeValueSums}) {
    if (kernel == kernels_avx2::SubtreeValueSums && !CpuSupportsAvx2Fma()) continue;
    double gotWeighted = -1.0, gotTotal = -1.0;
    kernel(value.data(), n, own.data(), n, opp.data(), hands.data(), n, &gotWeighted, &gotTotal);
    EXPECT_NEAR(gotWeighted, weighted, 1e-12 * (1.0 + std::fabs(weighted)));
    EXPECT_NEAR(gotTotal, total, 1e-12 * (1.0 + total));
    sums.emplace_back(gotWeighted, gotTotal);
  }
  if (sums.size() == 2) {
    EXPECT_EQ(sums[0], sums[1]);
  }
  // Rows shorter than the list cover only their own hands.
  ReleaseAlignedArray(w);
  w = Row(std::vector<double>(own.begin(), own.begin() + 10));
  AlignedArray shortValues = Row(std::vector<double>(value.begin(), value.begin() + 7));
  double partWeighted = 0.0, partTotal = 0.0, gotWeighted, gotTotal;
  for (uint32_t i = 0; i < 10; ++i) {
    if (i < 7) partWeighted += value[i] * own[i];
    partTotal += own[i] * s[i];
  }
  SubtreeValueSums(shortValues, w, o, hands, gotWeighted, gotTotal);
  EXPECT_NEAR(gotWeighted, partWeighted, 1e-12);
  EXPECT_NEAR(gotTotal, partTotal, 1e-12 * (1.0 + partTotal));
  for (AlignedArray* a : {&ev, &weight, &v, &o, &w, &fold, &shortValues}) ReleaseAlignedArray(*a);
}

TEST(CfrReachSums, MissingRowsAndZeroSums) {
  DealTable table(ParseCards("Qs Jh 2h"), 0, Card("8c"), Card("3d"), false);
  SetHoles(table, FullRange().data(), FullRange().data());
  const RiverRecord& river = table.turns[0].rivers[0];
  const uint32_t n = river.HandCount();
  AlignedArray value = Row(std::vector<double>(n, 2.0)), own = Row(std::vector<double>(n, 1.0));
  AlignedArray noOpp, ev, weight;
  noOpp.count = n;
  // No opponent reach: ev 0 and weight 0 everywhere.
  SumCompatibleReach(ev, weight, value, noOpp, own, river.combos.hands, 1.0);
  for (uint32_t i = 0; i < n; ++i) ASSERT_TRUE(ev.data[i] == 0.0 && weight.data[i] == 0.0);
  // One opponent hand: the hands sharing a card with it have a compatible
  // reach of exactly 0 and get ev 0, not a division by zero.
  std::vector<double> one(n, 0.0);
  one[7] = 0.5;
  AlignedArray opp = Row(one);
  SumCompatibleReach(ev, weight, value, opp, own, river.combos.hands, 1.0);
  for (uint32_t i = 0; i < n; ++i) {
    const bool meets = (river.combos.hands[i] & river.combos.hands[7]) != 0;
    ASSERT_EQ(ev.data[i], meets ? 0.0 : 4.0) << i;
    ASSERT_EQ(weight.data[i], meets ? 0.0 : 0.5) << i;
  }
  // Empty value: ev is left as it was; weight is still computed.
  AlignedArray noValue, untouched;
  noValue.count = n;
  SumCompatibleReach(untouched, weight, noValue, opp, own, river.combos.hands, 1.0);
  EXPECT_TRUE(untouched.data == nullptr && untouched.count == 0);
  EXPECT_EQ(weight.data[0], (river.combos.hands[0] & river.combos.hands[7]) ? 0.0 : 0.5);
  // No own reach: weights of the own reach's count, all 0.
  AlignedArray noOwn;
  noOwn.count = n;
  SumCompatibleReach(ev, weight, value, opp, noOwn, river.combos.hands, 1.0);
  ASSERT_EQ(weight.count, n);
  for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(weight.data[i], 0.0);
  for (AlignedArray* a : {&value, &own, &ev, &weight, &opp}) ReleaseAlignedArray(*a);
}

TEST(CfrReachSums, DealSelectionPicksTheBoardAndItsWeight) {
  DealTable table(ParseCards("Qs Jh 2h"), 0, -1, -1, false);
  SetHoles(table, FullRange().data(), FullRange().data());
  const struct {
    int turn, river;
    double weight;
  } deals[] = {{-1, -1, 1980.0}, {5, -1, 44.0}, {5, 11, 1.0}};
  for (const auto& d : deals) {
    const BoardCombos& combos = DealCombos(table, d.turn, d.river);
    const uint32_t n = static_cast<uint32_t>(combos.hands.size());
    std::vector<double> oppValues(n);
    for (uint32_t i = 0; i < n; ++i) oppValues[i] = 0.25 + 0.001 * (i % 100);
    AlignedArray opp = Row(oppValues), own = Row(std::vector<double>(n, 1.0)), value = Row(oppValues), ev, weight;
    SumCompatibleReachForDeal(table, ev, weight, d.turn, d.river, value, opp, own);
    const std::vector<double> s = CardSumReference(combos.hands, oppValues);
    ASSERT_EQ(weight.count, n);
    for (uint32_t i = 0; i < n; ++i) ASSERT_NEAR(weight.data[i], d.weight * s[i], 1e-9 * d.weight * s[i]) << i;
    for (AlignedArray* a : {&opp, &own, &value, &ev, &weight}) ReleaseAlignedArray(*a);
  }
}
