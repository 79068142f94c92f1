#include "console/info_commands.h"

#include <cstdio>

#include "core/cpu_info.h"
#include "core/hand_order.h"
#include "core/memory_info.h"

void CmdGetInstructionSet(const TokenVector&) { Output("%s\n", InstructionSetName()); }

void CmdShowCpuInfo(const TokenVector&) {
  // The list goes straight to standard output; its END follows through the
  // reply buffer.
  const std::string text = CpuDescription();
  fwrite(text.data(), 1, text.size(), stdout);
  Output("END\n");
}

void CmdShowMemory(const TokenVector&) {
  const uint64_t total = TotalPhysicalMemory();
  const uint64_t available = AvailablePhysicalMemory();
  Output("Total Physical Memory: %d MB\n", static_cast<int>(total >> 20));
  Output("Available Phys Memory: %d MB\n", static_cast<int>(available >> 20));
  Output("END\n");
}

void CmdShowHandOrder(const TokenVector&) { OutputText(HandOrderString + "\n"); }
