// Node evaluation: one CFR visit of a decision, terminal or chance node for
// one board, with the regret update and strategy-sum accumulation of update
// passes.
#pragma once

#include <cstdint>
#include <vector>

#include "game/aligned_array.h"
#include "solver/tree_passes.h"

struct CardRecord;

void EvaluateNode(NodeContext& context);
void EvaluateTerminal(NodeContext& context);
void EvaluateTraverserNode(NodeContext& context);
void EvaluateOpponentNode(NodeContext& context);
void EvaluateTurnDeal(NodeContext& context);
void EvaluateRiverDeal(NodeContext& context);

// min(StrategyWeightCap, max(t - 60, 0) ^ AveragingExponent).
double AveragingWeight(int32_t iteration);
// Strategy readers: the regret-matching strategy with the update defaults or
// uniform defaults, and the average strategy. The arrays are the caller's.
// ReadUpdateStrategy with a `reach` row (the acting player's, one double per
// hand) may give hands of zero reach probability 0: for callers that only use
// the strategy multiplied by that reach.
void ReadUpdateStrategy(const TreeNode& node, int turn, int river, std::vector<AlignedArray>& strategy,
                        const AlignedArray* reach = nullptr);
void ReadCurrentStrategy(const TreeNode& node, int turn, int river, std::vector<AlignedArray>& strategy);
void ReadNodeStrategy(const TreeNode& node, int turn, int river, std::vector<AlignedArray>& strategy);
// The strategy a pass uses to walk an opponent or evaluation node: the
// average once averaging applies, else the current one.
void ReadWalkStrategy(const SolverTree& tree, const TreeNode& node, int turn, int river,
                      std::vector<AlignedArray>& strategy);

// Frees the shared arrays of a chance node's sub-games (the task that owns them).
void ReleaseSharedTaskArrays(SubgameTask* task);

// Copies and moves of aligned arrays (an array without data stays without). copies and moves of aligned arrays (empty stays empty).
void CopyAlignedArray(AlignedArray& dst, const AlignedArray& src);
void MoveAlignedArray(AlignedArray& dst, AlignedArray& src);
