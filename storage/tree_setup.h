// Creating the solver tree's nodes, board, ranges, deal records and storage
// layouts, its per-tree solver constants, and every node's storages.
#pragma once

#include <cstdint>
#include <vector>

#include "core/cards.h"
#include "game/tree_build.h"

struct SolverTree;

// Creates the tree's nodes, board, ranges and deal records and sets it as
// the current tree.
void CreateSolverTree(int32_t averagingMode, const std::vector<FlatLineRecord>& records, int32_t groupingMode,
                      CardMask flop, int32_t turnCard, int32_t riverCard, const std::vector<double>& rangeOop,
                      const std::vector<double>& rangeIp, bool isomorphism);
void InitSolverParams(SolverTree& tree, int32_t first, int32_t second);
// Gives every node outside a forgotten street the storages of the tree's
// compression pair; the iteration count starts over.
void AllocateNodeStorages(SolverTree& tree);
