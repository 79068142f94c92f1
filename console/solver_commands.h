// Solver-control commands and results printing.
#pragma once

#include <chrono>

#include "console/output.h"

// Taken once at start-up, after the worker warm-up and before the banner.
extern std::chrono::system_clock::time_point StartTime;

void CmdSolverTime(const TokenVector& words);
