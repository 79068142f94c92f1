// Taking strategy out of the solver's hands at one decision node for one
// runout: whole-node locks, per-hand locks and written strategy rows. The
// solver skips the regret update (and, for a whole-node lock, the strategy
// sums) of what is locked, so the rest of the tree adapts to it.
#pragma once

// Every operation addresses TreeNode `nodeIndex` on the runout of the two
// cards (user suits, -1 none); runouts that are suit-isomorphic share one
// record. A node below a forgotten street has its sub-tree rebuilt first;
// when it still has no storage the command error "incomplete tree" is
// raised. Nothing without a tree. The caller makes sure no solve runs.

// Sets (lock) or clears the LOCKED flag of both storages' records; a
// per-hand lock mask is dropped either way.
void LockNode(int nodeIndex, int turnCard, int riverCard, bool lock);
// Writes the row of action `child` of the node's current strategy as
// weight x 1000 per hand (weights: 1326 values, combo order, finite and not
// negative); while strategy averaging is on, the action's strategy sums
// restart from zero.
void SetNodeStrategy(int nodeIndex, int child, int turnCard, int riverCard, const double* weights);
// Locks the hands with a non-zero (or NaN) weight and frees the others; the
// node is then COMBO_LOCKED and no longer LOCKED.
void ComboLockNode(int nodeIndex, int turnCard, int riverCard, const double* weights);
