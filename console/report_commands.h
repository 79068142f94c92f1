// Handlers of the node reports.
#pragma once

#include "core/output.h"

void CmdShowNode(const TokenVector& words);
void CmdShowChildren(const TokenVector& words);
