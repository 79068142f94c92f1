#include "console/script_commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "console/command_line.h"
#include "console/dispatcher.h"
#include "core/numbers.h"
#include "core/output.h"

namespace {
int g_scriptDepth = 0;

// A redirection starts with no failure recorded. One that follows another
// ends it: when writes to the file it ends were lost (said on standard error
// already), the reply, which goes to the new file, is
// "ERROR: stdoutredi write failed".
void Redirect(const TokenVector& words, int flags) {
  const int fd = open(words[1].c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) ThrowCommandError("can't open file");
  bool kept;
  try {
    kept = SwitchStdout(fd, words[1]);
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  if (!kept) ThrowCommandError("write failed");
  ReplyOk(words);
}
}  // namespace

void CmdLoadScript(const TokenVector& words) {
  if (Verbosity > 0) Output("[load_script %s]\n", words[1].c_str());
  if (g_scriptDepth >= kMaxScriptDepth) ThrowCommandError("too many nested scripts");
  // The line and word buffers, as for standard input (the words' pooled
  // strings are shared with it): a buffer that cannot be had is this
  // command's refusal.
  CommandWords lineWords;
  FILE* file = fopen(words[1].c_str(), "rb");
  if (!file) ThrowCommandError("can't open file");
  // A directory opens but cannot be read; it is refused like a missing file.
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
    fclose(file);
    ThrowCommandError("can't open file");
  }
  std::optional<LineReader> reader;
  try {
    reader.emplace(file);
  } catch (...) {
    fclose(file);
    throw;
  }
  ++g_scriptDepth;
  bool firstLine = true;
  try {
    while (reader->ReadLine()) {
      std::string& line = reader->Line();
      // Editors on some systems begin a UTF-8 file with a byte-order mark.
      if (firstLine && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      firstLine = false;
      if (line.empty()) continue;
      DispatchLine(line, lineWords);
      FlushPendingOutput();
      FlushStdout();
    }
  } catch (...) {
    --g_scriptDepth;
    fclose(file);
    throw;
  }
  --g_scriptDepth;
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) ThrowCommandError("can't open file");
}

void CmdSkipIfDone(const TokenVector& words) {
  struct stat info;
  if (stat(words[1].c_str(), &info) == 0) SkipLabel = words[2];
  ReplyOk(words);
}

void CmdStdoutRedirect(const TokenVector& words) { Redirect(words, O_TRUNC); }

void CmdStdoutRedirectAppend(const TokenVector& words) { Redirect(words, O_APPEND); }

// The reply goes to the original output; it tells whether everything
// written to the redirect file got there.
void CmdStdoutBack(const TokenVector& words) {
  const int original = OriginalStdoutDescriptor();
  if (original >= 0 && !SwitchStdout(original, std::string())) ThrowCommandError("write failed");
  ReplyOk(words);
}

void CmdIsReady(const TokenVector& words) { ReplyOk(words); }

void CmdSleep(const TokenVector& words) {
  const int64_t ms = ParseInt64(words[1]);
  if (ms < 0) ThrowBadArguments(words);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void CmdRepeat(const TokenVector& words) {
  if (words.size() < 3) ThrowBadArguments(words);
  const int n = ParseInt(words[1]);
  if (n < 1 || n > 99999) ThrowBadArguments(words);
  std::string text;
  for (size_t i = 2; i < words.size(); ++i) {
    if (i > 2) text += ' ';
    text += words[i];
  }
  text += '\n';
  OutputRepeated(text, n, "END\n");
}

void CmdEcho(const TokenVector& words) {
  if (words.size() < 2) ThrowBadArguments(words);
  OutputText(words[1]);
}

void CmdHelp(const TokenVector&) {
  std::vector<std::string> names;
  for (int i = 0; i < CommandTableSize; ++i) {
    const std::string word = CommandTable[i].word;
    if (word.compare(0, 4, "oxa_") != 0) names.push_back(word);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) OutputText(name + "\n");
  Output("END\n");
}
