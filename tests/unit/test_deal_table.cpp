// Deal records, per-board hand lists, combo maps, storage layouts and root
// reach vectors, checked against independent brute-force constructions.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/cpu_info.h"
#include "game/deal_table.h"
#include "game/hand_evaluator.h"
#include "game/isomorphism.h"

namespace {

CardMask Cards(const char* text) { return ParseCards(text); }
int Card(const char* text) { return CardOfMask(ParseCards(text)); }
int Low(CardMask hand) { return CardOfMask(hand); }
int High(CardMask hand) { return 63 - __builtin_clzll(hand); }

std::vector<double> FullRange() { return std::vector<double>(kComboCount, 1.0); }

// A range with one random weight per hand class (ranks and suitedness), so
// that it is symmetric under every renaming of suits.
std::vector<double> ClassSymmetricRange(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::map<int, double> weights;
  std::vector<double> range(kComboCount);
  for (int hi = 1; hi < 52; ++hi)
    for (int lo = 0; lo < hi; ++lo) {
      const int r1 = std::max(CardRank(lo), CardRank(hi)), r2 = std::min(CardRank(lo), CardRank(hi));
      const int cls = (r1 * 13 + r2) * 2 + (CardSuit(lo) == CardSuit(hi));
      if (!weights.count(cls)) weights[cls] = u(rng) < 0.2 ? 0.0 : u(rng);
      range[ComboIndex(lo, hi)] = weights[cls];
    }
  return range;
}

CardMask SwapSuits(CardMask mask, int a, int b) {
  CardMask out = 0;
  for (int c = 0; c < 52; ++c)
    if (mask & CardBit(c)) {
      int s = CardSuit(c);
      s = s == a ? b : (s == b ? a : s);
      out |= CardBit(MakeCard(CardRank(c), s));
    }
  return out;
}

HandValue NaiveValue(CardMask board, CardMask hand) {
  uint8_t cards[7];
  int n = 0;
  for (int c = 0; c < 52; ++c)
    if ((board | hand) & CardBit(c)) cards[n++] = static_cast<uint8_t>(c);
  return EvaluateHand(cards, n);
}

// The seven-card values of a river record's listed hands, evaluated here.
std::vector<HandValue> NaiveValues(const RiverRecord& river) {
  std::vector<HandValue> values;
  for (CardMask hand : river.combos.hands) values.push_back(NaiveValue(river.board, hand));
  return values;
}

// The parent's hands that miss the board, evaluated and stable-sorted here:
// by value, on a river board ties by the group key.
std::vector<CardMask> NaiveList(const std::vector<CardMask>& parent, CardMask board) {
  struct Item {
    CardMask hand;
    HandValue value;
    uint32_t key;
  };
  const bool river = CardCount(board) == 5;
  std::vector<Item> items;
  for (CardMask hand : parent)
    if (!(hand & board)) items.push_back({hand, NaiveValue(board, hand), river ? HandGroupKey(hand, board) : 0});
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.value != b.value ? a.value < b.value : a.key < b.key;
  });
  std::vector<CardMask> out;
  for (const Item& item : items) out.push_back(item.hand);
  return out;
}

// Listed hands, pair codes, combo map and maps into the parent: every hand
// sits where its map says, map j points at the suit-swapped hand.
void CheckBoard(const BoardCombos& combos, const BoardCombos& parent,
                const std::vector<std::vector<uint16_t>>& maps, int card) {
  const size_t n = combos.hands.size();
  ASSERT_EQ(combos.pairCodes.size(), n);
  ASSERT_EQ(combos.comboMap.size(), static_cast<size_t>(kComboCount));
  for (size_t i = 0; i < n; ++i) {
    const CardMask hand = combos.hands[i];
    ASSERT_EQ(combos.pairCodes[i], Low(hand) | High(hand) << 8);
    ASSERT_EQ(combos.comboMap[ComboIndex(Low(hand), High(hand))], static_cast<int>(i));
    ASSERT_EQ(maps[0].size(), n);
    ASSERT_EQ(parent.hands[maps[0][i]], hand);
    for (size_t j = 1; j < maps.size(); ++j) {
      ASSERT_NE(maps[j][i], kNoCounterpart);
      ASSERT_EQ(parent.hands[maps[j][i]], SwapSuits(hand, CardSuit(card), CardSuit(card) + static_cast<int>(j)));
    }
  }
  int listed = 0;
  for (int c = 0; c < kComboCount; ++c) listed += combos.comboMap[c] >= 0;
  ASSERT_EQ(listed, static_cast<int>(n));
}

