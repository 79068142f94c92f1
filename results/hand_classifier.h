// Hand classifier: the made-hand category and the draw category of each of
// the 1326 hands on a board of three to five cards.
//
// Cards here use the classifier's numbering: c = 51 - (4 * rank + suit), so
// the ace of spades is 0 and the deuce of clubs 51. Results are in hand order
// (the order of the hand-order string).
//
// Plain declarations only: the kernel variants include this header.
#pragma once

#include <cstdint>

constexpr int kClassifierHands = 1326;
constexpr int kMadeHandCategoryCount = 19;
constexpr int kDrawCategoryCount = 5;

// Hand-order position -> the hand's two cards in classifier numbering; the
// first card is the higher card of the hand order's pair (smaller number).
struct ClassifierHandCards {
  int32_t first[kClassifierHands];
  int32_t second[kClassifierHands];
};
extern const ClassifierHandCards kClassifierHandCards;

// The reply of show_category_names: the made-hand names, the draw names, END.
void PrintCategoryNames();
// The reply of show_categories: made-hand codes (value / 100) and draw codes
// of every hand, one line each, then END. The board must hold 3 to 5
// distinct cards 0..51.
void PrintCategories(int boardCount, const int32_t* board);

// Made-hand value (category code * 100) of every hand; -1 for a hand that
// meets the board. Ends the process on an impossible hand/board combination.
void ClassifyMadeHands(const int32_t* board, int boardCount, int32_t* out);
// Draw code of every hand (0 none, 1 four straight outs, 2 eight straight
// outs, 3 flush draw, 4 both); -1 for a hand that meets the board. On a
// five-card board every entry is left unchanged (callers pass zeros).
void ClassifyDraws(const int32_t* board, int boardCount, int32_t* out);

// --- Kernel variants (AVX2/FMA and AVX baseline, same results) -----------
// The made-hand kernels return 0, or 1 when a hand of three of a kind met a
// board of two pair (which the evaluator can never produce).
int ClassifyMadeHandsAvx2(const int32_t* board, int boardCount, int32_t* out);
int ClassifyMadeHandsAvx(const int32_t* board, int boardCount, int32_t* out);
void ClassifyDrawsAvx2(const int32_t* board, int boardCount, int32_t* out);
void ClassifyDrawsAvx(const int32_t* board, int boardCount, int32_t* out);
