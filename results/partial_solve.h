// Forced re-solving of the forgotten sub-tree below a node for one runout.
#pragma once

// Re-creates and re-solves the forgotten sub-tree of TreeNode `nodeIndex` for
// the runout of the two cards (user suits, -1 none) and returns its
// exploitability; 0 when the node's street is not forgotten.
double SolvePartial(int nodeIndex, int turnCard, int riverCard);
