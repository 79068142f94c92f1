#include "game/isomorphism.h"

#include <cstring>

namespace {

constexpr CardMask kSuitField = 0x1FFF;

CardMask MaskOfCard(int card) { return card >= 0 ? CardBit(card) : 0; }

// Gives `suit` the next canonical number unless it already has one.
void Place(SuitPerm& perm, int suit, uint8_t& next) {
  if (perm[suit] == SuitPerm::kUnassigned) perm[suit] = next++;
}

}  // namespace

SuitPerm ComputeSuitPerm(CardMask flop, CardMask turn, CardMask river) {
  SuitPerm perm;
  int counts[4];
  int present = 0;
  for (int s = 0; s < 4; ++s) {
    perm[s] = SuitPerm::kUnassigned;
    counts[s] = CardCount((flop >> (13 * s)) & kSuitField);
    if (counts[s]) ++present;
  }
  uint8_t next = 0;
  if (present == 1 || present == 2) {
    // The suit with the most cards first (ties: lowest suit) ...
    int most = 0;
    for (int s = 1; s < 4; ++s)
      if (counts[s] > counts[most]) most = s;
    Place(perm, most, next);
    if (present == 2) {
      // ... then the other present suit, the one with the fewest cards.
      int fewest = -1;
      for (int s = 0; s < 4; ++s)
        if (counts[s] > 0 && s != most && (fewest < 0 || counts[s] < counts[fewest])) fewest = s;
      Place(perm, fewest, next);
    }
  } else {
    // The suits of the three lowest cards in card order: a rainbow flop keeps
    // its natural suit order. Any other mask (empty, four cards) still gets
    // a valid permutation.
    CardMask rest = flop;
    for (int i = 0; i < 3 && rest; ++i) {
      const int card = CardOfMask(rest);
      rest &= rest - 1;
      Place(perm, CardSuit(card), next);
    }
  }
  if (turn) Place(perm, CardSuit(CardOfMask(turn)), next);
  if (river) Place(perm, CardSuit(CardOfMask(river)), next);
  for (int s = 0; s < 4; ++s) Place(perm, s, next);
  return perm;
}

void CanonicalSuitOrder(SuitPerm& perm, CardMask& flop, CardMask& turn, CardMask& river) {
  perm = ComputeSuitPerm(flop, turn, river);
  flop = ApplySuitPerm(perm, flop);
  if (turn) turn = ApplySuitPerm(perm, turn);
  if (river) river = ApplySuitPerm(perm, river);
}

CardMask ApplySuitPerm(const SuitPerm& perm, CardMask mask) {
  CardMask result = 0;
  for (int s = 0; s < 4; ++s) result |= ((mask >> (13 * s)) & kSuitField) << (13 * perm[s]);
  return result;
}

int ApplySuitPermToCard(const SuitPerm& perm, int card) {
  if (card < 0) return card;
  return MakeCard(CardRank(card), perm[CardSuit(card)]);
}

SuitPerm InvertSuitPerm(const SuitPerm& perm) {
  SuitPerm inverse;
  for (int s = 0; s < 4; ++s) inverse[perm[s]] = static_cast<uint8_t>(s);
  return inverse;
}

SuitPerm SwapSuitPerm(int a, int b) {
  SuitPerm perm;
  perm[a] = static_cast<uint8_t>(b);
  perm[b] = static_cast<uint8_t>(a);
  return perm;
}

void BoardIsomorphism(CardMask flop, CardMask turn, CardMask river, double* output, const double* input, bool back) {
  const SuitPerm perm = ComputeSuitPerm(flop, turn, river);
  int mapped[kCardCount];
  for (int c = 0; c < kCardCount; ++c) mapped[c] = ApplySuitPermToCard(perm, c);
  // Work on a copy when the caller converts in place.
  double copy[kComboCount];
  if (output == input) {
    memcpy(copy, input, sizeof copy);
    input = copy;
  }
  for (int hi = 1; hi < kCardCount; ++hi)
    for (int lo = 0; lo < hi; ++lo) {
      const int i = ComboIndex(lo, hi);
      const int j = ComboIndex(mapped[lo], mapped[hi]);
      if (back)
        output[i] = input[j];
      else
        output[j] = input[i];
    }
}

void CanonicalRangeCopy(std::vector<double>& result, bool isomorphismOn, CardMask flopMask, const double* range,
                        int turnCard, int riverCard) {
  result.assign(kComboCount, 0.0);
  if (isomorphismOn)
    BoardIsomorphism(flopMask, MaskOfCard(turnCard), MaskOfCard(riverCard), result.data(), range, false);
  else
    memcpy(result.data(), range, kComboCount * sizeof(double));
}

void CopyComboVector(bool isomorphismOn, CardMask flopMask, double* output, const double* input, int turnCard,
                     int riverCard) {
  if (isomorphismOn)
    BoardIsomorphism(flopMask, MaskOfCard(turnCard), MaskOfCard(riverCard), output, input, true);
  else if (output != input)
    memcpy(output, input, kComboCount * sizeof(double));
}
