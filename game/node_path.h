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
NodeRef ResolveNodePath(const std::string& path);
// RootStreet + the node's street counter (1 flop, 2 turn, 3 river).
int NodeRefStreet(const NodeRef& ref);
NodeRef ParentNodeRef(const NodeRef& ref);
inline bool IsNullNodeRef(const NodeRef& ref) { return ref.node == nullptr; }
[[noreturn]] void ThrowIncorrectPath();
