// Tree-level state that the console reads: whether a solver tree stands, its
// root street and effective stack.
#pragma once

#include <cstdint>

#include "core/cards.h"

extern bool TreeBuilt;      // true between build_tree and free_tree
extern bool LoadFlag;       // the tree came from a file without the values its deals cache
extern int RootStreet;      // 1 flop, 2 turn, 3 river
extern int EffectiveStack;  // chips
// Stamp of the current build; line nodes flattened by it carry the same stamp.
extern uint32_t CurrentBuildStamp;

// The board (flop, turn, river masks) and the pot of the tree standing since
// the last build: node paths and node reports describe the tree, whatever
// set_board and set_pot have stored since.
extern CardMask TreeBoardMasks[3];
extern double TreePot;
// The tree's board and pot while a tree is built, else the settings'.
const CardMask* ReportBoardMasks();
double ReportPot();

// Fails with "missing/incorrect tree" unless a tree is built.
void RequireTree();
