// Reply buffer, immediate printing, command errors and the fatal-failure routine.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using TokenVector = std::vector<std::string>;

// The error every refusal and bad input is raised as; its text is the whole
// reply line, "ERROR: <word> <message>\n" cut at 255 characters, printed
// unchanged by the dispatcher. The text is kept in the object itself, so a
// refusal is raised and answered without memory from the heap (the memory
// may be all but gone when it is).
class CommandError : public std::exception {
 public:
  CommandError(const char* word, const char* message);
  const char* what() const noexcept override { return text_; }

 private:
  char text_[256];
};

extern std::mutex OutputMutex;
extern std::string CurrentCommandName;
extern int Verbosity;
extern bool EchoMode;

// Appends formatted text to the pending reply. A format whose first character
// is '#' is a suppressed diagnostic. No lock is taken (main thread only).
void Output(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Appends text unchanged (never used as a format); the '#' rule still applies.
// Neither allocates while the text (formatted on the stack when it is
// shorter than 1024 characters) fits the reply buffer's free room. When the
// buffer cannot grow, the pending reply is printed as it stands (as by
// FlushPendingOutput), then the text, at once.
void OutputText(std::string_view text);
// Prints the pending reply, then `times` copies of `text` (the same rules as
// OutputText) written out as they are produced, then `trailer`, all in one
// block under the lock.
void OutputRepeated(const std::string& text, int64_t times, const std::string& trailer);
// Prints the pending reply line by line (empty lines dropped) under the lock.
void FlushPendingOutput();
// Copies the pending reply into `out` and empties the buffer, which keeps
// its memory.
void TakePendingOutput(std::string& out);
// Discards the pending reply and frees the memory its buffer holds beyond
// the reserve below.
void ClearPendingOutput();
// Reserves the reply buffer's 4 KB, which it keeps from then on: a refusal's
// line (at most 255 characters) is added to an empty reply without
// allocating. Called at start; throws std::bad_alloc.
void ReservePendingOutput();

// Immediate printing for the solver thread, under the output lock, flushed.
void PrintNow(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintNowFlush(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Flushes standard output. While it is redirected (SwitchStdout), the first
// write to the redirect file that fails is recorded, with the error of that
// write, and said once on standard error, after the output lock is released:
//   ERROR: output to 'FILE' lost: REASON
// (REASON the system's text for the error). Every print path above records
// such a failure the same way. A write to the original output that fails
// with EPIPE (its reader has gone; SIGPIPE is ignored) ends the process
// with status 1 after "ERROR: standard output lost: REASON" on standard
// error; its other failures are not reported.
void FlushStdout();
// Flushes standard output and points it at `fd` (duplicated onto descriptor
// 1; the stream keeps working). `target` names the new redirect file; empty
// when `fd` is the original output. Bytes that the old output did not take
// are discarded, never written to the new one, and the stream's error state
// is cleared, so every redirection starts with no failure. Returns false when
// writes to the redirection it ends were lost.
bool SwitchStdout(int fd, const std::string& target);

// Remembers the standard output the process started with (a duplicate of
// descriptor 1), for stdoutback and for the endings below.
void SaveOriginalStdout();
// That duplicate; -1 before SaveOriginalStdout.
int OriginalStdoutDescriptor();

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (0 for
// reading, 1 and 2 for writing), so that no file opened later takes a
// standard number (a redirect file on 1 would be lost by its own dup2). The
// program calls it first, before anything opens a file.
void OpenClosedStandardDescriptors();

// "%s ok!\n" with the command word.
void ReplyOk(const TokenVector& words);

// Raises "ERROR: <CurrentCommandName> <message>\n".
[[noreturn]] void ThrowCommandError(const char* message);
[[noreturn]] void ThrowBadArguments(const TokenVector& words);

// Writes the line an ending prints (with the output lock taken, or given up
// on) to standard output and flushes it. While output is redirected, a line
// the redirect file does not take, or any line after writes to it were lost,
// is also written to the original standard output, straight to its
// descriptor with write(2), which needs no memory (nor raises a signal:
// SIGPIPE is ignored): the reason the process ended can always be read.
void WriteEndingLine(const char* text);

// Prints one line to standard output (WriteEndingLine) and ends the process
// with status 1. Worker threads end here too: the output lock is taken when
// it can be had (never waited for for ever), so no half line of another
// thread is cut, and the process ends at once without running static
// destructors.
[[noreturn]] void FatalLine(const char* text);
// Prints "fail (%s)\n" (or "fail") the same way; a line longer than 319
// characters is cut (and still ends with ")\n").
[[noreturn]] void Fail(const char* message = nullptr);

// From the call on, an exit() whose last line on standard error is the
// OpenMP runtime's failed allocation ("libgomp: Out of memory allocating N
// bytes") ends the process at once with "out of memory" on standard output
// and status 1, as every other memory ending; other exits run as usual. The
// C library's standard error stream is replaced by one that writes straight
// to descriptor 2 and keeps a tail of what was written. The program calls it
// before the shared libraries start (the OpenMP runtime allocates then).
void WatchLibraryExits();

// WatchLibraryExits again (its ending, registered once more, then runs
// before the destructors of the static objects made since the first call),
// and from the call on, any other exit() that the program does not make
// itself ends the process at once with status 1, after flushing the output
// and printing "fatal error: a library ended the process (its message is
// above)" on standard error. A runtime library exits on its fatal errors (the OpenMP
// runtime when it cannot start a worker thread) from any thread; the static
// destructors exit() would run wait for threads that are still at work (a
// condition variable waited on never finishes its destructor), so the
// process would never end. The program's own ends go through
// TerminateProcess, never through exit().
void EndLibraryExitsAtOnce();

// Ends the process at once with `status` after flushing standard output and
// error. Static destructors do not run, so a live solver or worker thread can
// never race them; the output lock is held so no half line is printed.
[[noreturn]] void TerminateProcess(int status);
