#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "core/cards.h"
#include "core/hand_order.h"

namespace {
bool IsInvalidCard(const std::string& text) {
  try {
    ParseCards(text);
  } catch (const std::runtime_error& e) {
    return std::string(e.what()) == "ERROR: invalid card\n";
  }
  return false;
}
}  // namespace

TEST(ParseCards, SingleCardsAndCase) {
  EXPECT_EQ(ParseCards(""), 0u);
  EXPECT_EQ(ParseCards("As"), CardBit(51));
  EXPECT_EQ(ParseCards("2c"), CardBit(0));
  EXPECT_EQ(ParseCards("tD"), CardBit(21));
  EXPECT_EQ(ParseCards("AH"), ParseCards("ah"));
}

TEST(ParseCards, ListsWithAndWithoutBlanks) {
  EXPECT_EQ(ParseCards("Ks Qs Js"), ParseCards("KsQsJs"));
  EXPECT_EQ(ParseCards("Ks   Qs  "), CardBit(MakeCard(11, 3)) | CardBit(MakeCard(10, 3)));
  EXPECT_EQ(CardCount(ParseCards("2c3d4h5s")), 4);
}

TEST(ParseCards, Faults) {
  EXPECT_TRUE(IsInvalidCard("AsAs"));
  EXPECT_TRUE(IsInvalidCard("As as"));
  EXPECT_TRUE(IsInvalidCard("Ax"));
  EXPECT_TRUE(IsInvalidCard("1c"));
  EXPECT_TRUE(IsInvalidCard("A"));
  EXPECT_TRUE(IsInvalidCard(" As"));
  EXPECT_TRUE(IsInvalidCard("As\tKd"));
  EXPECT_TRUE(IsInvalidCard(std::string(300, ' ') + "As"));
  EXPECT_TRUE(IsInvalidCard(std::string("A\0", 2)));
}

TEST(Cards, ComboIndexAndText) {
  EXPECT_EQ(ComboIndex(0, 1), 0);
  EXPECT_EQ(ComboIndex(51, 50), 1325);
  EXPECT_EQ(ComboIndex(12, 25), 312);
  EXPECT_EQ(CardText(MakeCard(8, 1)), "Td");
  EXPECT_EQ(CardOfMask(0), -1);
  EXPECT_EQ(CardOfMask(CardBit(7) | CardBit(30)), 7);
}

TEST(HandOrder, StringShape) {
  ASSERT_EQ(HandOrderString.size(), 6629u);
  EXPECT_EQ(HandOrderString.substr(0, 39), "2d2c 2h2c 2h2d 2s2c 2s2d 2s2h 3c2c 3c2d");
  EXPECT_EQ(HandOrderString.substr(6629 - 19), "AsKs AsAc AsAd AsAh");
}

TEST(HandOrder, TablesAreInversePermutations) {
  EXPECT_EQ(ComboIndexByOrder[0], 78);  // 2d2c
  EXPECT_EQ(ComboIndexByOrder[1325], 1313);  // AsAh
  std::set<int> seen;
  for (int k = 0; k < kComboCount; ++k) {
    seen.insert(ComboIndexByOrder[k]);
    EXPECT_EQ(OrderByComboIndex[ComboIndexByOrder[k]], k);
    EXPECT_EQ(CardCount(HandMaskByOrder[k]), 2);
    const int lo = CardOfMask(HandMaskByOrder[k]);
    const int hi = 63 - __builtin_clzll(HandMaskByOrder[k]);
    EXPECT_EQ(ComboIndex(lo, hi), ComboIndexByOrder[k]);
  }
  EXPECT_EQ(seen.size(), 1326u);
}

TEST(HandOrder, ReorderRoundTrip) {
  std::vector<double> handOrder(kComboCount);
  for (int i = 0; i < kComboCount; ++i) handOrder[i] = i * 0.5;
  const std::vector<double> combos = ReorderHandValues(handOrder, OrderByComboIndex);
  EXPECT_EQ(combos[78], 0.0);  // position 0 is combo 78
  EXPECT_EQ(ReorderHandValues(combos, ComboIndexByOrder), handOrder);
}

TEST(HandOrder, HandClasses) {
  const auto classOf = [](int a, int b) {
    for (int c = 0; c < 169; ++c)
      for (uint16_t combo : HandClassLists[c])
        if (combo == ComboIndex(a, b)) return c;
    return -1;
  };
  const int Ah = MakeCard(12, 2), Kh = MakeCard(11, 2), Kd = MakeCard(11, 1), Ad = MakeCard(12, 1);
  EXPECT_EQ(classOf(Ah, Kh), 155);
  EXPECT_EQ(classOf(Ah, Kd), 167);
  EXPECT_EQ(classOf(Ah, Ad), 168);
  EXPECT_EQ(classOf(MakeCard(0, 0), MakeCard(0, 3)), 0);
  int total = 0;
  for (int c = 0; c < 169; ++c) {
    const int row = c / 13, col = c % 13;
    const size_t expected = row == col ? 6 : (row < col ? 4 : 12);
    EXPECT_EQ(HandClassLists[c].size(), expected) << "class " << c;
    for (size_t i = 1; i < HandClassLists[c].size(); ++i)
      EXPECT_LT(OrderByComboIndex[HandClassLists[c][i - 1]], OrderByComboIndex[HandClassLists[c][i]]);
    total += static_cast<int>(HandClassLists[c].size());
  }
  EXPECT_EQ(total, 1326);
}