int WeightSum(const DealTable& table) {
  int sum = 0;
  for (const TurnRecord& t : table.turns) sum += t.weight;
  return sum;
}

void DealRiverOnTheTurnCard() { DealTable table(Cards("Ac Kc 2d"), 0, Card("5h"), Card("5h"), false); }

class DealTableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(InitHandTables(), 1); }
};

}  // namespace

TEST_F(DealTableTest, RecordsWithoutIsomorphism) {
  const CardMask flop = Cards("Ah Kh 2c");
  DealTable table(flop, 0, -1, -1, false);
  EXPECT_EQ(table.board, flop);
  ASSERT_EQ(table.turns.size(), 49u);
  int previous = -1;
  for (size_t t = 0; t < table.turns.size(); ++t) {
    const TurnRecord& turn = table.turns[t];
    EXPECT_GT(turn.card, previous);  // card order
    previous = turn.card;
    EXPECT_EQ(turn.weight, 1);
    EXPECT_EQ(turn.board, flop | CardBit(turn.card));
    EXPECT_EQ(table.turnMap[turn.card], t);
    ASSERT_EQ(turn.rivers.size(), 48u);
    for (size_t r = 0; r < turn.rivers.size(); ++r) {
      const RiverRecord& river = turn.rivers[r];
      EXPECT_EQ(river.weight, 1);
      EXPECT_EQ(river.board, turn.board | CardBit(river.card));
      EXPECT_EQ(turn.riverMap[river.card], r);
      EXPECT_EQ(river.handMaps.size(), 1u);
    }
  }
  for (int c : {Card("Ah"), Card("Kh"), Card("2c")}) EXPECT_EQ(table.turnMap[c], kNoRecord);
}

TEST_F(DealTableTest, IsomorphicRecordCountsAndWeights) {
  struct Case {
    const char* flop;
    size_t weightOne, merged;
    int mergedWeight;
  };
  // Canonical flops: one suit, two suits, three suits.
  const Case cases[] = {{"2c 7c Tc", 10, 13, 3}, {"Ac Kc 2d", 23, 13, 2}, {"Kc 8d 3h", 36, 13, 1}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.flop);
    const CardMask flop = Cards(test.flop);
    DealTable table(flop, 0, -1, -1, true);
    EXPECT_EQ(table.turns.size(), test.weightOne + test.merged);
    EXPECT_EQ(WeightSum(table), 49);
    size_t heavy = 0;
    for (const TurnRecord& turn : table.turns) {
      if (turn.weight == test.mergedWeight) ++heavy;
      EXPECT_EQ(turn.handMaps.size(), static_cast<size_t>(turn.weight));
      int riverWeights = 0;
      for (const RiverRecord& river : turn.rivers) riverWeights += river.weight;
      EXPECT_EQ(riverWeights, 48);
      // Merged suits only where the parent board lacks them.
      for (const RiverRecord& river : turn.rivers)
        if (river.weight > 1) {
          EXPECT_EQ((turn.board >> (13 * CardSuit(river.card))) & 0x1FFF, 0u);
        }
    }
    if (test.mergedWeight > 1) {
      EXPECT_EQ(heavy, test.merged);
    }
    // Cards of the suits beyond the representative one have no record.
    const int present = test.mergedWeight > 1 ? 4 - test.mergedWeight : 3;
    for (int c = 0; c < 52; ++c) {
      const bool expectRecord = !(flop & CardBit(c)) && CardSuit(c) <= present;
      EXPECT_EQ(table.turnMap[c] != kNoRecord, expectRecord) << CardText(c);
    }
  }
}

