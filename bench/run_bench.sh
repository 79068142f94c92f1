#!/usr/bin/env bash
# Runs the fixed benchmark spots at 1 thread and at 6 and all threads and
# prints one line of figures per run. Usage: bench/run_bench.sh [SPOT...]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j"$(nproc)" --target solve_bench > /dev/null
spots=("$@")
if [ ${#spots[@]} -eq 0 ]; then
  spots=(../shared/bench/river-spot.txt ../shared/bench/turn-spot.txt ../shared/bench/flop-3bet-pot.txt)
fi
for spot in "${spots[@]}"; do
  for threads in 1 6 "$(nproc)"; do
    ./build/bench/solve_bench "$spot" "$threads" || echo "$spot: failed"
  done
done
