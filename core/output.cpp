#include "core/output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <stdio_ext.h>
#include <unistd.h>

std::mutex OutputMutex;
std::string CurrentCommandName;
int Verbosity = 0;
bool EchoMode = false;

namespace {

std::string PendingOutput;
// What the reply buffer keeps once reserved (ReservePendingOutput).
constexpr size_t kPendingReserve = 4096;

// Where standard output goes while it is redirected, and whether a write to
// it failed; guarded by OutputMutex.
struct Redirection {
  bool active = false;
  bool failed = false;
  std::string target;
  // The line that says so, due on standard error once the lock is released.
  bool lineDue = false;
  char line[4400] = {};
  // The original output's reader is gone: the process ends once the line
  // is said.
  bool endDue = false;
};
Redirection StdoutRedirection;

// A duplicate of the standard output the process started with; -1 until
// SaveOriginalStdout.
int OriginalStdout = -1;

// With the output lock held: a write to standard output failed with `error`
// (0 when it is not known). The first failure of a redirection is recorded.
void NoteWriteFailure(int error) {
  Redirection& r = StdoutRedirection;
  if (!r.active) {
    // The original output fails with EPIPE when its reader has closed the
    // pipe: nothing written there can be read any more, so the process ends
    // as a console program whose output went away does. Other failures of
    // the original output are not reported.
    if (error == EPIPE && !r.endDue) {
      snprintf(r.line, sizeof r.line, "ERROR: standard output lost: %s\n", strerror(error));
      r.lineDue = true;
      r.endDue = true;
    }
    return;
  }
  if (r.failed) return;
  r.failed = true;
  snprintf(r.line, sizeof r.line, "ERROR: output to '%s' lost: %s\n", r.target.c_str(),
           error != 0 ? strerror(error) : "write error");
  r.lineDue = true;
}

// The output lock. A loss recorded while it was held is said on standard
// error after it is released: standard error may block (a full pipe), and
// the other printers, the solver thread among them, must not wait for it.
class OutputLock {
 public:
  OutputLock() : lock_(OutputMutex) {}
  ~OutputLock() {
    Redirection& r = StdoutRedirection;
    const bool due = r.lineDue;
    const bool end = r.endDue;
    char line[sizeof r.line];
    if (due) {
      memcpy(line, r.line, sizeof line);
      r.lineDue = false;
    }
    lock_.unlock();
    if (due) {
      fputs(line, stderr);
      fflush(stderr);
    }
    if (end) TerminateProcess(1);
  }
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// With the output lock held. The error is taken right at the failed call:
// later calls may change errno.
void WriteChecked(const char* data, size_t size) {
  if (fwrite(data, 1, size, stdout) != size) NoteWriteFailure(errno);
}

void FlushLocked() {
  if (fflush(stdout) != 0) {
    NoteWriteFailure(errno);
  } else if (ferror(stdout)) {
    // A write outside these paths failed; its error is gone.
    NoteWriteFailure(0);
  }
}

// Formats into `stack` when the text fits there (no allocation), else into
// `heap`, of whatever length the text needs; returns the text.
constexpr size_t kFormatStack = 1024;
std::string_view FormatV(char (&stack)[kFormatStack], std::string& heap, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = vsnprintf(stack, sizeof stack, format, copy);
  va_end(copy);
  if (n < 0) return std::string_view();
  if (static_cast<size_t>(n) < sizeof stack) return std::string_view(stack, n);
  heap.assign(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&heap[0], heap.size(), format, args);
  heap.resize(n);
  return heap;
}

void WriteLines(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) {
      WriteChecked(text.data() + pos, end - pos);
      if (fputc('\n', stdout) == EOF) NoteWriteFailure(errno);
    }
    pos = end + 1;
  }
}

// Adds `text` to the pending reply. When the buffer cannot grow, the reply
// is not lost: what is pending and the text are printed now.
void AppendPending(std::string_view text) {
  try {
    PendingOutput.append(text);
  } catch (const std::bad_alloc&) {
    const OutputLock lock;
    WriteLines(PendingOutput);
    PendingOutput.clear();
    WriteLines(text);
  }
}

}  // namespace

void Output(const char* format, ...) {
  if (format[0] == '#') return;
  va_list args;
  va_start(args, format);
  char stack[kFormatStack];
  std::string heap;
  AppendPending(FormatV(stack, heap, format, args));
  va_end(args);
}

void OutputText(std::string_view text) {
  if (!text.empty() && text[0] == '#') return;
  AppendPending(text);
}

