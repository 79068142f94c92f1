// The command table and the dispatcher that runs one command line.
#pragma once

#include "core/output.h"

class CommandWords;

using CommandHandler = void (*)(const TokenVector&);

struct CommandRow {
  const char* word;
  CommandHandler handler;
  int wordCount;  // exact count including the command word; -1: the handler checks
};

extern const CommandRow CommandTable[];
extern const int CommandTableSize;

// Non-empty while skip_if_done is skipping lines up to a label.
extern std::string SkipLabel;

// Echo, labels and skipping, comments, exit, lookup, the word-count check, the
// handler call and the conversion of errors into reply lines.
void DispatchCommand(const TokenVector& words);
void CheckTokenCount(const TokenVector& words, size_t count);
// Splits `line` into `words` (see CommandWords: a line up to the longest
// command line needs no memory) and dispatches it. A split that runs out of
// memory is answered as the command's own refusal, "ERROR: <first word> out
// of memory".
void DispatchLine(const std::string& line, CommandWords& words);
// Appends "ERROR: <word> out of memory" to the reply, formatted on the stack
// (no memory needed); like every refusal, the line is at most 255
// characters: a longer word is cut.
void AnswerOutOfMemory(std::string_view word);
// Reserves at start what a refusal's answer needs, so that it needs no
// memory then: the command name's buffer for the longest command word and
// the reply buffer's reserve (ReservePendingOutput). Throws std::bad_alloc.
void ReserveDispatchBuffers();
