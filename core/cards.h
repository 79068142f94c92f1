// Cards, card masks, combo indexing and card text.
//
// A card is 13 * suit + rank (suits c d h s = 0..3, ranks 2..A = 0..12); -1 is
// "no card". A CardMask holds card c at bit c. A two-card hand lo < hi has the
// combo index hi * (hi - 1) / 2 + lo; every per-hand array is in that order.
#pragma once

#include <cstdint>
#include <string>

using CardMask = uint64_t;

constexpr int kCardCount = 52;
constexpr int kComboCount = 1326;
constexpr char kRankChars[] = "23456789TJQKA";
constexpr char kSuitChars[] = "cdhs";

inline int CardRank(int card) { return card % 13; }
inline int CardSuit(int card) { return card / 13; }
inline int MakeCard(int rank, int suit) { return 13 * suit + rank; }
inline CardMask CardBit(int card) { return CardMask(1) << card; }
inline int CardCount(CardMask mask) { return __builtin_popcountll(mask); }
// The lowest card of a mask, -1 for the empty mask.
inline int CardOfMask(CardMask mask) { return mask ? __builtin_ctzll(mask) : -1; }
inline int ComboIndex(int a, int b) {
  int lo = a < b ? a : b, hi = a < b ? b : a;
  return hi * (hi - 1) / 2 + lo;
}

// Two characters, rank then lower-case suit ("Td").
std::string CardText(int card);

// Parses a card list (case-insensitive, cards back to back or separated by
// blanks, trailing blanks allowed) into a mask. Any fault, a repeated card or
// a leading blank raises a runtime error with the text "ERROR: invalid card\n".
CardMask ParseCards(const std::string& text);