TEST_F(DealTableTest, RiverOrderPutsTheFlushSuitLast) {
  // Two hearts on the turn board: hearts come last.
  const CardMask flop = Cards("Ah Kh 2c");
  DealTable table(flop, 0, Card("5s"), -1, false);
  ASSERT_EQ(table.turns.size(), 1u);
  const TurnRecord& turn = table.turns[0];
  std::vector<int> expected;
  for (int r = 0; r < 13; ++r)
    for (int s = 0; s < 4; ++s)
      if (s != 2 && !(turn.board & CardBit(MakeCard(r, s)))) expected.push_back(MakeCard(r, s));
  for (int r = 0; r < 13; ++r)
    if (!(turn.board & CardBit(MakeCard(r, 2)))) expected.push_back(MakeCard(r, 2));
  std::vector<int> actual;
  for (const RiverRecord& river : turn.rivers) actual.push_back(river.card);
  EXPECT_EQ(actual, expected);

  // One card per suit: no flush suit, rank then suit.
  DealTable rainbow(Cards("Kd 8h 3s"), 0, Card("4c"), -1, false);
  expected.clear();
  for (int r = 0; r < 13; ++r)
    for (int s = 0; s < 4; ++s)
      if (!(rainbow.turns[0].board & CardBit(MakeCard(r, s)))) expected.push_back(MakeCard(r, s));
  actual.clear();
  for (const RiverRecord& river : rainbow.turns[0].rivers) actual.push_back(river.card);
  EXPECT_EQ(actual, expected);

  DealRecordKeyLess less{2};
  EXPECT_TRUE(less(DealRecord{0, 1, Card("As")}, DealRecord{0, 1, Card("2h")}));
  EXPECT_TRUE(less(DealRecord{0, 1, Card("3d")}, DealRecord{0, 1, Card("3s")}));
  EXPECT_FALSE(less(DealRecord{0, 1, Card("3s")}, DealRecord{0, 1, Card("3s")}));
}

TEST_F(DealTableTest, TurnAndRiverRoots) {
  const CardMask flop = Cards("Ac Kc 2d");
  DealTable turnRoot(flop, 0, Card("5h"), -1, false);
  ASSERT_EQ(turnRoot.turns.size(), 1u);
  EXPECT_EQ(turnRoot.board, flop);
  for (int c = 0; c < 52; ++c) EXPECT_EQ(turnRoot.turnMap[c], c == Card("5h") ? 0 : kNoRecord);
  EXPECT_EQ(turnRoot.turns[0].rivers.size(), 48u);

  DealTable riverRoot(flop, 0, Card("5h"), Card("9s"), false);
  ASSERT_EQ(riverRoot.turns.size(), 1u);
  EXPECT_EQ(riverRoot.board, flop);
  const TurnRecord& turn = riverRoot.turns[0];
  EXPECT_EQ(turn.weight, 1);
  ASSERT_EQ(turn.rivers.size(), 1u);
  EXPECT_EQ(turn.rivers[0].weight, 1);
  EXPECT_EQ(turn.rivers[0].board, flop | Cards("5h 9s"));
  for (int c = 0; c < 52; ++c) EXPECT_EQ(turn.riverMap[c], c == Card("9s") ? 0 : kNoRecord);

  // A turn root with isomorphism on a two-suit turn board merges the two
  // absent suits into one representative suit of weight 2.
  DealTable merged(Cards("2c 7c Tc"), 0, Card("5d"), -1, true);
  int weights = 0, heavy = 0;
  for (const RiverRecord& river : merged.turns[0].rivers) {
    weights += river.weight;
    if (river.weight == 2) {
      ++heavy;
      EXPECT_EQ(CardSuit(river.card), 2);
    }
  }
  EXPECT_EQ(weights, 48);
  EXPECT_EQ(heavy, 13);
  EXPECT_EQ(merged.turns[0].rivers.size(), 35u);

  EXPECT_EXIT(DealRiverOnTheTurnCard(), ::testing::ExitedWithCode(1), "");
}

