// Settings of a run given before a tree is built or a solve started, and the
// handlers that set and report them.
#pragma once

#include <string>
#include <vector>

#include "console/output.h"
#include "game/cards.h"

extern std::vector<double> RangeVectors[2];  // combo order; empty until set
extern CardMask BoardMasks[3];               // flop, turn, river (0 = none)
extern double PotSettings[3];                // the third is the pot at the root
extern double AccuracySetting;
extern bool AccuracyIsFraction;
extern unsigned char IsomorphismFlags[4];    // indexed by root street

// Upper bound for set_threads: more workers than this only cost memory.
constexpr int kMaxThreadCount = 256;

int ParsePlayerName(const std::string& word);
std::vector<double> ParseHandWeights(const TokenVector& words, size_t first);
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
