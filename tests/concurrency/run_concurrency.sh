#!/usr/bin/env bash
# Runs a script of queries and stops against a running solve and checks what
# must hold whatever the timing: a clean exit during a solve, "go ok!" before
# each solve's first line, refusals of tree-changing commands while solving,
# and a stop that races the end of one solve never stopping the next.
set -u
bin=$1
script=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}" "$bin" < "$script" > "$out" 2>&1
status=$?
fail() {
  echo "FAILED: $*"
  echo "--- output:"
  cut -c1-200 "$out"
  exit 1
}
[ "$status" -eq 0 ] || fail "exit status $status"
starts=$(grep -c '^SOLVER: started$' "$out")
stops=$(grep -c '^SOLVER: stopped (' "$out")
# The last solve is ended by exit, which may come before its first line.
[ "$starts" -eq 5 ] || [ "$starts" -eq 6 ] || fail "$starts solves started, expected 6 (or 5)"
[ "$stops" -eq 5 ] || fail "$stops solves stopped, expected 5 (the last one is ended by exit)"
# Each solve's first line comes after its acknowledgement.
awk '/^go ok!$/ {acks++} /^SOLVER: started$/ {starts++; if (starts > acks) bad = 1} END {exit bad}' "$out" ||
  fail "a solve printed before its go ok!"
for cmd in go build_tree free_tree cut_line forget solve_all_splits set_compression; do
  grep -q "^ERROR: $cmd Can't do that when solver is running$" "$out" || fail "$cmd was not refused while solving"
done
# The solve started after a stop that raced the end of the previous one runs its 30 steps.
sed -n '/^after-racing-stop$/,$p' "$out" | grep -m1 '^SOLVER: stopped' | grep -q 'required number of steps done' ||
  fail "the racing stop stopped the next solve"
# A solve with a time limit and no reachable target ends by the timeout.
grep -q '^SOLVER: stopped (timeout reached)$' "$out" || fail "go 1 seconds did not end with the timeout"
# Strategy queries during the solve answer whole: two strategy lines at each
# of two nodes, one range line and one lock line of 1326 numbers, a per-hand
# line with both actions, and the reach line with the acting player's action.
lines=$(awk 'NF == 1326' "$out" | wc -l)
[ "$lines" -eq 6 ] || fail "$lines lines of 1326 numbers, expected 6"
grep -Eq '^[2-9TJQKA][cdhs][2-9TJQKA][cdhs]:   [01]\.[0-9]{6}  [01]\.[0-9]{6}$' "$out" || fail "no show_strategy_pp line"
grep -Eq '^OOP [0-9.e+-]+ IP [0-9.e+-]+ c [0-9.e+-]+$' "$out" || fail "no show_probs line"
echo "concurrency script passed"
