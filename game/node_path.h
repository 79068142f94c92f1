// Node paths: "r:0:b50:c:Kd:..." walk the line tree action by action and name
// the dealt cards where a street begins.
#pragma once

#include <cstdint>
#include <string>

struct SchematicNode;

struct NodeRef {
  SchematicNode* node = nullptr;  // null for the bare root path "r"
  int32_t turnCard = -1;          // -1 while the turn is not dealt
  int32_t riverCard = -1;         // -1 while the river is not dealt
  uint8_t dealPending = 0;        // the path ends on the action closing a street
};

// Resolves a path; fails with "missing/incorrect tree" or "incorrect path".
// A node from the turn on is addressed by its runout, so the path must name
// the card of every street it reaches; with `cardsRequired` false (the node
// reports, which describe the shape of the tree) actions may follow the
// close of a street whose card is not named, and the reference keeps -1 for
// that card.
NodeRef ResolveNodePath(const std::string& path, bool cardsRequired = true);
// RootStreet + the node's street counter (1 flop, 2 turn, 3 river).
int NodeRefStreet(const NodeRef& ref);
NodeRef ParentNodeRef(const NodeRef& ref);
inline bool IsNullNodeRef(const NodeRef& ref) { return ref.node == nullptr; }
[[noreturn]] void ThrowIncorrectPath();
