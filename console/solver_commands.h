// Solver-control commands.
#pragma once


#include "core/output.h"


void CmdSolverTime(const TokenVector& words);
void CmdGo(const TokenVector& words);
void CmdStop(const TokenVector& words);
void CmdTakeABreak(const TokenVector& words);
void CmdWaitForSolver(const TokenVector& words);
void CmdCalcResults(const TokenVector& words);
void CmdForget(const TokenVector& words);
void CmdRebuildForgottenStreets(const TokenVector& words);
void CmdSolveAllSplits(const TokenVector& words);
