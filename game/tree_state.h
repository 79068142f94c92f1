// Tree-level state that the console reads: whether a solver tree stands, its
// root street and effective stack.
#pragma once

#include <cstdint>

extern bool TreeBuilt;      // true between build_tree and free_tree
extern bool LoadFlag;       // the tree came from a file without card records
extern int RootStreet;      // 1 flop, 2 turn, 3 river
extern int EffectiveStack;  // chips
// Stamp of the current build; line nodes flattened by it carry the same stamp.
extern uint32_t CurrentBuildStamp;

// Fails with "missing/incorrect tree" unless a tree is built.
void RequireTree();
