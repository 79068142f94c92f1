#include "core/random_state.h"

#include <cstdio>

uint32_t RandomState[4] = {123456789u, 362436u, 521288629u, 7654321u};

namespace {
// One word from the device, opened and closed for each word.
bool ReadRandomWord(uint32_t& word) {
  FILE* device = fopen("/dev/urandom", "rb");
  if (!device) return false;
  const bool ok = fread(&word, sizeof word, 1, device) == 1;
  fclose(device);
  return ok;
}
}  // namespace

void SeedRandomState(uint32_t state[4]) {
  uint32_t word;
  if (ReadRandomWord(word)) state[0] = word;
  // Word 1 must not be zero; give up after a few tries rather than spin.
  for (int attempt = 0; attempt < 64; ++attempt) {
    if (!ReadRandomWord(word)) break;
    if (word != 0) {
      state[1] = word;
      break;
    }
  }
  if (ReadRandomWord(word)) state[2] = word;
  if (ReadRandomWord(word)) state[3] = word & 0x1FFFFFFFu;
}
