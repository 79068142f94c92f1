#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/cards.h"
#include "core/hand_order.h"
#include "core/parallel.h"
#include "game/hand_evaluator.h"

namespace {

class HandEvaluator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(InitHandTables(), 1); }
};

// Cards from text ("As Kd 7c"), card numbers 13 * suit + rank.
std::vector<int> Cards(const std::string& text) {
  std::vector<int> cards;
  for (CardMask m = ParseCards(text); m; m &= m - 1) cards.push_back(CardOfMask(m));
  return cards;
}

HandValue Eval(const std::vector<int>& cards) {
  std::vector<uint8_t> bytes(cards.begin(), cards.end());
  return EvaluateHand(bytes.data(), static_cast<int>(bytes.size()));
}

HandValue Eval(const std::string& text) { return Eval(Cards(text)); }

// An independent evaluator of 3 to 5 cards written the plain way: rank groups
// sorted by size then rank, flush and straight tested directly on the cards.
HandValue ReferenceValue(const int* cards, int n) {
  int count[13] = {}, suitCount[4] = {};
  for (int i = 0; i < n; ++i) {
    ++count[CardRank(cards[i])];
    ++suitCount[CardSuit(cards[i])];
  }
  int groupSize[5], groupRank[5], groups = 0;
  for (int size = 4; size >= 1; --size)
    for (int r = 12; r >= 0; --r)
      if (count[r] == size) {
        groupSize[groups] = size;
        groupRank[groups++] = r;
      }
  const bool flush = n == 5 && *std::max_element(suitCount, suitCount + 4) == 5;
  int straightTop = -1;
  if (n == 5 && groups == 5) {
    if (groupRank[0] - groupRank[4] == 4) straightTop = groupRank[0];
    if (groupRank[0] == 12 && groupRank[1] == 3) straightTop = 3;  // A 5 4 3 2
  }
  uint32_t category;
  if (straightTop >= 0 && flush) category = 8;
  else if (groupSize[0] == 4) category = 7;
  else if (groupSize[0] == 3 && groups > 1 && groupSize[1] == 2) category = 6;
  else if (flush) category = 5;
  else if (straightTop >= 0) category = 4;
  else if (groupSize[0] == 3) category = 3;
  else if (groupSize[0] == 2 && groupSize[1] == 2) category = 2;
  else if (groupSize[0] == 2) category = 1;
  else category = 0;
  uint32_t value = category << 24;
  if (straightTop >= 0) return value | uint32_t(straightTop) << 16;
  for (int g = 0; g < groups; ++g) value |= uint32_t(groupRank[g]) << (16 - 4 * g);
  return value;
}

// The best five of 6 or 7 cards by the reference.
HandValue ReferenceBestFive(const int* cards, int n) {
  HandValue best = 0;
  for (int mask = 0; mask < (1 << n); ++mask) {
    if (__builtin_popcount(mask) != 5) continue;
    int five[5], k = 0;
    for (int i = 0; i < n; ++i)
      if (mask & (1 << i)) five[k++] = cards[i];
    best = std::max(best, ReferenceValue(five, 5));
  }
  return best;
}

EvaluatorMask MaskOf(const int* cards, int n) {
  EvaluatorMask mask = 0;
  for (int i = 0; i < n; ++i) mask |= EvaluatorBit(cards[i]);
  return mask;
}

}  // namespace

TEST_F(HandEvaluator, AllFiveCardHandsMatchReferenceAndKnownCounts) {
  const long kExpected[9] = {1302540, 1098240, 123552, 54912, 10200, 5108, 3744, 624, 40};
  long counts[9] = {};
  std::set<HandValue> distinct;
  long mismatches = 0;
  int c[5];
  for (c[0] = 0; c[0] < 52; ++c[0])
    for (c[1] = c[0] + 1; c[1] < 52; ++c[1])
      for (c[2] = c[1] + 1; c[2] < 52; ++c[2])
        for (c[3] = c[2] + 1; c[3] < 52; ++c[3])
          for (c[4] = c[3] + 1; c[4] < 52; ++c[4]) {
            const HandValue value = EvaluateHand5(MaskOf(c, 5));
            mismatches += value != ReferenceValue(c, 5);
            ++counts[HandValueCategory(value)];
            distinct.insert(value);
          }
  EXPECT_EQ(mismatches, 0);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(counts[k], kExpected[k]) << "category " << k;
  EXPECT_EQ(distinct.size(), 7462u);
}

