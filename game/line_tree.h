// The schematic line tree: the betting lines entered by the user, merged into
// one tree keyed by chip amount.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

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
};

// The root of the line tree, owned by the interpreter's state.
extern std::unique_ptr<SchematicNode> SchematicRoot;
