#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "console_helpers.h"
#include "core/cards.h"
#include "core/cpu_info.h"
#include "game/hand_evaluator.h"
#include "results/hand_classifier.h"

namespace {

class HandClassifier : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(InitHandTables(), 1); }
};

// Card text to the classifier's numbering 51 - (4 * rank + suit).
int32_t ClassifierCard(const std::string& text) {
  const int card = CardOfMask(ParseCards(text));
  return 51 - (4 * CardRank(card) + CardSuit(card));
}

std::vector<int32_t> Board(const std::string& text) {
  std::vector<int32_t> board;
  std::istringstream words(text);
  for (std::string word; words >> word;) board.push_back(ClassifierCard(word));
  return board;
}

// Hand-order position of a two-card hand: cards numbered 4 * rank + suit.
int Position(const std::string& a, const std::string& b) {
  const int x = 51 - ClassifierCard(a), y = 51 - ClassifierCard(b);
  const int hi = std::max(x, y), lo = std::min(x, y);
  return hi * (hi - 1) / 2 + lo;
}

std::vector<int32_t> Made(const std::string& board) {
  const std::vector<int32_t> cards = Board(board);
  std::vector<int32_t> out(kClassifierHands, 0);
  ClassifyMadeHands(cards.data(), static_cast<int>(cards.size()), out.data());
  return out;
}

std::vector<int32_t> Draws(const std::string& board) {
  const std::vector<int32_t> cards = Board(board);
  std::vector<int32_t> out(kClassifierHands, 0);
  ClassifyDraws(cards.data(), static_cast<int>(cards.size()), out.data());
  return out;
}

int32_t MadeCode(const std::string& board, const std::string& a, const std::string& b) {
  return Made(board)[Position(a, b)] / 100;
}

int32_t DrawCode(const std::string& board, const std::string& a, const std::string& b) {
  return Draws(board)[Position(a, b)];
}

}  // namespace

TEST_F(HandClassifier, PairsAndHighCards) {
  EXPECT_EQ(MadeCode("As Kd 7c", "Ah", "Qs"), 7);   // top pair
  EXPECT_EQ(MadeCode("As Kd 7c", "Kh", "Qs"), 5);   // second pair
  EXPECT_EQ(MadeCode("As Kd 7c", "7h", "6h"), 4);   // third pair
  EXPECT_EQ(MadeCode("As Kd 7c", "Qh", "Qs"), 4);   // two board ranks above the pair
  EXPECT_EQ(MadeCode("As Kd 7c", "2h", "2s"), 3);   // low pair
  EXPECT_EQ(MadeCode("As Kd 7c", "Kh", "7h"), 10);  // two pair
  EXPECT_EQ(MadeCode("Kd 7c 2s", "Qh", "Qs"), 6);   // underpair
  EXPECT_EQ(MadeCode("Kd 7c 2s", "Ah", "As"), 9);   // overpair
  EXPECT_EQ(MadeCode("9c 7d 2s", "Ah", "3c"), 2);   // ace high
  EXPECT_EQ(MadeCode("9c 7d 2s", "Kh", "3c"), 1);   // king high
  EXPECT_EQ(MadeCode("9c 7d 2s", "Qh", "3c"), 0);
  EXPECT_EQ(MadeCode("9c 7d 2s", "8h", "3c"), 0);
  // Two pair with the board's pair is judged by the hand's own pair.
  EXPECT_EQ(MadeCode("5s 5d 9c", "Ah", "9h"), 7);
  // A pair that only the board makes is judged by high cards.
  EXPECT_EQ(MadeCode("5s 5d 9c", "Ah", "Kh"), 2);
}