void FlushPendingOutput() {
  if (PendingOutput.empty()) return;
  const OutputLock lock;
  WriteLines(PendingOutput);
  PendingOutput.clear();
}

void OutputRepeated(const std::string& text, int64_t times, const std::string& trailer) {
  if (text.empty() || text[0] == '#') times = 0;
  // Written in chunks of whole copies under the lock, so that the block stays
  // in one piece and the memory held never grows with the count.
  const OutputLock lock;
  WriteLines(PendingOutput);
  PendingOutput.clear();
  const int64_t perChunk = std::max<int64_t>(1, static_cast<int64_t>((1u << 20) / text.size()));
  std::string chunk;
  for (int64_t i = 0; i < std::min(perChunk, times); ++i) chunk += text;
  for (int64_t done = 0; done < times;) {
    const int64_t copies = std::min(perChunk, times - done);
    if (copies == perChunk)
      WriteLines(chunk);
    else
      WriteLines(chunk.substr(0, static_cast<size_t>(copies) * text.size()));
    done += copies;
  }
  WriteLines(trailer);
}

void TakePendingOutput(std::string& out) {
  std::lock_guard<std::mutex> lock(OutputMutex);
  out = PendingOutput;
  PendingOutput.clear();
}

void ClearPendingOutput() {
  if (PendingOutput.capacity() <= kPendingReserve) {
    PendingOutput.clear();
    return;
  }
  // The buffer grew past its reserve (with the reply that exhausted the
  // memory, maybe): it is given back before the reserve is made anew, where
  // memory allows (a line that then finds no room is printed at once).
  std::string().swap(PendingOutput);
  try {
    ReservePendingOutput();
  } catch (const std::bad_alloc&) {
  }
}

void ReservePendingOutput() { PendingOutput.reserve(kPendingReserve); }

namespace {
void PrintFormattedNow(const char* format, va_list args) {
  if (format[0] == '#') return;
  char stack[kFormatStack];
  std::string heap;
  const std::string_view text = FormatV(stack, heap, format, args);
  const OutputLock lock;
  WriteChecked(text.data(), text.size());
  FlushLocked();
}
}  // namespace

void PrintNow(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintFormattedNow(format, args);
  va_end(args);
}

// The same as PrintNow: every immediate line is flushed at once.
void PrintNowFlush(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintFormattedNow(format, args);
  va_end(args);
}

void FlushStdout() {
  const OutputLock lock;
  FlushLocked();
}

bool SwitchStdout(int fd, const std::string& target) {
  std::string name = target;  // copied first: a failed allocation changes nothing
  bool lost;
  {
    const OutputLock lock;
    FlushLocked();
    lost = StdoutRedirection.active && StdoutRedirection.failed;
    // Bytes the old output did not take must not reach the new one. A failed
    // flush empties the buffer in the C library this is built with, but a
    // library may keep them for a later attempt.
    __fpurge(stdout);
    clearerr(stdout);
    dup2(fd, STDOUT_FILENO);
    StdoutRedirection.active = !name.empty();
    StdoutRedirection.failed = false;
    StdoutRedirection.target.swap(name);
  }
  return !lost;
}

void SaveOriginalStdout() {
  if (OriginalStdout < 0) OriginalStdout = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 10);
}

int OriginalStdoutDescriptor() { return OriginalStdout; }