TEST_F(DealTableTest, FlatIndexLayout) {
  StorageLayout layout;
  ASSERT_TRUE(BuildFlatIndex(layout, 2, {{5, 8}}));
  ASSERT_EQ(layout.entryTotal, 2u);
  EXPECT_EQ(layout.entries[0].start, 0u);
  EXPECT_EQ(layout.entries[0].count, 5u);
  EXPECT_EQ(layout.entries[1].start, 16u);
  EXPECT_EQ(layout.entries[1].count, 8u);
  EXPECT_EQ(layout.paddedElementTotal, 32u);
  EXPECT_EQ(layout.elementTotal, 26u);
  EXPECT_EQ(layout.turnCount, 1u);
  EXPECT_EQ(layout.actionCount, 2u);
  EXPECT_EQ(layout.turnSpans[0].start, 0u);
  EXPECT_EQ(layout.turnSpans[0].count, 32u);

  // Random counts against a running-offset reference; lengths that are not
  // multiples of the vector width.
  std::mt19937 rng(3);
  std::vector<std::vector<uint32_t>> counts(23);
  for (size_t t = 0; t < counts.size(); ++t) {
    counts[t].resize(t * 3 % 41);
    for (uint32_t& c : counts[t]) c = rng() % 1100;
  }
  for (int k = 1; k <= 5; ++k) {
    ASSERT_TRUE(BuildFlatIndex(layout, k, counts));
    uint64_t offset = 0, plain = 0;
    uint32_t entry = 0;
    for (size_t t = 0; t < counts.size(); ++t) {
      ASSERT_EQ(layout.turnIndex[t].start, entry);
      ASSERT_EQ(layout.turnIndex[t].count, counts[t].size());
      ASSERT_EQ(layout.turnSpans[t].start, offset);
      const uint64_t first = offset;
      for (uint32_t c : counts[t]) {
        ASSERT_EQ(layout.entries[entry].start, offset);
        ASSERT_EQ(layout.entries[entry].count, c);
        offset += (c + 3) / 4 * 4 * k;
        plain += c * k;
        ++entry;
      }
      ASSERT_EQ(layout.turnSpans[t].count, offset - first);
    }
    EXPECT_EQ(layout.entryTotal, entry);
    EXPECT_EQ(layout.paddedElementTotal, offset);
    EXPECT_EQ(layout.elementTotal, plain);
    EXPECT_EQ(layout.paddedElementTotal % 4, 0u);
  }

  // The two kernel variants agree, with a starting offset.
  if (CpuSupportsAvx2Fma()) {
    std::vector<uint32_t> flat(37), a(74), b(74);
    for (uint32_t& c : flat) c = rng() % 1100;
    EXPECT_EQ(deal_kernels_avx::FlatRowOffsets(flat.data(), 37, 3, 100, a.data()),
              deal_kernels_avx2::FlatRowOffsets(flat.data(), 37, 3, 100, b.data()));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0], 100u);
  }

  // Refusals: no actions, or more elements than 32-bit offsets reach.
  EXPECT_FALSE(BuildFlatIndex(layout, 0, counts));
  EXPECT_EQ(layout.entries, nullptr);
  std::vector<std::vector<uint32_t>> huge(1, std::vector<uint32_t>(4000, 1081));
  EXPECT_FALSE(BuildFlatIndex(layout, 1000, huge));
  EXPECT_EQ(layout.paddedElementTotal, 0u);
}

TEST_F(DealTableTest, FullRangeListsAgainstNaiveSort) {
  const std::vector<double> full = FullRange();
  DealTable table(Cards("Ah Kh 2c"), 0, -1, -1, false);
  SetHoles(table, full.data(), full.data());
  ASSERT_EQ(table.HandCount(), 1176u);
  ASSERT_EQ(table.turnHandCounts.size(), 49u);
  // The flop list is in combo order.
  for (size_t i = 0; i < table.HandCount(); ++i) {
    const CardMask hand = table.combos.hands[i];
    ASSERT_EQ(table.combos.comboMap[ComboIndex(Low(hand), High(hand))], static_cast<int>(i));
    ASSERT_EQ(table.combos.pairCodes[i], Low(hand) | High(hand) << 8);
    if (i) {
      ASSERT_LT(ComboIndex(Low(table.combos.hands[i - 1]), High(table.combos.hands[i - 1])),
                ComboIndex(Low(hand), High(hand)));
    }
  }
  for (size_t t = 0; t < table.turns.size(); ++t) {
    const TurnRecord& turn = table.turns[t];
    ASSERT_EQ(turn.HandCount(), 1128u);
    ASSERT_EQ(table.turnHandCounts[t], 1128u);
    ASSERT_EQ(table.riverHandCounts[t].size(), turn.rivers.size());
    ASSERT_EQ(turn.combos.hands, NaiveList(table.combos.hands, turn.board));
    for (size_t i = 0; i < turn.HandCount(); ++i)
      ASSERT_EQ(turn.handValues[i], NaiveValue(turn.board, turn.combos.hands[i]));
    CheckBoard(turn.combos, table.combos, turn.handMaps, turn.card);
    for (size_t r = 0; r < turn.rivers.size(); ++r) {
      const RiverRecord& river = turn.rivers[r];
      ASSERT_EQ(river.HandCount(), 1081u);
      ASSERT_EQ(table.riverHandCounts[t][r], 1081u);
      ASSERT_EQ(river.combos.hands, NaiveList(turn.combos.hands, river.board));
      CheckBoard(river.combos, turn.combos, river.handMaps, river.card);
      const std::vector<HandValue> values = NaiveValues(river);
      // Runs: maximal, covering the list.
      size_t position = 0;
      for (size_t k = 0; k < river.valueRuns.size(); ++k) {
        const HandValue v = values[position];
        for (int h = 0; h < river.valueRuns[k]; ++h, ++position) ASSERT_EQ(values[position], v);
        if (position < river.HandCount()) {
          ASSERT_NE(values[position], v);
        }
      }
      ASSERT_EQ(position, river.HandCount());
      // Ties of value and group key keep the turn list's order.
      for (size_t i = 1; i < river.HandCount(); ++i)
        if (values[i] == values[i - 1] &&
            HandGroupKey(river.combos.hands[i], river.board) == HandGroupKey(river.combos.hands[i - 1], river.board)) {
          ASSERT_LT(river.handMaps[0][i - 1], river.handMaps[0][i]);
        }
    }
  }
}

