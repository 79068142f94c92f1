// The EV pass: each hand's expected value at one node of the solved tree
// under both players' strategies as they stand, with the combined reach
// behind it.
#pragma once

struct SolverTree;

// Evaluates the sub-tree of the tree's current EV capture target for
// `player` in pass mode 2 (strategy-weighted values, nothing updated) and
// lets node evaluation capture the target's per-hand EV and weight rows:
// the capture's own rows for its runout, or its per-deal rows when it
// captures every dealt card. The caller holds the solver lock.
void RunEvPass(SolverTree& tree, int player);
