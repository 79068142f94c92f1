#!/usr/bin/env bash
# Builds (if needed) and runs every test: the concurrency script in a
# ThreadSanitizer build whose parallel regions run on their calling thread
# (the OpenMP runtime is not instrumented); every test (each unit test in both
# kernel variants, the console transcripts, the concurrency script, the
# hostile sessions) under AddressSanitizer and UndefinedBehaviorSanitizer,
# except the baseline variant of the longest whole solves and the repeated
# solves that watch the scalable allocator's memory (tests/CMakeLists.txt
# lists both); then every test again in the Release build, where the worker
# teams run in parallel, with the processor's kernel variant, plus those left
# out above and the layering check. ctest runs as many tests at once as there
# are cores.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Worker teams of tests that run side by side wait passively rather than spin
# on cores the other tests need.
export OMP_WAIT_POLICY=passive
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPFSOLVE_OPENMP=OFF -DPFSOLVE_SANITIZE=thread > /dev/null
cmake --build build-tsan -j"$jobs" --target pfsolve
(cd build-tsan && ctest --output-on-failure -R '^concurrency$')
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPFSOLVE_OPENMP=OFF \
  -DPFSOLVE_SANITIZE="address,undefined" > /dev/null
cmake --build build-asan -j"$jobs" --target pfsolve unit_tests
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs" -E '^layering$' -LE '^(baseline_long|release_only)$')
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" -LE '^baseline$')
