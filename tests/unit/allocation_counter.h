// The C++ allocations made, by any thread, while counting is on. Every form
// of operator new is replaced for the whole unit-test binary (in
// test_dispatcher.cpp).
#pragma once

#include <atomic>

extern std::atomic<bool> CountingAllocations;
extern std::atomic<int> Allocations;
