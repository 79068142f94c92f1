#include "console/solver_commands.h"

std::chrono::system_clock::time_point StartTime{};

void CmdSolverTime(const TokenVector&) {
  const auto elapsed = std::chrono::system_clock::now() - StartTime;
  const double seconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e9;
  Output("%f\n", seconds);
}
