#!/usr/bin/env bash
# Builds (if needed) and runs every test: the unit tests, once with the best
# kernel variant and once with the AVX baseline forced, and the console
# transcripts.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j"$(nproc)"
