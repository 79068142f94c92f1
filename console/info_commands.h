// Handlers of the processor, memory and hand-order queries.
#pragma once

#include "core/output.h"

void CmdGetInstructionSet(const TokenVector& words);
void CmdShowCpuInfo(const TokenVector& words);
void CmdShowMemory(const TokenVector& words);
void CmdShowHandOrder(const TokenVector& words);
