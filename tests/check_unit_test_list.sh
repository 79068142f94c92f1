#!/usr/bin/env bash
# Compares the tests the unit-test binary holds with the list registered with
# ctest (read from the sources at configure time): a test the registration
# missed would otherwise never run.
set -euo pipefail
"$1" --gtest_list_tests | awk '/^[^ ]/ {suite = $1} /^  / {print suite $1}' | sort > "$2.binary"
if ! diff -u "$2" "$2.binary"; then
  echo "FAILED: the registered unit tests differ from the binary's list (re-run cmake?)"
  exit 1
fi
echo "$(wc -l < "$2") unit tests registered"
