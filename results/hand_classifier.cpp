#include "results/hand_classifier.h"

#include <cstdio>
#include <string>

#include "core/cpu_info.h"
#include "core/output.h"

namespace {

// Hand-order position hi * (hi - 1) / 2 + lo holds the cards hi > lo numbered
// 4 * rank + suit; the classifier numbers a card 51 minus that.
constexpr ClassifierHandCards MakeHandCards() {
  ClassifierHandCards cards{};
  int i = 0;
  for (int hi = 1; hi < 52; ++hi) {
    for (int lo = 0; lo < hi; ++lo, ++i) {
      cards.first[i] = 51 - hi;
      cards.second[i] = 51 - lo;
    }
  }
  return cards;
}

const char* const kMadeHandNames[kMadeHandCategoryCount] = {
    "nothing",    "king_high",   "ace_high",  "low_pair", "third_pair", "second_pair",   "underpair",
    "top_pair",   "top_pair_tp", "overpair",  "two_pair", "trips",      "set",           "straight",
    "flush",      "fullhouse",   "top_fullhouse", "quads", "straight_flush"};

const char* const kDrawNames[kDrawCategoryCount] = {
    "no_draw", "4out_straight_draw", "8out_straight_draw", "flush_draw", "combo_draw"};

// The classifier's input must be a real board: the kernels index bit sets and
// tables by card number.
bool ValidBoard(const int32_t* board, int boardCount) {
  if (boardCount < 3 || boardCount > 5) return false;
  uint64_t seen = 0;
  for (int i = 0; i < boardCount; ++i) {
    if (board[i] < 0 || board[i] > 51 || ((seen >> board[i]) & 1)) return false;
    seen |= uint64_t(1) << board[i];
  }
  return true;
}

void AppendCodes(std::string& line, const int32_t* codes, int divisor) {
  char number[16];
  for (int i = 0; i < kClassifierHands; ++i) {
    const int length = snprintf(number, sizeof number, "%d ", codes[i] / divisor);
    line.append(number, static_cast<size_t>(length));
  }
  line += '\n';
}

}  // namespace

constexpr ClassifierHandCards kClassifierHandCards = MakeHandCards();

void PrintCategoryNames() {
  std::string text;
  for (const char* name : kMadeHandNames) text += std::string(name) + " ";
  text += "\n";
  for (const char* name : kDrawNames) text += std::string(name) + " ";
  text += "\n";
  OutputText(text);
  Output("END\n");
}

void ClassifyMadeHands(const int32_t* board, int boardCount, int32_t* out) {
  if (!ValidBoard(board, boardCount)) return;
  const int bug = UseAvx2FmaKernels() ? ClassifyMadeHandsAvx2(board, boardCount, out)
                                      : ClassifyMadeHandsAvx(board, boardCount, out);
  if (bug) {
    // An inconsistency of the evaluator or of the rules: nothing sensible can
    // be printed, so say so directly and stop.
    FatalLine("ERROR: bug in hand classifier, please report!\n");
  }
}

void ClassifyDraws(const int32_t* board, int boardCount, int32_t* out) {
  if (!ValidBoard(board, boardCount)) return;
  if (UseAvx2FmaKernels())
    ClassifyDrawsAvx2(board, boardCount, out);
  else
    ClassifyDrawsAvx(board, boardCount, out);
}

void PrintCategories(int boardCount, const int32_t* board) {
  int32_t made[kClassifierHands] = {};
  int32_t draws[kClassifierHands] = {};
  ClassifyMadeHands(board, boardCount, made);
  ClassifyDraws(board, boardCount, draws);
  std::string text;
  text.reserve(8 * kClassifierHands);
  AppendCodes(text, made, 100);
  AppendCodes(text, draws, 1);
  OutputText(text);
  Output("END\n");
}
