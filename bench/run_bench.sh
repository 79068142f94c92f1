#!/usr/bin/env bash
# Runs the fixed benchmark spots at 1 thread and at 6 and all threads and
# prints one line of figures per run.
# Usage: bench/run_bench.sh [--levels "L ..."] [--threads "T ..."] [SPOT...]
# --levels runs each spot at each compression level (set_compression words
# or 0..4); without it the spots keep their own setting.
set -euo pipefail
cd "$(dirname "$0")/.."
levels=("")
threadCounts=(1 6 "$(nproc)")
while [ $# -gt 0 ]; do
  case "$1" in
    --levels) read -r -a levels <<< "$2"; shift 2 ;;
    --threads) read -r -a threadCounts <<< "$2"; shift 2 ;;
    *) break ;;
  esac
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j4 --target solve_bench > /dev/null
spots=("$@")
if [ ${#spots[@]} -eq 0 ]; then
  spots=(../shared/bench/river-spot.txt ../shared/bench/turn-spot.txt ../shared/bench/flop-3bet-pot.txt)
fi
for spot in "${spots[@]}"; do
  for level in "${levels[@]}"; do
    for threads in "${threadCounts[@]}"; do
      option=()
      if [ -n "$level" ]; then option=(--compression="$level"); fi
      ./build/bench/solve_bench "${option[@]}" "$spot" "$threads" || echo "$spot: failed"
    done
  done
done
