#include "console/tree_commands.h"

#include "core/numbers.h"
#include "core/settings.h"
#include "game/line_tree.h"
#include "game/node_path.h"
#include "game/tree_state.h"
#include "solver/engine_state.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "trees/tree_file.h"
#include "trees/tree_lifecycle.h"

namespace {
// Commands that replace or destroy the tree must not overlap a solve.
void RequireSolverIdle() {
  if (IsSolverRunning()) ThrowCommandError("Can't do that when solver is running");
}
}  // namespace

void CmdClearLines(const TokenVector& words) {
  ClearLines();
  ReplyOk(words);
}

void CmdAddLine(const TokenVector& words) {
  AddLine(words, false);
  ReplyOk(words);
}

void CmdForceLine(const TokenVector& words) {
  AddLine(words, true);
  ReplyOk(words);
}

void CmdRemoveLine(const TokenVector& words) {
  RemoveLine(words);
  ReplyOk(words);
}

void CmdCutLine(const TokenVector& words) {
  RequireTree();
  RequireSolverIdle();
  CutLineNode(ResolveNodePath(words[1]).node);
  BuildTreeFromLines(true);
  ReplyOk(words);
}

void CmdBuildTree(const TokenVector& words) {
  RequireSolverIdle();
  if (RangeVectors[0].size() != kComboCount || RangeVectors[1].size() != kComboCount)
    ThrowCommandError("ranges not set");
  if (CardCount(BoardMasks[0]) != 3) ThrowCommandError("board not set");
  if (SchematicRoot->children.empty()) ThrowCommandError("lines not set");
  BuildTreeFromLines(true);
  LoadFlag = false;
  if (Verbosity > 0)
    Output("[compression set %d (%s) actual %d (%s)]\n", CompressionSetting, CompressionLevelName(CompressionSetting),
           ActualCompression, CompressionLevelName(ActualCompression));
  ReplyOk(words);
}

void CmdLoadTree(const TokenVector& words) {
  RequireSolverIdle();
  LoadTreeFile(words[1]);
  ReplyOk(words);
}

void CmdFreeTree(const TokenVector& words) {
  RequireSolverIdle();
  FreeTreeAndLoadFlags();
  ReplyOk(words);
}

void CmdSetCompression(const TokenVector& words) {
  RequireSolverIdle();
  static const char* const kWords[6] = {"auto", "none", "low", "medium", "high", "max"};
  int level = -2;
  for (int i = 0; i < 6; ++i)
    if (words[1] == kWords[i]) level = i - 1;
  if (level == -2) {
    level = ParseInt(words[1]);
    if (level < 0) level = -1;
    if (level > 4) level = 4;
  }
  ChangeCompressionSetting(level);
  ReplyOk(words);
}

void CmdGetActualCompression(const TokenVector&) { Output("compression %d\n", ActualCompression); }
