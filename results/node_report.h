// Pieces of the node printer shared by the node reports and show_tree_params.
#pragma once

#include "game/node_path.h"

// The board line: flop cards in ascending card number, then the reference's
// turn and river cards when set.
void PrintNodeBoard(const NodeRef& ref);
// "%g %g %g\n": chips committed by OOP and IP at the node (0 and 0 without a
// node) and the pot.
void PrintNodeAmounts(const NodeRef& ref);