TEST_F(DealTableTest, IsomorphicHandMapsPointAtSwappedHands) {
  const std::vector<double> range0 = ClassSymmetricRange(5), range1 = ClassSymmetricRange(6);
  for (const char* flopText : {"2c 7c Tc", "Ac Kc 2d", "Kc 8d 3h"}) {
    SCOPED_TRACE(flopText);
    DealTable iso(Cards(flopText), 0, -1, -1, true);
    SetHoles(iso, range0.data(), range1.data());
    DealTable plain(Cards(flopText), 0, -1, -1, false);
    SetHoles(plain, range0.data(), range1.data());
    uint64_t isoTurnRows = 0, plainTurnRows = 0, isoRiverRows = 0, plainRiverRows = 0;
    for (const TurnRecord& turn : iso.turns) {
      CheckBoard(turn.combos, iso.combos, turn.handMaps, turn.card);
      isoTurnRows += uint64_t(turn.weight) * turn.HandCount();
      for (const RiverRecord& river : turn.rivers) {
        CheckBoard(river.combos, turn.combos, river.handMaps, river.card);
        isoRiverRows += uint64_t(turn.weight) * river.weight * river.HandCount();
      }
    }
    for (const TurnRecord& turn : plain.turns) {
      plainTurnRows += turn.HandCount();
      for (const RiverRecord& river : turn.rivers) plainRiverRows += river.HandCount();
    }
    EXPECT_EQ(CountMissingCounterparts(iso), 0u);
    // Each merged record stands for boards with equally many hands.
    EXPECT_EQ(isoTurnRows, plainTurnRows);
    EXPECT_EQ(isoRiverRows, plainRiverRows);
  }
}

TEST_F(DealTableTest, AsymmetricRangeReportsIsomorphErrors) {
  std::vector<double> range = FullRange();
  range[ComboIndex(Card("Kd"), Card("Ad"))] = 0.0;
  DealTable table(Cards("2c 7c Tc"), 0, -1, -1, true);
  ::testing::internal::CaptureStdout();
  SetHoles(table, range.data(), range.data());
  const std::string printed = ::testing::internal::GetCapturedStdout();
  // The turn 2d stands for 2d, 2h and 2s; its hand Kh Ah has no parent
  // counterpart Kd Ad when the card falls in hearts instead.
  EXPECT_NE(printed.find("isomorph error: 2c 7c Tc 2d  | Kh Ah  | Kd Ad \n"), std::string::npos);
  const TurnRecord& turn = table.turns[table.turnMap[Card("2d")]];
  ASSERT_EQ(turn.weight, 3);
  const size_t i = std::find(turn.combos.hands.begin(), turn.combos.hands.end(), Cards("Kh Ah")) -
                   turn.combos.hands.begin();
  ASSERT_LT(i, turn.combos.hands.size());
  EXPECT_EQ(turn.handMaps[1][i], kNoCounterpart);
  EXPECT_NE(turn.handMaps[2][i], kNoCounterpart);
  EXPECT_GT(CountMissingCounterparts(table), 0u);
  // Every printed line is whole although four threads print.
  size_t lines = 0;
  for (size_t pos = 0; pos < printed.size(); pos = printed.find('\n', pos) + 1) {
    ASSERT_EQ(printed.compare(pos, 16, "isomorph error: "), 0);
    ++lines;
  }
  EXPECT_GT(lines, 1u);
}

