// Suit isomorphism: boards that differ only by a renaming of suits lead to
// the same game. With isomorphism on, a tree is solved on the canonical board
// and per-hand arrays are carried between the user's suits and the canonical
// ones with one suit permutation.
#pragma once

#include <cstdint>
#include <vector>

#include "core/cards.h"

// perm[s] = the canonical suit of user suit s (0..3 = c, d, h, s).
struct SuitPerm {
  static constexpr uint8_t kUnassigned = 255;
  uint8_t perm[4] = {0, 1, 2, 3};

  uint8_t& operator[](int suit) { return perm[suit]; }
  uint8_t operator[](int suit) const { return perm[suit]; }
  bool operator==(const SuitPerm& other) const {
    return perm[0] == other.perm[0] && perm[1] == other.perm[1] && perm[2] == other.perm[2] && perm[3] == other.perm[3];
  }
};

// The permutation that carries a board into canonical suits: the flop's suits
// take the lowest numbers (a one-suit flop lies in suit 0; of a two-suit flop
// the two-card suit becomes 0 and the other 1; a rainbow flop keeps the order
// of its cards), then the turn card's suit, then the river card's suit, then
// the suits still unplaced in suit order. The turn or river mask may be empty.
SuitPerm ComputeSuitPerm(CardMask flop, CardMask turn, CardMask river);
// Computes the permutation and rewrites the non-empty masks into canonical
// suits.
void CanonicalSuitOrder(SuitPerm& perm, CardMask& flop, CardMask& turn, CardMask& river);

// The field of suit s moves to the field of suit perm[s]; ranks stay.
CardMask ApplySuitPerm(const SuitPerm& perm, CardMask mask);
// Rank unchanged, suit s becomes perm[s]; -1 stays -1.
int ApplySuitPermToCard(const SuitPerm& perm, int card);
SuitPerm InvertSuitPerm(const SuitPerm& perm);
// The permutation that exchanges suits a and b.
SuitPerm SwapSuitPerm(int a, int b);

// Moves 1326 per-hand values between the user's suits and the canonical suits
// of the board given in user suits. back = false: user to canonical
// (output[perm(i)] = input[i]); back = true: canonical to user
// (output[i] = input[perm(i)]). Output and input may be the same array.
void BoardIsomorphism(CardMask flop, CardMask turn, CardMask river, double* output, const double* input, bool back);

// A range in canonical suits when isomorphism is on, else an unchanged copy.
// The turn and river cards are the user's (-1 for none); with the flop they
// fix the same permutation that carries the tree's board.
void CanonicalRangeCopy(std::vector<double>& result, bool isomorphismOn, CardMask flopMask, const double* range,
                        int turnCard, int riverCard);

// The opposite direction: 1326 values of the tree (canonical suits) carried
// back into the user's suits for the user's flop, turn and river cards; a
// plain copy when isomorphism is off. Output and input may be the same array.
void CopyComboVector(bool isomorphismOn, CardMask flopMask, double* output, const double* input, int turnCard,
                     int riverCard);