TEST_F(HandEvaluator, AllThreeAndFourCardHandsMatchReference) {
  long mismatches = 0, hands = 0;
  int c[4];
  for (c[0] = 0; c[0] < 52; ++c[0])
    for (c[1] = c[0] + 1; c[1] < 52; ++c[1])
      for (c[2] = c[1] + 1; c[2] < 52; ++c[2]) {
        mismatches += EvaluateHand3(MaskOf(c, 3)) != ReferenceValue(c, 3);
        for (c[3] = c[2] + 1; c[3] < 52; ++c[3]) {
          mismatches += EvaluateHand4(MaskOf(c, 4)) != ReferenceValue(c, 4);
          ++hands;
        }
      }
  EXPECT_EQ(hands, 270725);
  EXPECT_EQ(mismatches, 0);
}

// Every seven-card set, built with incremental masks and spread over threads;
// the tables are shared read-only by all of them.
TEST_F(HandEvaluator, AllSevenCardHandsGiveKnownCategoryCounts) {
  const long kExpected[9] = {23294460, 58627800, 31433400, 6461620, 6180020, 4047644, 3473184, 224848, 41584};
  std::atomic<long> totals[9];
  for (auto& t : totals) t = 0;
#pragma omp parallel for schedule(dynamic, 1)
  for (int ab = 0; ab < 52 * 52; ++ab) {
    const int a = ab / 52, b = ab % 52;
    if (b <= a) continue;
    long counts[9] = {};
    const EvaluatorMask mab = EvaluatorBit(a) | EvaluatorBit(b);
    for (int c = b + 1; c < 52; ++c) {
      const EvaluatorMask mc = mab | EvaluatorBit(c);
      for (int d = c + 1; d < 52; ++d) {
        const EvaluatorMask md = mc | EvaluatorBit(d);
        for (int e = d + 1; e < 52; ++e) {
          const EvaluatorMask me = md | EvaluatorBit(e);
          for (int f = e + 1; f < 52; ++f) {
            const EvaluatorMask mf = me | EvaluatorBit(f);
            for (int g = f + 1; g < 52; ++g) ++counts[HandValueCategory(EvaluateHand7(mf | EvaluatorBit(g)))];
          }
        }
      }
    }
    for (int k = 0; k < 9; ++k) totals[k] += counts[k];
  }
  long all = 0;
  for (int k = 0; k < 9; ++k) {
    EXPECT_EQ(totals[k].load(), kExpected[k]) << "category " << k;
    all += totals[k];
  }
  EXPECT_EQ(all, 133784560);
}

// Six and seven cards are worth their best five: the value equals the
// reference's best five-card value, so ordering and ties agree with it.
TEST_F(HandEvaluator, SixAndSevenCardsEqualBestFiveOfReference) {
  std::mt19937 rng(20240611);
  std::vector<int> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  for (int trial = 0; trial < 200000; ++trial) {
    std::shuffle(deck.begin(), deck.end(), rng);
    const int n = 6 + trial % 2;
    const HandValue value = n == 6 ? EvaluateHand6(MaskOf(deck.data(), 6)) : EvaluateHand7(MaskOf(deck.data(), 7));
    ASSERT_EQ(value, ReferenceBestFive(deck.data(), n)) << "trial " << trial;
    ASSERT_EQ(value, Eval(std::vector<int>(deck.begin(), deck.begin() + n)));
  }
}

