// Node references: what a node path resolves to.
#pragma once

#include <cstdint>

struct SchematicNode;

struct NodeRef {
  SchematicNode* node = nullptr;  // null for the bare root path "r"
  int32_t turnCard = -1;          // -1 while the turn is not dealt
  int32_t riverCard = -1;         // -1 while the river is not dealt
  uint8_t dealPending = 0;        // the path ends on the action closing a street
};