TEST_F(DealTableTest, ZeroWeightHandsAreInNoList) {
  std::vector<double> range0 = FullRange(), range1 = FullRange();
  const int both = ComboIndex(Card("7d"), Card("8d"));
  const int oopOnly = ComboIndex(Card("Qs"), Card("Js"));
  range0[both] = range1[both] = 0.0;
  range1[oopOnly] = 0.0;
  range0[ComboIndex(Card("3h"), Card("3s"))] = 1e-300;  // tiny but positive: listed
  range1[ComboIndex(Card("3h"), Card("3s"))] = 0.0;
  DealTable table(Cards("Ac Kc 2d"), 0, -1, -1, false);
  SetHoles(table, range0.data(), range1.data());
  EXPECT_EQ(table.HandCount(), 1175u);
  EXPECT_EQ(table.combos.comboMap[both], -1);
  EXPECT_GE(table.combos.comboMap[oopOnly], 0);
  EXPECT_GE(table.combos.comboMap[ComboIndex(Card("3h"), Card("3s"))], 0);
  for (const TurnRecord& turn : table.turns) {
    ASSERT_EQ(turn.combos.comboMap[both], -1);
    for (const RiverRecord& river : turn.rivers) ASSERT_EQ(river.combos.comboMap[both], -1);
  }
}

TEST_F(DealTableTest, ExpandAndScatterRoundTrips) {
  std::vector<double> range = FullRange();
  range[ComboIndex(Card("9h"), Card("9s"))] = 0.0;
  DealTable table(Cards("Ac Kc 2d"), 0, Card("5h"), Card("Td"), false);
  SetHoles(table, range.data(), range.data());
  const RiverRecord& river = table.turns[0].rivers[0];
  const ComboMap& map = river.combos.comboMap;
  const size_t n = river.HandCount();
  ASSERT_EQ(n, 1080u);
  std::vector<double> values(n);
  for (size_t i = 0; i < n; ++i) values[i] = 0.5 + static_cast<double>(i);

  std::vector<double> expanded(kComboCount), zeros(kComboCount), a(kComboCount), b(kComboCount);
  ExpandComboValues(expanded.data(), values, map, true);
  ExpandComboValues(zeros.data(), values, map, false);
  for (int hi = 1; hi < 52; ++hi)
    for (int lo = 0; lo < hi; ++lo) {
      const int c = ComboIndex(lo, hi);
      const bool offList = ((CardBit(lo) | CardBit(hi)) & river.board) || range[c] == 0.0;
      if (offList) {
        ASSERT_TRUE(std::isnan(expanded[c]));
        ASSERT_EQ(zeros[c], 0.0);
      } else {
        ASSERT_EQ(expanded[c], values[map[c]]);
        ASSERT_EQ(river.combos.hands[map[c]], CardBit(lo) | CardBit(hi));
        ASSERT_EQ(zeros[c], expanded[c]);
      }
    }
  if (CpuSupportsAvx2Fma()) {  // the two variants agree
    deal_kernels_avx::ExpandComboValues(a.data(), values.data(), map.data(), 0.0);
    deal_kernels_avx2::ExpandComboValues(b.data(), values.data(), map.data(), 0.0);
    EXPECT_EQ(a, b);
  }

  // Scatter then expand gives back the input on listed hands; others stay.
  std::vector<double> scattered(n, -7.0);
  std::vector<double> input(kComboCount);
  for (int c = 0; c < kComboCount; ++c) input[c] = c * 0.25;
  ScatterComboValues(scattered, input.data(), map);
  ExpandComboValues(a.data(), scattered, map, false);
  for (int c = 0; c < kComboCount; ++c) ASSERT_EQ(a[c], map[c] >= 0 ? input[c] : 0.0);
  for (double v : scattered) ASSERT_NE(v, -7.0);

  // ComboVectorForDeal: both indices -1 use the flop list.
  std::vector<double> flopValues(table.HandCount());
  for (size_t i = 0; i < flopValues.size(); ++i) flopValues[i] = static_cast<double>(i);
  std::vector<double> combo;
  ComboVectorForDeal(combo, table, flopValues.data(), static_cast<uint32_t>(flopValues.size()), -1, -1, false);
  ASSERT_EQ(combo.size(), static_cast<size_t>(kComboCount));
  for (int c = 0; c < kComboCount; ++c)
    ASSERT_EQ(combo[c], table.combos.comboMap[c] >= 0 ? table.combos.comboMap[c] : 0.0);
  AlignedArray row;
  row.count = static_cast<uint32_t>(n);  // an empty row: zeros on the list
  ComboVectorForDeal(combo, table, row, 0, 0, true);
  for (int c = 0; c < kComboCount; ++c) ASSERT_EQ(std::isnan(combo[c]), map[c] < 0);
}

