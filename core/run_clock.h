// The time the program started, taken once at start-up after the worker
// warm-up and before the banner.
#pragma once

#include <chrono>

extern std::chrono::system_clock::time_point StartTime;

// Seconds since StartTime.
double SecondsSinceStart();
