// Runs before any other code of the program (including static initialisers):
// the rest of the program is built for x86-64-v2, so a processor without
// SSE4.2 or POPCNT is turned away here with a message instead of crashing on
// an unknown instruction. This file is compiled for plain x86-64.
//
// Before the check, a standard descriptor that is closed is opened on
// /dev/null (core/output.h), so that no file opened later takes its number.
// It runs from the executable's pre-initialisation functions, which come
// before the shared libraries' own start-up, and then starts watching the
// libraries' exits (core/output.h): the OpenMP runtime makes its first
// allocations in its start-up, and its failure there is then said as a
// memory ending too. The sanitizers start in the same place, so their builds
// run the check as the first constructor and watch from main.
#include <cpuid.h>
#include <unistd.h>

#include "core/output.h"

namespace {

void WriteText(const char* text) {
  const char* end = text;
  while (*end) ++end;
  ssize_t ignored = write(STDOUT_FILENO, text, static_cast<size_t>(end - text));
  (void)ignored;
}

void CheckRequiredInstructionSets() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    WriteText("This program needs a processor that reports its features through CPUID.\n");
    _exit(1);
  }
  struct Requirement {
    const char* name;
    unsigned int reg;
    int bit;
  };
  const Requirement requirements[] = {
      {"SSE", edx, 25},    {"SSE2", edx, 26},   {"SSE3", ecx, 0},    {"SSSE3", ecx, 9},
      {"SSE4.1", ecx, 19}, {"SSE4.2", ecx, 20}, {"POPCNT", ecx, 23},
  };
  bool missing = false;
  for (const Requirement& r : requirements) {
    if (!((r.reg >> r.bit) & 1)) {
      if (!missing) WriteText("This program needs a processor with these instruction sets, which are missing:");
      WriteText(" ");
      WriteText(r.name);
      missing = true;
    }
  }
  if (missing) {
    WriteText("\n");
    _exit(1);
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
__attribute__((constructor(101))) void StartChecks() {
  OpenClosedStandardDescriptors();
  CheckRequiredInstructionSets();
}
#else
void StartChecks(int, char**, char**) {
  OpenClosedStandardDescriptors();
  CheckRequiredInstructionSets();
  WatchLibraryExits();
}
__attribute__((section(".preinit_array"), used)) void (*const kStartChecks)(int, char**, char**) = StartChecks;
#endif

}  // namespace
