// Runs before any other code of the program (including static initialisers):
// the rest of the program is built for x86-64-v2, so a processor without
// SSE4.2 or POPCNT is turned away here with a message instead of crashing on
// an unknown instruction. This file is compiled for plain x86-64.
#include <cpuid.h>
#include <unistd.h>

namespace {

void WriteText(const char* text) {
  const char* end = text;
  while (*end) ++end;
  ssize_t ignored = write(STDOUT_FILENO, text, static_cast<size_t>(end - text));
  (void)ignored;
}

__attribute__((constructor(101))) void CheckRequiredInstructionSets() {
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

}  // namespace
