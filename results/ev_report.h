// Expected values per hand at a node of the solved tree, and the EV reports.
#pragma once

#include <string>

// Fills ev and weight (1326 entries each, combo order, zero-filled by the
// caller) with player's EV of every hand at TreeNode `nodeIndex` on the
// runout of the two cards (user suits, -1 none) and the combined reach
// weight behind it. allRunouts: the weight-averaged EV over every card of
// the node's own street (and, on a flop-rooted tree, the turn) instead of
// the runout's own. NaN for hands without a value. Nothing without a tree.
void CalcNodeEv(int player, int nodeIndex, int turnCard, int riverCard, double* ev, double* weight,
                bool allRunouts);

// calc_ev, calc_ev_pp and calc_ev_line for a player at a path.
void PrintEvReport(int player, const std::string& path);
void PrintEvPpReport(int player, const std::string& path);
void PrintEvLineReport(int player, const std::string& path);
