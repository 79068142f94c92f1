#include "core/hand_order.h"


std::string HandOrderString;
CardMask HandMaskByOrder[kComboCount];
uint16_t ComboIndexByOrder[kComboCount];
uint16_t OrderByComboIndex[kComboCount];
std::vector<uint16_t> HandClassLists[169];

namespace {
// Entry k is the pair (a, b), a > b, k = a * (a - 1) / 2 + b, with cards
// numbered 4 * rank + suit, written card a first.
std::string MakeHandOrderString() {
  std::string text;
  text.reserve(5 * kComboCount);
  for (int a = 1; a < kCardCount; ++a) {
    for (int b = 0; b < a; ++b) {
      if (!text.empty()) text += ' ';
      text += kRankChars[a / 4];
      text += kSuitChars[a % 4];
      text += kRankChars[b / 4];
      text += kSuitChars[b % 4];
    }
  }
  return text;
}
}  // namespace

void BuildHandOrderTables() {
  HandOrderString = MakeHandOrderString();
  for (auto& list : HandClassLists) list.clear();
  for (int k = 0; k < kComboCount; ++k) {
    CardMask mask = ParseCards(HandOrderString.substr(5 * k, 4));
    HandMaskByOrder[k] = mask;
    int lo = __builtin_ctzll(mask);
    int hi = 63 - __builtin_clzll(mask);
    int combo = lo + hi * (hi - 1) / 2;
    ComboIndexByOrder[k] = static_cast<uint16_t>(combo);
    OrderByComboIndex[combo] = static_cast<uint16_t>(k);
    int r1 = CardRank(lo), s1 = CardSuit(lo), r2 = CardRank(hi), s2 = CardSuit(hi);
    int rmin = r1 < r2 ? r1 : r2, rmax = r1 < r2 ? r2 : r1;
    int cls = (s1 == s2) ? 13 * rmin + rmax : 13 * rmax + rmin;
    HandClassLists[cls].push_back(static_cast<uint16_t>(combo));
  }
}

std::vector<double> ReorderHandValues(const std::vector<double>& values, const uint16_t* table) {
  std::vector<double> out(values.size());
  for (size_t i = 0; i < values.size(); ++i) out[i] = values[table[i]];
  return out;
}