TEST_F(DealTableTest, ValueRunsAndHandGroups) {
  // Royal flush on the board: every hand plays the board, one run.
  const std::vector<double> full = FullRange();
  DealTable royal(Cards("As Ks Qs"), 0, Card("Js"), Card("Ts"), false);
  SetHoles(royal, full.data(), full.data());
  const RiverRecord& board = royal.turns[0].rivers[0];
  ASSERT_EQ(board.HandCount(), 1081u);
  ASSERT_EQ(board.valueRuns.size(), 1u);
  EXPECT_EQ(board.valueRuns[0], 1081);

  for (int mode : {1, 2}) {
    SCOPED_TRACE(mode);
    DealTable table(Cards("Ac Kc 2d"), mode, Card("5h"), Card("Td"), false);
    SetHoles(table, full.data(), full.data());
    const RiverRecord& river = table.turns[0].rivers[0];
    const size_t groups = river.groupSizes.size();
    const std::vector<HandValue> values = NaiveValues(river);
    ASSERT_EQ(river.groupKeys.size(), groups);
    ASSERT_EQ(river.cardShares.size(), groups * 52);
    EXPECT_EQ(table.riverHandCounts[0][0], groups);
    EXPECT_EQ(river.RowCount(), groups);
    if (mode == 1) {
      EXPECT_EQ(groups, river.valueRuns.size());
    }
    size_t position = 0;
    for (size_t g = 0; g < groups; ++g) {
      const size_t first = position;
      double shareSum = 0.0;
      for (int c = 0; c < 52; ++c) shareSum += river.cardShares[g * 52 + c];
      EXPECT_NEAR(shareSum, 2.0, 1e-12);  // two cards per hand
      EXPECT_EQ(river.groupKeys[g], values[first]);
      for (int h = 0; h < river.groupSizes[g]; ++h, ++position) {
        const CardMask hand = river.combos.hands[position];
        ASSERT_EQ(river.combos.comboMap[ComboIndex(Low(hand), High(hand))], static_cast<int>(g));
        if (h > 0) {
          const bool sameValue = values[position] == values[position - 1];
          const bool shares = (hand & river.combos.hands[position - 1]) != 0;
          ASSERT_TRUE(sameValue || (mode == 2 && shares));
        }
      }
      if (position < river.HandCount()) {
        ASSERT_NE(values[position], values[position - 1]);
        if (mode == 2) {
          ASSERT_EQ(river.combos.hands[position] & river.combos.hands[position - 1], 0u);
        }
      }
    }
    ASSERT_EQ(position, river.HandCount());

    std::vector<double> vectors[2] = {std::vector<double>(river.HandCount(), 1.0), {}};
    AlignedArray gathered;
    GatherPlayerValues(vectors, gathered, 0, &river);
    ASSERT_EQ(gathered.count, groups);
    for (size_t g = 0; g < groups; ++g) EXPECT_EQ(gathered.data[g], river.groupSizes[g]);
    ReleaseAlignedArray(gathered);
  }
}

