// The schematic line tree: the betting lines entered by the user, merged into
// one tree keyed by chip amount.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/output.h"

class BinaryReader;

// The largest chip amount a line may hold: amounts are printed (node paths,
// the effective stack) as 32-bit integers.
constexpr double kMaxLineAmount = 2147483647.0;

struct SchematicNode {
  SchematicNode* parent = nullptr;
  // Actions keyed by cumulative chip amount, largest first; -1.0 is the fold.
  std::map<double, std::unique_ptr<SchematicNode>, std::greater<double>> children;
  int32_t player = 0;     // 0 OOP, 1 IP; negative marks a deal node
  int32_t street = 0;     // street counter from the root street
  int32_t bets = 0;       // bets and raises so far on this street
  int32_t treeIndex = 0;  // index of the node's TreeNode once built
  double amount = 0.0;    // the amount of the action that led here
  double chipsOop = 0.0;  // chips committed by OOP at this node
  double chipsIp = 0.0;   // chips committed by IP at this node
  // Which build of the solver tree last flattened this node (0: none). A node
  // added after the build has no TreeNode and must not be addressed.
  uint32_t buildStamp = 0;
};

// The root of the line tree, owned by the interpreter's state.
extern std::unique_ptr<SchematicNode> SchematicRoot;

std::unique_ptr<SchematicNode> NewSchematicRoot();
// Reads one node record and its children from a tree file. Keys must be
// finite and nesting is bounded; a bad record raises IOException.
void ReadSchematicNode(SchematicNode& node, BinaryReader& reader);
// Erases every child whose key differs from the amount.
void PruneSchematicChildren(SchematicNode& node, double amount);
// Diagnostic listing of the tree (absolute streets from `rootStreet`).
std::string PrintLineTree(const SchematicNode& node, const std::string& prefix, double amount, int rootStreet);

// Replaces the line tree with an empty root.
void ClearLines();
// Adds the line of cumulative amounts words[1..] (the closing call or check
// and the fold are added too); `force` first erases every other action at
// each node on the way.
void AddLine(const TokenVector& words, bool force);
// Erases the last action of the line words[1..] ("Specified line doesn't
// exists." when the line is not in the tree).
void RemoveLine(const TokenVector& words);
// Erases a node and its sub-tree from its parent; the root, and the only
// action of the root, are refused ("can't cut root").
void CutLineNode(SchematicNode* node);
