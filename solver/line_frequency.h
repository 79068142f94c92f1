// How often a node of the solved tree is reached: the joint reach weight of
// both players' hands at the node on one runout, and its sum over every
// turn and river runout of a river node.
#pragma once

#include <cstdint>
#include <vector>

// For each hand h of player p (1326 entries, combo order, zero-filled by the
// caller): W x reach_p(h) x the opponent's reach summed over his hands that
// share no card with h, at TreeNode `nodeIndex` on the runout of the two
// cards (user suits, -1 none), with W the number of deals left below the
// runout's board (1980 flop, 44 turn, 1 river). NaN for hands that meet the
// board or are outside p's range. Nothing without a tree.
void CalcLineFrequency(int player, int nodeIndex, int turnCard, int riverCard, double* out);

// Runouts as deal codes (turn card x 256 + river card; 0xFFFF none), one
// inner list per turn card in ascending order.
using DealCodeLists = std::vector<std::vector<uint16_t>>;

// The sum of OOP's joint reach weight at TreeNode `nodeIndex` over every
// listed runout (each code holding a turn and a river card). The runouts of
// one turn card are computed in parallel on the current worker team and
// added in list order, so the sum does not depend on the number of threads.
// 0 without a tree.
double libsubgame_calc_river_line_freq(int nodeIndex, const DealCodeLists& lists);