TEST_F(DealTableTest, HandGroupKeys) {
  const CardMask board = Cards("2c 5c 9d Jd Kc");  // clubs and diamonds only
  const auto key = [&](const char* hand) { return HandGroupKey(Cards(hand), board); };
  EXPECT_EQ(key("Ah Ks"), (12u * 13 + 11) << 8);
  EXPECT_EQ(key("Ah Kh"), ((12u * 13 + 11) << 8) | 64);
  EXPECT_EQ(key("Ah Kh"), key("As Ks"));
  EXPECT_EQ(key("Ac Kc"), ((12u * 13 + 11) << 8) | 68);
  EXPECT_EQ(key("Kd Ah"), ((12u * 13 + 11) << 8) | 3);  // low card's suit on the board
  EXPECT_EQ(key("Ad Kh"), ((12u * 13 + 11) << 8) | 24);
  EXPECT_EQ(key("7h 7c"), ((5u * 13 + 5) << 8) | 32);  // pair: high card of lower suit
  EXPECT_EQ(key("7d 7h"), ((5u * 13 + 5) << 8) | 24);
  EXPECT_EQ(key("7h 7s"), (5u * 13 + 5) << 8);
}

TEST_F(DealTableTest, RootReachVectors) {
  const std::vector<double> range0 = ClassSymmetricRange(1), range1 = ClassSymmetricRange(2);
  DealTable table(Cards("Ac Kc 2d"), 0, Card("5h"), -1, false);
  SetHoles(table, range0.data(), range1.data());
  const BoardCombos& root = table.turns[0].combos;
  std::vector<double> vectors[4];
  const double t = BuildRootReachVectors(vectors, range0.data(), range1.data(), root);

  // Brute force over every pair of combos off the board.
  const CardMask board = table.turns[0].board;
  double expected = 0.0;
  std::vector<CardMask> hands;
  std::vector<int> index;
  for (int hi = 1; hi < 52; ++hi)
    for (int lo = 0; lo < hi; ++lo)
      if (!((CardBit(lo) | CardBit(hi)) & board)) {
        hands.push_back(CardBit(lo) | CardBit(hi));
        index.push_back(ComboIndex(lo, hi));
      }
  for (size_t i = 0; i < hands.size(); ++i)
    for (size_t j = 0; j < hands.size(); ++j)
      if (!(hands[i] & hands[j])) expected += range0[index[i]] * range1[index[j]];
  EXPECT_NEAR(t, expected, expected * 1e-12);
  ASSERT_EQ(vectors[0].size(), root.hands.size());
  for (size_t i = 0; i < root.hands.size(); ++i) {
    const int c = ComboIndex(Low(root.hands[i]), High(root.hands[i]));
    ASSERT_EQ(vectors[0][i], range0[c]);
    ASSERT_EQ(vectors[1][i], range1[c]);
    ASSERT_DOUBLE_EQ(vectors[2][i], range0[c] / t);
    ASSERT_DOUBLE_EQ(vectors[3][i], range1[c] / t);
  }

  // No compatible pair: OOP holds only AhAs, IP only hands with Ah or As.
  std::vector<double> oop(kComboCount, 0.0), ip(kComboCount, 0.0);
  oop[ComboIndex(Card("Ah"), Card("As"))] = 1.0;
  ip[ComboIndex(Card("Ah"), Card("Qd"))] = 1.0;
  ip[ComboIndex(Card("As"), Card("Jd"))] = 0.5;
  DealTable conflict(Cards("Ac Kc 2d"), 0, -1, -1, false);
  SetHoles(conflict, oop.data(), ip.data());
  EXPECT_EQ(BuildRootReachVectors(vectors, oop.data(), ip.data(), conflict.combos), 0.0);
  ASSERT_EQ(vectors[2].size(), 3u);
  for (int v = 2; v < 4; ++v)
    for (double w : vectors[v]) EXPECT_EQ(w, 0.0);
}

TEST_F(DealTableTest, BuildTime) {
  const std::vector<double> full = FullRange();
  for (bool isomorphism : {false, true}) {
    const auto start = std::chrono::steady_clock::now();
    DealTable table(Cards("Ac Kc 2d"), 0, -1, -1, isomorphism);
    SetHoles(table, full.data(), full.data());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t rivers = 0;
    for (const TurnRecord& turn : table.turns) rivers += turn.rivers.size();
    printf("[   info   ] full-range flop, isomorphism %d: %zu turn and %zu river records in %.3f s\n",
           isomorphism ? 1 : 0, table.turns.size(), rivers, seconds);
    EXPECT_LT(seconds, 5.0);
  }
}
