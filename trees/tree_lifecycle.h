// The life of the current tree as a whole, across the game model, the
// storages and the engine: building it from the lines, re-creating its
// storages for a compression level, and freeing it.
#pragma once

#include <cstdint>

// Validated build from the current lines (build_tree and cut_line choose the
// compression level). When the lines, board or ranges are refused, the
// standing tree and every index stay as they were; the standing tree is
// released before the new one is made, and a new tree that cannot be made
// (exhausted memory, thrown on) leaves no tree. `isomorphism` 0 or 1 builds
// with or without suit isomorphism whatever the setting (a tree file fixes
// it); -1 uses the setting.
void BuildTreeFromLines(bool chooseCompression, int isomorphism = -1);
// Re-creates the storages with a compression pair and starts the solve over.
// When they cannot all be made the tree is freed (its nodes would hold
// storages of two levels, or none) and the failure thrown on.
void ResetSolver(int32_t first, int32_t second);
void FreeTreeAndLoadFlags();
struct SolverTree;

// The level the user asked for, or for "auto" the level that the tree's
// uncompressed storage and the available memory call for.
int ChosenCompressionLevel(const SolverTree& tree);
// Applies the chosen level to the current tree (a new tree always gets it).
void ChooseCompression();
// set_compression: records the setting; the current tree's storages are
// re-created (and the solve starts over) only when its level changes.
void ChangeCompressionSetting(int setting);
void ApplyCompressionLevel(int level);