TEST_F(HandEvaluator, EdgeCases) {
  EXPECT_EQ(Eval("As Ks Qs Js Ts 9s 2c"), (8u << 24) | (12u << 16));
  // Wheel: ace counts low, top rank 3 (the five).
  EXPECT_EQ(Eval("Ac 2d 3h 4s 5c 8d 9h"), (4u << 24) | (3u << 16));
  EXPECT_EQ(Eval("Ah 2h 3h 4h 5h"), (8u << 24) | (3u << 16));
  EXPECT_EQ(Eval("Ah 2h 3h 4h 5h Kc Kd"), (8u << 24) | (3u << 16));
  // A six-high straight beats the wheel it contains.
  EXPECT_EQ(Eval("Ac 2d 3h 4s 5c 6d 6h"), (4u << 24) | (4u << 16));
  // Three pairs: the two highest and the best remaining card.
  EXPECT_EQ(Eval("Ac Ad Kc Kd Qh Qs 2c"), (2u << 24) | (12u << 16) | (11u << 12) | (10u << 8));
  EXPECT_EQ(Eval("Ac Ad Kc Kd 2h 2s Qc"), (2u << 24) | (12u << 16) | (11u << 12) | (10u << 8));
  // Two trips: the higher over the lower.
  EXPECT_EQ(Eval("9c 9d 9h 5c 5d 5h Kc"), (6u << 24) | (7u << 16) | (3u << 12));
  // Quads with trips beside them: the trips rank is the kicker.
  EXPECT_EQ(Eval("4c 4d 4h 4s Qc Qd Qh"), (7u << 24) | (2u << 16) | (10u << 12));
  EXPECT_EQ(Eval("7c 7d 7h"), (3u << 24) | (5u << 16));
  EXPECT_EQ(Eval("Ac Kd 2h"), (12u << 16) | (11u << 12) | (0u << 8));
  EXPECT_EQ(Eval("Ac Ad Ah As"), (7u << 24) | (12u << 16));
  EXPECT_EQ(Eval("Ac Kd"), 0u);
  EXPECT_EQ(Eval("2c 3c 4c 5c 6c 7c 8c 9c"), 0u);
  // Flush over straight, and a flush keeps its five highest ranks.
  EXPECT_EQ(Eval("2h 5h 8h Jh Kh Qh 9c"), (5u << 24) | 0xBA963u);
  // With a flush and a straight in different cards, the flush wins.
  EXPECT_EQ(Eval("Th Jd Qh Kh Ah 2h"), (5u << 24) | 0xCBA80u);
}

TEST_F(HandEvaluator, TablesAreBuiltOnceAndShared) {
  std::vector<std::thread> threads;
  std::atomic<int> built{0};
  for (int t = 0; t < 4; ++t) threads.emplace_back([&] { built += InitHandTables(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(built.load(), 4);
}

TEST_F(HandEvaluator, AuxiliaryOperations) {
  EXPECT_EQ(TopRankOf(0), 0);
  EXPECT_EQ(TopRankOf(0x1FC0), 12);
  EXPECT_EQ(TopRankOf(0x0005), 2);
  EXPECT_EQ(RankCountOf(0x1FC0), 7);
  EXPECT_EQ(RankCountOf(0x1001), 2);

  int rank = -5, suit = -5;
  // Ks and 3d: the diamond field comes first, the three is rank 3.
  EXPECT_EQ(LowestCardOfMask(EvaluatorBit(MakeCard(11, 3)) | EvaluatorBit(MakeCard(1, 1)), rank, suit), 1);
  EXPECT_EQ(rank, 3);
  EXPECT_EQ(suit, 1);
  EXPECT_EQ(LowestCardOfMask(EvaluatorBit(MakeCard(12, 0)), rank, suit), 0);
  EXPECT_EQ(rank, 14);
  EXPECT_EQ(LowestCardOfMask(0, rank, suit), -1);

  // Classifier numbering: 0 is the ace of spades, 51 the deuce of clubs.
  EXPECT_EQ(ClassifierCardRank(0), 12);
  EXPECT_EQ(ClassifierCardRank(51), 0);
  EXPECT_EQ(ClassifierCardSuit(7), 3);
  EXPECT_EQ(HigherClassifierRank(50, 5), 11);
  EXPECT_TRUE(SameClassifierRank(4, 7));
  EXPECT_FALSE(SameClassifierRank(3, 4));
  const int32_t noPair[4] = {0, 4, 8, 51};
  const int32_t pair[4] = {0, 9, 48, 51};
  EXPECT_FALSE(ClassifierHasPair(noPair, 4));
  EXPECT_TRUE(ClassifierHasPair(pair, 4));
  EXPECT_FALSE(ClassifierHasPair(pair, 3));

  std::vector<int> counts(kComboCount, 0);
  counts[0] = 3;
  counts[1325] = 1;
  counts[7] = -2;
  testing::internal::CaptureStdout();
  PrintHandCounts(counts.data());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "2d2c: 3, AsAh: 1\n");
}
