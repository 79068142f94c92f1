// Re-solving a forgotten sub-tree for one runout on demand: its storages are
// re-created and CFR iterations run on that sub-tree alone, from the reach
// rows that forgetting kept in its top node's card record, until its
// exploitability is within the recalc accuracy of its street.
#pragma once

#include <cstdint>
#include <vector>

#include "core/cards.h"
#include "game/aligned_array.h"

struct SolverTree;
struct TreeNode;
struct CardRecord;

// The solved marks of a card record: bit b set when runout b (the river
// index under a river top, the turn index under a turn top) was re-solved.
uint64_t SolvedMask(const CardRecord& record);
void SetSolvedMask(CardRecord& record, uint64_t mask);
// Clears the solved marks of every card record of a node.
void ClearSolvedMarks(TreeNode& node);

// The top of the forgotten sub-tree that holds a node (climbing while the
// parent's street is at least the forgotten street).
TreeNode& ForgottenSubtreeTop(TreeNode& node, int forgottenStreet);

// Re-solves the node's forgotten sub-tree for the runout when its street is
// forgotten and the runout is not solved yet (or always with `force`), and
// returns its exploitability after the re-solve; 0 when nothing was done.
// Takes the solver lock; the caller must hold no river sub-tree lock. Never
// runs while a solve is running.
double RebuildForgottenSubtree(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex, bool force);
// The iterations of the re-solve on the sub-tree below `top`.
double ResolveForgottenSubtree(SolverTree& tree, TreeNode& top, int turnIndex, int riverIndex, bool force);

// The value of a player's per-hand counterfactual values v with his reach r
// against the opponent's reach q over a board's hands: sum(v * r) divided by
// the total reach of the compatible pairs; 0 when that total is 0 or there
// are no hands.
double SubtreeValue(const AlignedArray& values, const AlignedArray& reach, const AlignedArray& opponentReach,
                    const std::vector<CardMask>& hands);
