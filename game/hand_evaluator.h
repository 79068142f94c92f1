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

// Builds the lookup tables once; 1 when they are built, 0 when allocation fails.
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
