// The equity reports: each hand's showdown equity against the other player's
// range, at the root or at a node with both ranges as they reach it.
#pragma once

#include <string>

// calc_eq: equities and matchup weights of the player's hands at the root
// (on the tree's own turn and river cards for a turn or river root).
void PrintEquityReport(int player);
// calc_eq_pp: the same, one line per hand of the root's acting player.
void PrintEquityPpReport(int player);
// calc_eq_node: at the node of the path, with the player's average equity.
void PrintNodeEquityReport(int player, const std::string& path);
