// Handlers of the node reports.
#pragma once

#include "core/output.h"

void CmdShowNode(const TokenVector& words);
void CmdShowChildren(const TokenVector& words);
void CmdShowStrategy(const TokenVector& words);
void CmdShowStrategyPp(const TokenVector& words);
void CmdShowLockedCombos(const TokenVector& words);
void CmdShowRange(const TokenVector& words);
void CmdShowProbs(const TokenVector& words);
void CmdSolvePartial(const TokenVector& words);
void CmdExploPartial(const TokenVector& words);
void CmdLockNode(const TokenVector& words);
void CmdUnlockNode(const TokenVector& words);
void CmdSetStrategy(const TokenVector& words);
void CmdComboLockNode(const TokenVector& words);
void CmdCalcEq(const TokenVector& words);
void CmdCalcEqPp(const TokenVector& words);
void CmdCalcEqNode(const TokenVector& words);
void CmdCalcEv(const TokenVector& words);
void CmdCalcEvPp(const TokenVector& words);
void CmdCalcEvLine(const TokenVector& words);
void CmdCalcLineFreq(const TokenVector& words);
void CmdCalcGlobalFreq(const TokenVector& words);
