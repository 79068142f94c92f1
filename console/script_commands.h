// Scripts, labels, output redirection and the small utility commands.
#pragma once

#include "core/output.h"

// Scripts may load scripts; deeper nesting than this is refused.
constexpr int kMaxScriptDepth = 64;

// Runs a script file line by line as if typed; false when it cannot be opened.
void CmdLoadScript(const TokenVector& words);
void CmdSkipIfDone(const TokenVector& words);
void CmdStdoutRedirect(const TokenVector& words);
void CmdStdoutRedirectAppend(const TokenVector& words);
void CmdStdoutBack(const TokenVector& words);
void CmdIsReady(const TokenVector& words);
void CmdSleep(const TokenVector& words);
void CmdRepeat(const TokenVector& words);
void CmdEcho(const TokenVector& words);
void CmdHelp(const TokenVector& words);
