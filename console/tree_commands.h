// Handlers of the line commands, of build_tree and free_tree, and of the
// compression-level commands.
#pragma once

#include "core/output.h"

void CmdClearLines(const TokenVector& words);
void CmdAddLine(const TokenVector& words);
void CmdForceLine(const TokenVector& words);
void CmdRemoveLine(const TokenVector& words);
void CmdCutLine(const TokenVector& words);
void CmdBuildTree(const TokenVector& words);
void CmdFreeTree(const TokenVector& words);
void CmdSetCompression(const TokenVector& words);
void CmdGetActualCompression(const TokenVector& words);
void CmdLoadTree(const TokenVector& words);
