// Forgetting the storages of the later streets while keeping the reach at
// every split point, rebuilding them, and re-solving all splits of a street.
#pragma once

#include <vector>

struct SolverTree;
struct CardRecord;
struct NodeContext;

// Collects the split points of a street (OOP's reach in ownReach, IP's in
// oppReach); the caller deletes the contexts.
void CollectSplits(SolverTree& tree, int street, std::vector<NodeContext*>& out);
// The card record that keeps a split's reach.
CardRecord* SplitRecord(NodeContext& split, int street);

void ForgetStreet(int street);
void ForgetStreets(SolverTree& tree, int street);
void RebuildForgottenStreets();
// Re-solves every split sub-game of a street of the current tree.
void SolveAllSplits(int street);
