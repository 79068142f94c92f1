// Suit permutations, canonical suit order and the transfer of per-hand arrays
// between the user's and the canonical suits.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "core/cards.h"
#include "game/isomorphism.h"

namespace {

CardMask Cards(const char* text) { return ParseCards(text); }
int Card(const char* text) { return CardOfMask(ParseCards(text)); }

int SuitsPresent(CardMask mask) {
  int n = 0;
  for (int s = 0; s < 4; ++s) n += ((mask >> (13 * s)) & 0x1FFF) != 0;
  return n;
}

// Suit permutation applied card by card, independent of the field shifts.
CardMask PermuteCards(const uint8_t* perm, CardMask mask) {
  CardMask out = 0;
  for (int c = 0; c < 52; ++c)
    if (mask & CardBit(c)) out |= CardBit(MakeCard(CardRank(c), perm[CardSuit(c)]));
  return out;
}

std::vector<double> RandomRange(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> range(kComboCount);
  for (double& w : range) w = u(rng);
  return range;
}

}  // namespace

// The permutation as the canonical suit of c, d, h, s, and the canonical
// masks of the board.
std::string Canonical(const char* flop, const char* turn = "", const char* river = "") {
  SuitPerm perm;
  CardMask f = Cards(flop), t = Cards(turn), r = Cards(river);
  CanonicalSuitOrder(perm, f, t, r);
  std::string text;
  for (int s = 0; s < 4; ++s) text += static_cast<char>('0' + perm[s]);
  for (CardMask mask : {f, t, r})
    for (int c = 0; c < 52; ++c)
      if (mask & CardBit(c)) text += " " + CardText(c);
  return text;
}

TEST(SuitIsomorphism, ExamplePermutations) {
  EXPECT_EQ(Canonical("Ah Kh 2c"), "1203 Kc Ac 2d");
  EXPECT_EQ(Canonical("Ah Kh 2c", "5s"), "1302 Kc Ac 2d 5h");
  EXPECT_EQ(Canonical("7s 5s 2s"), "1230 2c 5c 7c");
  EXPECT_EQ(Canonical("Kd 8h 3s"), "3012 Kc 8d 3h");
  // The river's suit is placed after the turn's.
  EXPECT_EQ(Canonical("Ac Kc Qc", "2s", "3h"), "0321 Qc Kc Ac 2d 3h");
}

TEST(SuitIsomorphism, EveryFlopGivesACanonicalBoard) {
  std::vector<std::array<uint8_t, 4>> suitOrders;
  for (uint8_t a = 0; a < 4; ++a)
    for (uint8_t b = 0; b < 4; ++b)
      for (uint8_t c = 0; c < 4; ++c)
        if (a != b && a != c && b != c) suitOrders.push_back({a, b, c, static_cast<uint8_t>(6 - a - b - c)});
  int checked = 0;
  for (int a = 0; a < 52; ++a)
    for (int b = a + 1; b < 52; ++b)
      for (int c = b + 1; c < 52; ++c) {
        const CardMask user = CardBit(a) | CardBit(b) | CardBit(c);
        const SuitPerm perm = ComputeSuitPerm(user, 0, 0);
        // A bijection of the suits that keeps ranks.
        bool seen[4] = {false, false, false, false};
        for (int s = 0; s < 4; ++s) seen[perm[s]] = true;
        ASSERT_TRUE(seen[0] && seen[1] && seen[2] && seen[3]);
        const CardMask canonical = ApplySuitPerm(perm, user);
        ASSERT_EQ(canonical, PermuteCards(perm.perm, user));
        // The present suits are 0..n-1.
        const int n = SuitsPresent(user);
        ASSERT_EQ(SuitsPresent(canonical), n);
        ASSERT_EQ(canonical >> (13 * n), 0u);
        // One- and two-suit flops have one canonical form however the user
        // names the suits; spot-check every relabelling of some of them.
        if (n < 3 && (a + b + c) % 17 == 0) {
          for (const auto& order : suitOrders) {
            const CardMask renamed = PermuteCards(order.data(), user);
            ASSERT_EQ(ApplySuitPerm(ComputeSuitPerm(renamed, 0, 0), renamed), canonical);
          }
          ++checked;
        }
      }
  EXPECT_GT(checked, 50);
}

