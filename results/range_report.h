// The strategy read behind every strategy query, the ranges that follow from
// it along a path, and the range and probability reports.
#pragma once

#include <string>
#include <vector>

#include "game/node_path.h"

// Per ComboIndex (1326 entries), the probability with which each hand of the
// node's acting player takes action k at TreeNode `nodeIndex` on the runout
// of the two cards (user suits, -1 none): the current strategy up to
// iteration 62, from then on the average strategy with the current one for
// hands without strategy sums. Hands that meet the board are NaN, hands
// outside the acting player's range in the tree 0. Nothing without a tree.
// The cards must form a runout the node's street can be read on (see
// CheckedRunout).
void NodeRange(int nodeIndex, int action, int turnCard, int riverCard, double* out);
// The player's range at the node of `path` (1326 weights, ComboIndex order):
// the interpreter's range times the probability of each of the player's own
// actions on the way from the root. An empty path gives the range itself.
void RangeAtNode(std::vector<double>& out, int player, const std::string& path);
// The position of `child` among the actions of `parent`, -1 when absent.
int ChildActionIndex(const NodeRef& parent, const NodeRef& child);
// a[i] *= b[i] for every i below a's length (b at least as long).
void MultiplyValuesInPlace(std::vector<double>& a, const std::vector<double>& b);
// The total weight of the player's range at the node over the total weight
// of the same hands in the interpreter's range (hands that are NaN at the
// node left out of both).
double ReachProbability(int player, const std::string& path);
// The acting player's tree range times his action probabilities along the
// path from the root to TreeNode `nodeIndex`.
void TreeReachRange(int nodeIndex, int turnCard, int riverCard, double* out);

// show_range: the range line of a player at a path (empty: the root).
void PrintRangeReport(int player, const std::string& path);
// show_probs: both players' reach probabilities and the acting player's
// action frequencies at the node.
void PrintProbsReport(const std::string& path);

// A number as "%.12g", with "nan" for every NaN (never "-nan").
std::string FormatReportNumber(const char* format, double value);
