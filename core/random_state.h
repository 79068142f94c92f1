// The process's random state, seeded from /dev/urandom at start-up.
#pragma once

#include <cstdint>

extern uint32_t RandomState[4];

// Fills the four words from /dev/urandom (word 1 non-zero, word 3 keeps its
// low 29 bits). Words that cannot be read keep their previous values.
void SeedRandomState(uint32_t state[4]);