TEST(SuitIsomorphism, CardsMasksAndInverses) {
  const SuitPerm perm = ComputeSuitPerm(Cards("Ah Kh 2c"), Cards("5s"), 0);
  const SuitPerm inverse = InvertSuitPerm(perm);
  for (int c = 0; c < 52; ++c) {
    EXPECT_EQ(ApplySuitPermToCard(inverse, ApplySuitPermToCard(perm, c)), c);
    EXPECT_EQ(ApplySuitPerm(perm, CardBit(c)), CardBit(ApplySuitPermToCard(perm, c)));
  }
  EXPECT_EQ(ApplySuitPermToCard(perm, -1), -1);
  EXPECT_EQ(ApplySuitPerm(SwapSuitPerm(1, 3), Cards("Ad Kc 2s")), Cards("As Kc 2d"));
  EXPECT_EQ(SwapSuitPerm(2, 2), SuitPerm());
}

TEST(SuitIsomorphism, BoardIsomorphismMovesValuesWithTheirHands) {
  const CardMask flop = Cards("Ah Kh 2c"), turn = Cards("5s");
  std::vector<double> in(kComboCount, 0.0), out(kComboCount, -1.0);
  in[ComboIndex(Card("Ah"), Card("As"))] = 3.0;
  in[ComboIndex(Card("2d"), Card("3c"))] = 4.0;
  BoardIsomorphism(flop, turn, 0, out.data(), in.data(), false);
  // Hearts to clubs, clubs to diamonds, spades to hearts, diamonds to spades.
  EXPECT_EQ(out[ComboIndex(Card("Ac"), Card("Ah"))], 3.0);
  EXPECT_EQ(out[ComboIndex(Card("2s"), Card("3d"))], 4.0);
  double total = 0.0;
  for (double v : out) total += v;
  EXPECT_EQ(total, 7.0);

  // Forward then back gives the input, also in place.
  const std::vector<double> range = RandomRange(7);
  std::vector<double> canonical(kComboCount), back(kComboCount);
  BoardIsomorphism(Cards("Kd 8h 3s"), Cards("Qd"), Cards("4c"), canonical.data(), range.data(), false);
  BoardIsomorphism(Cards("Kd 8h 3s"), Cards("Qd"), Cards("4c"), back.data(), canonical.data(), true);
  EXPECT_EQ(back, range);
  std::vector<double> inPlace = range;
  BoardIsomorphism(flop, turn, 0, inPlace.data(), inPlace.data(), false);
  BoardIsomorphism(flop, turn, 0, inPlace.data(), inPlace.data(), true);
  EXPECT_EQ(inPlace, range);

  // The identity permutation copies.
  BoardIsomorphism(Cards("Ac Kc 2d"), 0, 0, out.data(), range.data(), false);
  EXPECT_EQ(out, range);
}

TEST(SuitIsomorphism, RangeCopiesBothWays) {
  const std::vector<double> range = RandomRange(11);
  const CardMask flop = Cards("Ah Kh 2c");
  const int turn = Card("5s");
  std::vector<double> canonical;
  CanonicalRangeCopy(canonical, false, flop, range.data(), turn, -1);
  EXPECT_EQ(canonical, range);

  CanonicalRangeCopy(canonical, true, flop, range.data(), turn, -1);
  // Each hand's weight lies at the hand carried by the board's permutation.
  SuitPerm perm;
  CardMask f = flop, t = CardBit(turn), r = 0;
  CanonicalSuitOrder(perm, f, t, r);
  for (int hi = 1; hi < 52; ++hi)
    for (int lo = 0; lo < hi; ++lo) {
      const CardMask moved = PermuteCards(perm.perm, CardBit(lo) | CardBit(hi));
      const int mlo = CardOfMask(moved), mhi = 63 - __builtin_clzll(moved);
      ASSERT_EQ(canonical[ComboIndex(mlo, mhi)], range[ComboIndex(lo, hi)]);
    }

  std::vector<double> user(kComboCount);
  CopyComboVector(true, flop, user.data(), canonical.data(), turn, -1);
  EXPECT_EQ(user, range);
  CopyComboVector(false, flop, user.data(), canonical.data(), turn, -1);
  EXPECT_EQ(user, canonical);
}
