// Forgetting the storages of the later streets while keeping the reach at
// every split point, rebuilding them, and re-solving all splits of a street.
#pragma once

#include <vector>

struct SolverTree;
struct TreeNode;
struct CardRecord;
struct NodeContext;

// Collects the split points of a street (OOP's reach in ownReach, IP's in
// oppReach); the caller deletes the contexts.
void CollectSplits(SolverTree& tree, int street, std::vector<NodeContext*>& out);
// The card record that keeps a split's reach.
CardRecord* SplitRecord(NodeContext& split, int street);

// Locks of nodes on a forgotten street. KeepLocks records the locks of every
// node of `street` and later that still has storages (replacing what was
// kept for it before); ApplyKeptLocks writes the kept locks of a node back
// into its freshly made storages; RefreshKeptLock records again the lock of
// one node on one runout after a lock command changed it (its river boards
// are open). Nothing for nodes above the forgotten street.
void KeepLocks(SolverTree& tree, int street);
void ApplyKeptLocks(SolverTree& tree, TreeNode& node);
void RefreshKeptLock(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex);

void ForgetStreet(int street);
void ForgetStreets(SolverTree& tree, int street);
void RebuildForgottenStreets();
// Re-solves every split sub-game of a street of the current tree.
void SolveAllSplits(int street);
