// Hand evaluator: a 32-bit value for any 3 to 7 cards such that a larger value
// is a better poker hand and equal values are equal hands.
//
// Value layout: bits 24-27 the category (0 high card .. 8 straight flush),
// then up to five 4-bit ranks from bits 16-19 downward.
#pragma once

#include <cstdint>

// One 16-bit field per suit: card c (13 * suit + rank) is bit rank + 16 * suit.
using EvaluatorMask = uint64_t;
using HandValue = uint32_t;

inline EvaluatorMask EvaluatorBit(int card) { return EvaluatorMask(1) << ((card % 13) + 16 * (card / 13)); }

// Hand categories, bits 24-27 of a HandValue.
enum HandCategory : uint32_t {
  kHighCard = 0,
  kOnePair = 1,
  kTwoPair = 2,
  kThreeOfAKind = 3,
  kStraight = 4,
  kFlush = 5,
  kFullHouse = 6,
  kFourOfAKind = 7,
  kStraightFlush = 8,
};
inline uint32_t HandValueCategory(HandValue value) { return (value >> 24) & 0xF; }

// The lookup tables are indexed by a 13-bit rank mask; seven distinct ranks
// reach at most 0x1FC0 (ace down to eight), so 0x1FC0 + 1 entries suffice.
constexpr int kHandTableSize = 0x1FC0 + 1;

// Builds the lookup tables once; 1 when they are built, 0 when allocation fails.
// Safe to call from several threads; evaluation needs no lock afterwards.
int InitHandTables();

// Evaluates n distinct cards (card numbers 13 * suit + rank); 0 for n outside 3..7.
HandValue EvaluateHand(const uint8_t* cards, int n);
HandValue EvaluateHand3(EvaluatorMask mask);
HandValue EvaluateHand4(EvaluatorMask mask);
HandValue EvaluateHand5(EvaluatorMask mask);
HandValue EvaluateHand6(EvaluatorMask mask);
HandValue EvaluateHand7(EvaluatorMask mask);

// Rank of a card in the hand classifier's numbering (aces first, four per rank).
inline int ClassifierCardRank(int v) { return 12 - v / 4; }

// --- Auxiliary operations --------------------------------------------------

// Highest set rank of a 13-bit rank mask (0 for the empty mask).
int TopRankOf(uint32_t rankMask);
// Number of ranks in a 13-bit rank mask.
int RankCountOf(uint32_t rankMask);
// The lowest card of the first non-empty suit field (clubs, diamonds, hearts,
// spades): rank counted 2 (deuce) .. 14 (ace) and suit 0..3. Returns the suit;
// for the empty mask rank is 0 and the result -1.
int LowestCardOfMask(EvaluatorMask mask, int& rank, int& suit);
// Suit of a card in the classifier's numbering.
inline int ClassifierCardSuit(int v) { return v % 4; }
inline int HigherClassifierRank(int v, int w) {
  const int a = ClassifierCardRank(v), b = ClassifierCardRank(w);
  return a > b ? a : b;
}
inline bool SameClassifierRank(int v, int w) { return ClassifierCardRank(v) == ClassifierCardRank(w); }
// Whether any two of the n cards (classifier numbering) share a rank.
bool ClassifierHasPair(const int32_t* cards, int n);
// Prints "HAND: COUNT" for every hand-order position with a positive count,
// separated by ", ", then a line end, straight to standard output.
void PrintHandCounts(const int* counts);
