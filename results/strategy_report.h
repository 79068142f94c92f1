// The strategy reports of one decision node: every hand's probability of
// each action (in hand order, or hand by hand strongest first) and the hands
// locked to a fixed strategy.
#pragma once

#include <string>

// Per ComboIndex (1326 entries), the combo-lock mask of TreeNode `nodeIndex`
// on the runout of the two cards: 1 for a locked hand, 0 for a free one, NaN
// for a hand that meets the board. Nothing without a tree.
void NodeComboLockMask(int nodeIndex, int turnCard, int riverCard, double* out);

// show_strategy: one line of 1326 probabilities per action, then END.
void PrintStrategyReport(const std::string& path);
// show_strategy_pp: "NAME:  p0  p1 ..." per hand of the acting player's
// range, strongest first, then END.
void PrintStrategyPpReport(const std::string& path);
// show_locked_combos: the lock mask line (no END).
void PrintLockedCombosReport(const std::string& path);
