#include "core/cards.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

std::string CardText(int card) {
  std::string text(2, ' ');
  text[0] = kRankChars[CardRank(card)];
  text[1] = kSuitChars[CardSuit(card)];
  return text;
}

namespace {
[[noreturn]] void InvalidCard() { throw std::runtime_error("ERROR: invalid card\n"); }
}  // namespace

CardMask ParseCards(const std::string& text) {
  // No card list a user can type comes near this; longer text is refused
  // rather than read past a fixed buffer.
  if (text.size() > 255) InvalidCard();
  CardMask mask = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    if (pos + 1 >= text.size()) InvalidCard();
    static const char kRanks[] = "23456789TJQKA";
    static const char kSuits[] = "CDHS";
    const char rc = static_cast<char>(toupper(static_cast<unsigned char>(text[pos])));
    const char sc = static_cast<char>(toupper(static_cast<unsigned char>(text[pos + 1])));
    const char* r = rc ? strchr(kRanks, rc) : nullptr;
    const char* s = sc ? strchr(kSuits, sc) : nullptr;
    if (!r || !s) InvalidCard();
    int card = MakeCard(static_cast<int>(r - kRanks), static_cast<int>(s - kSuits));
    if (mask & CardBit(card)) InvalidCard();
    mask |= CardBit(card);
    pos += 2;
    while (pos < text.size() && text[pos] == ' ') ++pos;
  }
  return mask;
}