TEST_F(HandClassifier, StrongerCategories) {
  EXPECT_EQ(MadeCode("As Kd 7c", "7h", "7s"), 12);      // set
  EXPECT_EQ(MadeCode("7c 7d 2s", "7h", "As"), 11);      // trips
  EXPECT_EQ(MadeCode("9c 8d 7s", "Th", "6h"), 13);      // straight
  EXPECT_EQ(MadeCode("2h 5h 9h", "Ah", "Kh"), 14);      // flush
  EXPECT_EQ(MadeCode("Kc Kd 7s", "Kh", "7h"), 15);      // full house
  EXPECT_EQ(MadeCode("9c 9d 2s", "9h", "9s"), 17);      // quads
  EXPECT_EQ(MadeCode("9h 8h 7h", "Th", "6h"), 18);      // straight flush
  // Full house on a full-house board: only an improvement counts.
  EXPECT_EQ(MadeCode("7c 7d 7s Kc Kd", "Kh", "2c"), 16);  // kings full beat sevens full
  EXPECT_EQ(MadeCode("Kc Kd Ks 7c 7d", "Ah", "Ad"), 15);  // better pair under the same trips
  EXPECT_EQ(MadeCode("Kc Kd Ks 7c 7d", "7h", "2c"), 0);   // the board's full house
  EXPECT_EQ(MadeCode("Kc Kd Ks 7c 7d", "Kh", "2c"), 17);
  // Board quads: the kicker decides as a high card.
  EXPECT_EQ(MadeCode("9c 9d 9h 9s 2c", "Ah", "3c"), 2);
  EXPECT_EQ(MadeCode("9c 9d 9h 9s 2c", "3h", "4c"), 0);
  // A board flush or board straight that the hand cannot beat.
  EXPECT_EQ(MadeCode("2h 5h 8h Jh Kh", "Ah", "3c"), 0);
  EXPECT_EQ(MadeCode("5c 6d 7h 8s 9c", "Ah", "2d"), 0);
  EXPECT_EQ(MadeCode("5c 6d 7h 8s 9c", "Tc", "2d"), 13);
  EXPECT_EQ(MadeCode("9h 8h 7h 6h 5h", "Th", "2c"), 18);
  EXPECT_EQ(MadeCode("9h 8h 7h 6h 5h", "2c", "3d"), 0);
}

TEST_F(HandClassifier, Draws) {
  EXPECT_EQ(DrawCode("7c 6d 2s", "9h", "8h"), 2);  // eight straight outs
  EXPECT_EQ(DrawCode("7c 6d 2s", "9h", "5h"), 1);  // four straight outs
  EXPECT_EQ(DrawCode("7h 6h 2s", "Ah", "Kh"), 3);  // nine flush outs
  EXPECT_EQ(DrawCode("7h 6h 2s", "9h", "8h"), 4);  // both
  EXPECT_EQ(DrawCode("7c 6d 2s", "Ah", "Kd"), 0);
  EXPECT_EQ(DrawCode("7c 6d 2s Kh", "9h", "8h"), 2);
  // On a turn the river board's own straight does not count: only the nines
  // give T J a better straight than the board's.
  EXPECT_EQ(DrawCode("5c 6d 7h 8s", "Tc", "Jd"), 1);
  EXPECT_EQ(DrawCode("5c 6d 7h 8s", "Ac", "Kd"), 0);
  // A made straight has no straight draw.
  EXPECT_EQ(DrawCode("5c 6d 7h 8s", "9c", "Kd"), 0);
}

TEST_F(HandClassifier, HandsMeetingTheBoard) {
  const std::vector<int32_t> made = Made("As Kd 7c");
  const std::vector<int32_t> draws = Draws("As Kd 7c");
  EXPECT_EQ(std::count(made.begin(), made.end(), -1), 3 * 51 - 3);
  EXPECT_EQ(std::count(draws.begin(), draws.end(), -1), 3 * 51 - 3);
  EXPECT_EQ(made[Position("As", "2c")], -1);
  EXPECT_EQ(draws[Position("Kd", "Qd")], -1);

  // River: dead hands are -1 among the made hands, and there are no draws.
  const std::vector<int32_t> riverMade = Made("As Kd 7c 4h 2s");
  std::vector<int32_t> riverDraws(kClassifierHands, 0);
  const std::vector<int32_t> board = Board("As Kd 7c 4h 2s");
  ClassifyDraws(board.data(), 5, riverDraws.data());
  EXPECT_EQ(std::count(riverMade.begin(), riverMade.end(), -1), 5 * 51 - 10);
  EXPECT_EQ(std::count(riverDraws.begin(), riverDraws.end(), 0), kClassifierHands);
}

