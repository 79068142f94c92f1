#include "console/category_commands.h"

#include "core/cards.h"
#include "results/hand_classifier.h"

void CmdShowCategoryNames(const TokenVector&) { PrintCategoryNames(); }

void CmdShowCategories(const TokenVector& words) {
  // The board may come as one word per card, as one quoted word or anything
  // in between: the words are joined back into one card list.
  std::string text;
  for (size_t i = 1; i < words.size(); ++i) {
    if (i > 1) text += ' ';
    text += words[i];
  }
  CardMask mask = ParseCards(text);
  const int count = CardCount(mask);
  if (count < 3 || count > 5) ThrowCommandError("invalid board");

  int32_t board[5];
  int n = 0;
  for (; mask; mask &= mask - 1) {  // ascending card number
    const int card = CardOfMask(mask);
    board[n++] = 51 - (4 * CardRank(card) + CardSuit(card));
  }
  PrintCategories(count, board);
}
