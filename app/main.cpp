// Program entry: start-up checks, command line, tables, optional start-up
// script, then the command loop on standard input.
#include <sys/stat.h>
#include <xmmintrin.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <tclap/CmdLine.h>

#include "console/command_line.h"
#include "console/dispatcher.h"
#include "console/script_commands.h"
#include "core/cpu_info.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "core/parallel.h"
#include "core/random_state.h"
#include "core/run_clock.h"
#include "game/hand_evaluator.h"
#include "solver/engine_state.h"

namespace {

struct CommandLineChoices {
  bool verbose = false;
  bool echo = false;
  std::string script;
};

CommandLineChoices ParseCommandLine(int argc, char** argv) {
  CommandLineChoices choices;
  TCLAP::CmdLine cmd("", ' ', "1036");
  TCLAP::SwitchArg server("s", "server", "run as a server", cmd, false);
  TCLAP::ValueArg<int> port("p", "port", "server port (default 5251)", false, 5251, "port", cmd);
  TCLAP::SwitchArg exitSwitch("e", "exit", "exit after client disconnects", cmd, false);
  TCLAP::SwitchArg verbose("v", "verbose", "show debug information", cmd, false);
  TCLAP::SwitchArg echo("o", "echo", "echo commands", cmd, false);
  TCLAP::UnlabeledValueArg<std::string> filename("filename", "script to load", false, "", "script.txt", cmd);
  cmd.parse(argc, argv);
  choices.verbose = verbose.getValue();
  choices.echo = echo.getValue();
  choices.script = filename.getValue();
  return choices;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to a pipe or FIFO whose reader has gone fails with EPIPE, which
  // the output paths answer (core/output.h), instead of ending the process
  // by a signal. Set before any thread starts.
  signal(SIGPIPE, SIG_IGN);
  // Flush-to-zero and denormals-are-zero for the whole run; threads started
  // later inherit the mode.
  _mm_setcsr(_mm_getcsr() | 0x8040);
  omp_get_max_threads();  // starts the parallel runtime

  if (!CpuHasAvx()) {
    printf("Error: AVX-compatible CPU is required.\n");
    fflush(stdout);
    return 1;
  }
  SeedRandomState(RandomState);
  SaveOriginalStdout();

  CommandLineChoices choices;
  try {
    choices = ParseCommandLine(argc, argv);
  } catch (const TCLAP::ArgException& e) {
    fprintf(stderr, "error: %s for arg %s\n", e.error().c_str(), e.argId().c_str());
    return 1;
  }
  if (choices.verbose) Verbosity = 1;
  EchoMode = choices.echo;
  EndLibraryExitsAtOnce();
  // Worker stacks and the C allocator's arenas, and the first team size
  // asked for (the first region starts as many workers as fit).
  LimitThreadMemory();
  SetRequestedTeamSize(DefaultThreadCount());

  if (!InitHandTables()) FatalLine("out of memory\n");
  // The buffers of the input line and of its words, reserved before any
  // command: a line up to the longest command line is always read and split
  // into its words. So are those of a refusal's answer, and the hand-order
  // tables are built: a session that shows the banner has what every
  // command relies on.
  std::optional<LineReader> input;
  std::optional<CommandWords> words;
  try {
    input.emplace(stdin);
    words.emplace();
    ReserveDispatchBuffers();
    BuildHandOrderTables();
  } catch (const std::bad_alloc&) {
    FatalLine("out of memory\n");
  }
  libsubgame_init(0);
  StartTime = std::chrono::system_clock::now();

  printf("pfsolve - heads-up postflop CFR solver\n");
  if (Verbosity > 0) printf("[verbosity %d]\n", Verbosity);
  FlushStdout();

  if (!choices.script.empty()) {
    struct stat info;
    if (stat(choices.script.c_str(), &info) != 0) {
      FatalLine(("ERROR: can't find file '" + choices.script + "'\n").c_str());
    }
    // Quoted, so a name with blanks stays one word. What the start-up script
    // leaves in the reply buffer is printed with the first reply from input.
    try {
      DispatchCommand(SplitCommandLine("load_script \"" + choices.script + "\""));
    } catch (const char*) {
      FlushPendingOutput();
      TerminateProcess(1);
    }
  }

  try {
    while (input->ReadLine()) {
      const std::string& line = input->Line();
      if (line.empty()) continue;
      try {
        DispatchLine(line, *words);
      } catch (const char*) {
        // A codec failure that nothing above the dispatcher handles.
        FlushPendingOutput();
        TerminateProcess(1);
      }
      FlushPendingOutput();
      FlushStdout();
    }
  } catch (const std::bad_alloc&) {
    // A line longer than the longest command line, whose buffer cannot
    // grow (a shorter one is read into the reserved buffer; a split that
    // fails and a command's own allocations are answered by the dispatcher).
    ClearPendingOutput();
    FatalLine("out of memory\n");
  }
  // Replies still pending (from a start-up script, when input was empty).
  FlushPendingOutput();
  FlushStdout();
  TerminateProcess(0);
}
