// Building the solver tree from the lines, board and ranges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "game/cards.h"

struct SolverTree;
struct SchematicNode;

// One line-tree node in pre-order: the solver tree's node list.
struct FlatLineRecord {
  int32_t kind;         // 0 inner, 1 showdown, 2 fold
  int32_t parentIndex;  // -1 at the root
  int32_t player;
  int32_t street;
  double amount;
};

// Validated build from the current lines (build_tree and cut_line choose the
// compression level; the tree-file reader applies its own). On failure the
// standing tree and every index stay as they were.
void BuildTreeFromLines(bool chooseCompression);

// The largest key anywhere in the line tree (0 without children).
double MaxLineAmount(const SchematicNode& node);
// Pre-order records of the line tree; `nodes` receives the line node of each
// record so that the caller can write tree indices once the build succeeds.
void FlattenLineTree(const SchematicNode& node, int32_t parentIndex, double key, int rootStreet, double pot,
                     std::vector<FlatLineRecord>& records, std::vector<const SchematicNode*>& nodes);
// Refuses ranges that give different weights to hands that differ only by
// suits (checked per hand class, hands meeting `board` skipped).
void CheckRangeIsomorphism(CardMask board);
// Total weight of the pairs of hands (OOP, IP) that share no card with each
// other nor with the board.
double CompatiblePairWeight(const std::vector<double>& oop, const std::vector<double>& ip, CardMask board);

// Creates the tree's nodes, board, ranges and deal records and sets it as
// the current tree.
void CreateSolverTree(int32_t averagingMode, const std::vector<FlatLineRecord>& records, int32_t groupingMode,
                      CardMask flop, int32_t turnCard, int32_t riverCard, const std::vector<double>& rangeOop,
                      const std::vector<double>& rangeIp, bool isomorphism);
void InitSolverParams(SolverTree& tree, int32_t first, int32_t second);
// Re-creates the storages with a compression pair and starts the solve over.
void ResetSolver(int32_t first, int32_t second);
void AllocateNodeStorages(SolverTree& tree);
void FreeTreeAndLoadFlags();

void CmdBuildTree(const std::vector<std::string>& words);
void CmdFreeTree(const std::vector<std::string>& words);
