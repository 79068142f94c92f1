// Forced re-solving of the forgotten sub-tree below a node for one runout.
#pragma once

#include <cstdint>

// Re-creates and re-solves the forgotten sub-tree of TreeNode `nodeIndex` for
// the runout of the two cards (user suits, -1 none) and returns its
// exploitability; 0 when the node's street is not forgotten.
double SolvePartial(int nodeIndex, int turnCard, int riverCard);

// The ComboIndex of each hand of the hand list of the node's board on the
// runout of the two cards (the flop board for a flop node, the turn record's
// board for a turn node, the river record's for a river node; canonical suits
// under isomorphism), in list order; returns their number, 0 without a tree
// or when the runout has no record.
int BoardHandComboIndices(int nodeIndex, int turnCard, int riverCard, uint32_t* out);
