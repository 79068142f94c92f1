#include "core/run_clock.h"

std::chrono::system_clock::time_point StartTime{};

double SecondsSinceStart() {
  const auto elapsed = std::chrono::system_clock::now() - StartTime;
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e9;
}
