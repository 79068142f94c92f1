// Tree-level state that the console reads: whether a solver tree stands, its
// root street and effective stack.
#pragma once

extern bool TreeBuilt;      // true between build_tree and free_tree
extern int RootStreet;      // 1 flop, 2 turn, 3 river
extern int EffectiveStack;  // chips

// Fails with "missing/incorrect tree" unless a tree is built.
void RequireTree();