// Suits carry no meaning: renaming them on board and hands, or reordering the
// board, leaves every category where the renamed hand is.
TEST_F(HandClassifier, SuitRenamingAndBoardOrderChangeNothing) {
  std::mt19937 rng(77);
  std::vector<int32_t> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  for (int trial = 0; trial < 12; ++trial) {
    std::shuffle(deck.begin(), deck.end(), rng);
    const int n = 3 + trial % 3;
    int perm[4] = {0, 1, 2, 3};
    std::shuffle(perm, perm + 4, rng);
    auto rename = [&](int32_t v) { return (v / 4) * 4 + perm[v % 4]; };
    std::vector<int32_t> board(deck.begin(), deck.begin() + n), renamed(n);
    for (int i = 0; i < n; ++i) renamed[i] = rename(board[n - 1 - i]);
    std::vector<int32_t> made(kClassifierHands), draws(kClassifierHands, 0);
    std::vector<int32_t> made2(kClassifierHands), draws2(kClassifierHands, 0);
    ClassifyMadeHands(board.data(), n, made.data());
    ClassifyDraws(board.data(), n, draws.data());
    ClassifyMadeHands(renamed.data(), n, made2.data());
    ClassifyDraws(renamed.data(), n, draws2.data());
    for (int i = 0; i < kClassifierHands; ++i) {
      const int32_t a = rename(kClassifierHandCards.first[i]), b = rename(kClassifierHandCards.second[i]);
      const int hi = 51 - std::min(a, b), lo = 51 - std::max(a, b);
      const int j = hi * (hi - 1) / 2 + lo;
      ASSERT_EQ(made[i], made2[j]) << "trial " << trial << " hand " << i;
      ASSERT_EQ(draws[i], draws2[j]) << "trial " << trial << " hand " << i;
    }
  }
}

TEST_F(HandClassifier, KernelVariantsAgree) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2/FMA on this processor";
  std::mt19937 rng(5);
  std::vector<int32_t> deck(52);
  for (int i = 0; i < 52; ++i) deck[i] = i;
  for (int trial = 0; trial < 9; ++trial) {
    std::shuffle(deck.begin(), deck.end(), rng);
    const int n = 3 + trial % 3;
    std::vector<int32_t> a(kClassifierHands, 0), b(kClassifierHands, 0);
    EXPECT_EQ(ClassifyMadeHandsAvx2(deck.data(), n, a.data()), 0);
    EXPECT_EQ(ClassifyMadeHandsAvx(deck.data(), n, b.data()), 0);
    EXPECT_EQ(a, b);
    ClassifyDrawsAvx2(deck.data(), n, a.data());
    ClassifyDrawsAvx(deck.data(), n, b.data());
    EXPECT_EQ(a, b);
  }
}

TEST_F(HandClassifier, ConsoleCommands) {
  const std::string names = RunCommand("show_category_names");
  EXPECT_EQ(names.substr(0, 19), "nothing king_high a");
  EXPECT_NE(names.find("\nno_draw 4out_straight_draw 8out_straight_draw flush_draw combo_draw \nEND\n"),
            std::string::npos);

  // The board may be split over words in any way and in any card order.
  const std::string reply = RunCommand("show_categories As Kd 7c");
  EXPECT_EQ(RunCommand("show_categories \"7c As\" kd"), reply);
  std::istringstream lines(reply);
  std::string madeLine, drawLine, end;
  std::getline(lines, madeLine);
  std::getline(lines, drawLine);
  std::getline(lines, end);
  EXPECT_EQ(end, "END");
  std::vector<int> made, draws;
  std::istringstream madeWords(madeLine), drawWords(drawLine);
  for (int v; madeWords >> v;) made.push_back(v);
  for (int v; drawWords >> v;) draws.push_back(v);
  ASSERT_EQ(made.size(), 1326u);
  ASSERT_EQ(draws.size(), 1326u);
  EXPECT_EQ(made[Position("Ah", "Qs")], 7);
  EXPECT_EQ(made[Position("As", "Qs")], 0);  // meets the board
  EXPECT_EQ(draws[Position("As", "Qs")], -1);

  EXPECT_EQ(RunCommand("show_categories As Kd"), "ERROR: show_categories invalid board\n");
  EXPECT_EQ(RunCommand("show_categories As Kd 7c 2h 3h 4h"), "ERROR: show_categories invalid board\n");
  EXPECT_EQ(RunCommand("show_categories"), "ERROR: show_categories invalid board\n");
  EXPECT_EQ(RunCommand("show_categories As Kd As"), "ERROR: invalid card\n");
  EXPECT_EQ(RunCommand("show_categories As Kd 1c"), "ERROR: invalid card\n");
}