void OpenClosedStandardDescriptors() {
  // In order: open takes the lowest free number, the closed one itself.
  const int flags[3] = {O_RDONLY, O_WRONLY, O_WRONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", flags[fd]);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

void ReplyOk(const TokenVector& words) { Output("%s ok!\n", words[0].c_str()); }

CommandError::CommandError(const char* word, const char* message) {
  snprintf(text_, sizeof text_, "ERROR: %s %s\n", word, message);
}

void ThrowCommandError(const char* message) { throw CommandError(CurrentCommandName.c_str(), message); }

void ThrowBadArguments(const TokenVector& words) {
  throw CommandError(words.empty() ? "" : words[0].c_str(), "incorrect or missing argument");
}


namespace {

// Takes the output lock if it can be had: a thread printing right now
// finishes its line first. Never waits for ever (the caller may hold it).
void TakeOutputLockBriefly() {
  bool locked = false;
  for (int i = 0; i < 200 && !locked; ++i) {
    locked = OutputMutex.try_lock();
    if (!locked) usleep(5000);
  }
}

}  // namespace

void WriteEndingLine(const char* text) {
  const Redirection& r = StdoutRedirection;
  const bool lostBefore = r.active && (r.failed || ferror(stdout));
  bool written = fputs(text, stdout) != EOF;
  written = fflush(stdout) == 0 && written;
  if (!r.active || (written && !lostBefore) || OriginalStdout < 0) return;
  const size_t size = strlen(text);
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(OriginalStdout, text + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void TerminateProcess(int status) {
  TakeOutputLockBriefly();
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

namespace {

// The last bytes written through the C library's standard error stream,
// which is replaced at start-up by one that writes straight to descriptor 2
// and keeps them: a library that exits says why there, and only there. Its
// writes come one at a time under the stream's lock; no allocation.
constexpr size_t kErrorTailBytes = 256;
char ErrorTail[kErrorTailBytes];
size_t ErrorTailLength = 0;

ssize_t WriteStandardError(void*, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t written = write(STDERR_FILENO, data + done, size - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
  // Every byte is kept, written or not: the tail is the library's message.
  if (size >= kErrorTailBytes) {
    memcpy(ErrorTail, data + size - kErrorTailBytes, kErrorTailBytes);
    ErrorTailLength = kErrorTailBytes;
  } else {
    const size_t keep = std::min(ErrorTailLength, kErrorTailBytes - size);
    memmove(ErrorTail, ErrorTail + ErrorTailLength - keep, keep);
    memcpy(ErrorTail + keep, data, size);
    ErrorTailLength = keep + size;
  }
  return done > 0 || size == 0 ? static_cast<ssize_t>(done) : -1;
}

// Set when the stream above could not be made: memory was short already.
bool NoErrorTail = false;

void KeepStandardErrorTail() {
  cookie_io_functions_t functions = {};
  functions.write = WriteStandardError;
  FILE* stream = fopencookie(nullptr, "w", functions);
  if (!stream) {
    NoErrorTail = true;
    return;
  }
  setvbuf(stream, nullptr, _IONBF, 0);
  fflush(stderr);
  stderr = stream;
}

bool LibraryExitsEndAtOnce = false;

// Whether the last line on standard error is the OpenMP runtime's own
// allocation failure ("libgomp: Out of memory allocating N bytes"). Where
// the tail could not be made for want of memory before the libraries
// started, an exit before the program is under way is the runtime's failed
// start-up allocation (it allocates at once, and can find nothing either).
bool LibraryRanOutOfMemory() {
  if (NoErrorTail) return !LibraryExitsEndAtOnce;
  static const char kMessage[] = "libgomp: Out of memory";
  return memmem(ErrorTail, ErrorTailLength, kMessage, sizeof kMessage - 1) != nullptr;
}

bool WatchingLibraryExits = false;

void EndAtOnceAfterLibraryExit() {
  // The runtime's allocation failed: a memory ending like the program's own.
  if (LibraryRanOutOfMemory()) {
    TakeOutputLockBriefly();
    WriteEndingLine("out of memory\n");
    _exit(1);
  }
  // Before EndLibraryExitsAtOnce (the command line's own exits among them)
  // an exit runs as usual.
  if (!LibraryExitsEndAtOnce) return;
  TakeOutputLockBriefly();
  fflush(stdout);
  static const char kLine[] = "fatal error: a library ended the process (its message is above)\n";
  fflush(stderr);
  if (write(STDERR_FILENO, kLine, sizeof kLine - 1) < 0) {
    // Nothing more can be said.
  }
  _exit(1);
}

}  // namespace

void WatchLibraryExits() {
  if (!WatchingLibraryExits) KeepStandardErrorTail();
  WatchingLibraryExits = true;
  // Exit handlers run last registered first: registered again, the ending
  // comes before the destructors of the static objects made since (one of
  // them, a condition variable a thread waits on, would never finish).
  atexit(EndAtOnceAfterLibraryExit);
}

void EndLibraryExitsAtOnce() {
  WatchLibraryExits();
  LibraryExitsEndAtOnce = true;
}

void FatalLine(const char* text) {
  TakeOutputLockBriefly();
  WriteEndingLine(text);
  fflush(stderr);
  _exit(1);
}

void Fail(const char* message) {
  if (!message) FatalLine("fail\n");
  // The messages are short texts of the program's own; a longer one is cut.
  char line[320];
  snprintf(line, sizeof line, "fail (%s)\n", message);
  if (strlen(line) == sizeof line - 1) memcpy(line + sizeof line - 3, ")\n", 3);
  FatalLine(line);
}
