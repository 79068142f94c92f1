// Handlers that set and report the settings of a run.
#pragma once

#include "core/settings.h"

void ApplyTargetAccuracy();

void CmdSetRange(const TokenVector& words);
void CmdSetBoard(const TokenVector& words);
void CmdSetPot(const TokenVector& words);
void CmdSetAccuracy(const TokenVector& words);
void CmdSetRecalcAccuracy(const TokenVector& words);
void CmdSetRake(const TokenVector& words);
void CmdSetThreads(const TokenVector& words);
void CmdSetIsomorphism(const TokenVector& words);
void CmdSetScheduler(const TokenVector& words);
void CmdIgnoreMemCheck(const TokenVector& words);
void CmdSetEffStack(const TokenVector& words);
void CmdSetEvBoost(const TokenVector& words);
void CmdShowEffectiveStack(const TokenVector& words);
void CmdIsTreePresent(const TokenVector& words);
void CmdShowSettings(const TokenVector& words);
void CmdShowTreeParams(const TokenVector& words);
void CmdNodeCount(const TokenVector& words);
