#!/usr/bin/env bash
# The program short of resources: under a capped address space (ulimit -v)
# every case must end, by answering or by exiting, within a bounded time; a
# redirect file that takes no data is said so.
set -u
bin=$1
failed=0
fail() {
  echo "$1"
  failed=1
}

# A repeat of a long text tens of thousands of times writes its copies as it
# goes: with the address space capped far below the size of the whole reply,
# the block still ends with END and the program answers the next command.
text=$(head -c 30000 /dev/zero | tr '\0' 'x')
tail=$( { printf 'repeat 99999 %s\nis_ready\n' "$text" | (ulimit -v 1000000; exec "$bin"); echo "status $?"; } \
        | tail -n 3)
expected=$'END\nis_ready ok!\nstatus 0'
if [ "$tail" != "$expected" ]; then
  fail "repeat: unexpected end of output:"$'\n'"$tail"
else
  echo "repeat under a 1 GB address space: 3 GB written, then END and the next reply"
fi

# A small turn tree solved by one thread; while it runs, a thread count far
# beyond what 4 GB can hold, a refused go, a query that waits for the
# iteration and a wait for the solver.
weights=$(yes 1 | head -n 1326 | tr '\n' ' ')
session() {
  printf '%s\n' "set_board Ks 9d 4c 2h" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights" \
    "add_line 0 0" "add_line 0 50 50" "set_threads 1" "build_tree" "go 2 seconds" "set_threads $1" \
    "go 2 seconds" "calc_ev IP r:0" "wait_for_solver" "is_ready"
}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The teams are bounded to what the address space can hold: every command
# is answered.
session 22222 | (ulimit -v 4000000; exec timeout 60 "$bin") > "$dir/out" 2> "$dir/err"
status=$?
if [ $status != 0 ] || [ "$(tail -n 1 "$dir/out")" != "is_ready ok!" ] || [ -s "$dir/err" ]; then
  fail "set_threads 22222 under 4 GB: status $status, last line '$(tail -n 1 "$dir/out")', error output:"$'\n'"$(head -c 600 "$dir/err")"
else
  echo "set_threads 22222 under a 4 GB address space: every command answered"
fi

# Worker stacks of 1 GB (more than the bound counts on) with one worker at
# start-up: the team of 8 cannot be made. The runtime's fatal error ends the
# process at once, while the console waits for the solver, with status 1
# and a line of its own on standard error.
session 8 | (ulimit -v 4000000; OMP_NUM_THREADS=1 OMP_STACKSIZE=1G exec timeout 30 "$bin") > "$dir/out" 2> "$dir/err"
status=$?
last=$(tail -n 1 "$dir/err")
if [ $status != 1 ] || [ "$last" != "fatal error: a library ended the process (its message is above)" ]; then
  fail "a team that cannot be made: status $status (124: no end within 30 s), error output:"$'\n'"$(head -c 600 "$dir/err")"
else
  echo "a team that cannot be made: the process ends with status 1 and '$last'"
fi

# A river tree whose solver thread cannot be made: its tree and storages fit
# (calc_results answers), the thread's stack does not. The cap where that
# happens depends on the machine, so a range of caps is tried. Each session
# must end within seconds (below some caps the process ends for want of
# memory elsewhere). Where a go is refused, its wait returns at once and
# is_ready is answered, and each go is either refused or runs its solve: a
# refused one leaves no solve half started. At least one cap must show the
# refusal.
river() {
  printf '%s\n' "set_compression none" "set_board As 8d 7h 4c 2s" "set_pot 0 0 100" "set_range OOP $weights" \
    "set_range IP $weights" "add_line 0 0" "add_line 0 50 50" "add_line 50 50" "build_tree" "calc_results"
}
refused='ERROR: go out of memory'$'\n''is_ready ok!'
solved='go ok!'$'\n''SOLVER: stopped \(required number of steps done\)'$'\n''is_ready ok!'
refusedCap=""
refusals=0
for cap in $(seq 8000 1000 24000); do
  { { river; printf 'go 2 steps\nwait_for_solver\nis_ready\ngo 2 steps\nwait_for_solver\nis_ready\n'; } \
      | (ulimit -v $cap; exec timeout 10 "$bin") > "$dir/out" 2>&1; } 2> /dev/null
  status=$?
  if [ $status = 124 ]; then
    fail "go under a $cap KB address space: no end within 10 s, last lines:"$'\n'"$(tail -n 3 "$dir/out")"
    break
  fi
  # Below the caps that refuse, the process may end for want of memory, but
  # by exiting with status 1 after "out of memory", never by a signal.
  if [ $status -gt 128 ]; then
    fail "go under a $cap KB address space: ended by signal $((status - 128)), last lines:"$'\n'"$(tail -n 3 "$dir/out")"
  fi
  grep -q '^ERROR: go out of memory$' "$dir/out" || continue
  replies=$(sed -n '/^Exploitable for/,$p' "$dir/out" | grep -E '^(go|ERROR|is_ready|Can|Resource|SOLVER: stopped)')
  if [ $status != 0 ] || ! [[ $replies =~ ^($refused|$solved)$'\n'($refused|$solved)$ ]]; then
    fail "go refused under a $cap KB address space: status $status, replies:"$'\n'"$replies"
  fi
  [ -z "$refusedCap" ] && refusedCap=$cap
  refusals=$((refusals + 1))
done
if [ -z "$refusedCap" ]; then
  fail "go: no cap from 8000 to 24000 KB refused the solver thread"
else
  echo "go under capped address spaces: refused under $refusals caps (the first $refusedCap KB), every session answered"
fi

# Once the address space is there again (the cap raised from outside), the
# next go starts the solve.
read_until() {
  local line
  while IFS= read -r -t 10 line <&"${SOLVER[0]}"; do
    seen+="$line"$'\n'
    [ "$line" = "$1" ] && return 0
  done
  return 1
}
if [ -n "$refusedCap" ]; then
  coproc SOLVER { ulimit -S -v "$refusedCap"; exec "$bin" 2>&1; }
  pid=$SOLVER_PID
  { river; printf 'go 2 steps\nwait_for_solver\nis_ready\n'; } >&"${SOLVER[1]}"
  seen=""
  read_until "is_ready ok!"
  first=$seen
  seen=""
  if [[ $first == *$'\nERROR: go out of memory\nis_ready ok!\n' ]] && prlimit --pid "$pid" --as=unlimited; then
    printf 'go 2 steps\nwait_for_solver\nis_ready\n' >&"${SOLVER[1]}"
    read_until "is_ready ok!"
  fi
  expected=$'go ok!\nSOLVER: started\nSOLVER: stopped (required number of steps done)\nis_ready ok!\n'
  if [ "$seen" != "$expected" ]; then
    fail "go after the cap was raised: before, '$(tail -n 2 <<< "$first" | tr '\n' '|')'; after:"$'\n'"$seen"
  else
    echo "go after the cap was raised: the solve runs"
  fi
  eval "exec ${SOLVER[1]}>&-"
  wait "$pid"
fi

# A flop tree with full ranges whose storages take about 450 MB uncompressed
# and 50 MB at the highest compression; its tree alone takes far less.
flop() {
  printf '%s\n' "set_compression $1" "set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $weights" \
    "set_range IP $weights"
  local f t r a b line x
  for f in "0 0" "50 50"; do
    a=${f##* }
    for t in "0 0" "50 50" "0 50 50"; do
      b=$((a + ${t##* }))
      for r in "0 0" "50 50" "0 50 50" "50"; do
        line="add_line $f"
        for x in $t; do line+=" $((a + x))"; done
        for x in $r; do line+=" $((b + x))"; done
        echo "$line"
      done
    done
  done
  printf '%s\n' "set_threads 2" "build_tree"
}
turn=r:0:c:c:3s
river=$turn:c:c:4d
halves=$(yes 0.5 | head -n 1326 | tr '\n' ' ')

# Under 200 MB the uncompressed storages cannot be made: every command that
# reads or solves the tree is refused before its pass (none answers from
# storages that were never made, none ends the process), and the same
# session then solves the tree at the highest compression.
refusedCommands=("go" "calc_results" "forget rivers" "solve_all_splits turns" "show_strategy r:0"
  "show_strategy_pp $river" "show_probs $turn" "show_range OOP $river:c" "show_locked_combos $river"
  "calc_ev OOP r:0" "calc_ev_pp IP $turn" "calc_eq OOP" "calc_eq_node OOP $river" "calc_line_freq $river:c"
  "calc_global_freq $river" "lock_node $river" "unlock_node $river" "set_strategy $river 0 $halves"
  "combo_lock_node $river $halves" "solve_partial $turn" "explo_partial $river")
{ flop none; printf '%s\n' "${refusedCommands[@]}" "is_ready" "set_compression max" "build_tree" "go 1 steps" \
    "wait_for_solver" "show_probs $turn" "calc_results"; } \
  | (ulimit -v 200000; exec timeout 60 "$bin") > "$dir/out" 2> "$dir/err"
status=$?
expected=""
for command in "${refusedCommands[@]}"; do expected+="ERROR: ${command%% *} out of memory"$'\n'; done
expected+=$'is_ready ok!\nset_compression ok!\nbuild_tree ok!\ngo ok!\nSOLVER: started\n'
expected+=$'SOLVER: stopped (required number of steps done)\n'
# The replies after the first build_tree, less the probabilities and results.
replies=$(sed -n '/^build_tree ok!$/,$p' "$dir/out" | tail -n +2 | head -n -7)
probs=$(tail -n 7 "$dir/out" | head -n 1)
if [ $status != 0 ] || [ "$replies"$'\n' != "$expected" ] || ! [[ $probs =~ ^OOP\ [0-9.]+\ IP\ [0-9.]+\ b50\ [0-9.]+\ c\ [0-9.]+$ ]] ||
   [ "$(tail -n 1 "$dir/out")" != "END" ] || [ -s "$dir/err" ]; then
  fail "storages that cannot be made: status $status, replies:"$'\n'"$(tail -n 40 "$dir/out" | cut -c1-100)"$'\n'"$(head -c 600 "$dir/err")"
else
  echo "storages that cannot be made under 200 MB: ${#refusedCommands[@]} commands refused, then solved at max"
fi

# A rebuild whose storages cannot be made: the cap is lowered from outside
# once the rivers are forgotten, to what a river sub-tree's re-solve takes
# but not all the rivers. The rebuild is refused and the rivers stay
# forgotten: the results kept are printed, a query re-solves its runout,
# and the street cannot be re-solved whole (nothing crashes). Once the cap is
# lifted, the rebuild and the re-solve of every river run.
coproc REBUILD { exec "$bin" 2>&1; }
pid=$REBUILD_PID
ask() {
  seen=""
  local line
  printf '%s\n' "$@" "is_ready" >&"${REBUILD[1]}"
  while IFS= read -r -t 60 line <&"${REBUILD[0]}"; do
    [ "$line" = "is_ready ok!" ] && return 0
    seen+="$line"$'\n'
  done
  return 1
}
ask "$(flop none)" "go 3 steps" "wait_for_solver" "calc_results"
results=$(sed -n '/^EV OOP/,$p' <<< "$seen")
ask "forget rivers"
forgot=$seen
vm=$(awk '/^VmSize/ {print $2}' "/proc/$pid/status")
prlimit --pid "$pid" --as=$(((vm + 160000) * 1024)):
ask "rebuild_all" "rebuild_forgotten_streets" "calc_results"
capped=$seen
ask "show_strategy $river"
strategy=$seen
ask "solve_all_splits turns" "solve_all_splits rivers" "go 1 steps"
refused=$seen
prlimit --pid "$pid" --as=unlimited:
ask "rebuild_all" "solve_all_splits rivers"
rebuilt=$seen
ask "calc_results"
after=$seen
printf 'exit\n' >&"${REBUILD[1]}"
wait "$pid"
if [ "$forgot" != $'forget ok!\n' ] ||
   [ "$capped" != $'ERROR: rebuild_all out of memory\nERROR: rebuild_forgotten_streets out of memory\n'"$results"$'\n' ] ||
   [[ $strategy != *$'\nEND\n' ]] || [[ $strategy == *ERROR* ]] ||
   [ "$refused" != $'ERROR: solve_all_splits incomplete tree\nERROR: solve_all_splits incomplete tree\nERROR: go incomplete tree\n' ] ||
   [ "$rebuilt" != $'rebuild_all ok!\nsolve_all_splits ok!\n' ] || ! [[ $after == "EV OOP: "* ]]; then
  fail "a rebuild that cannot make its storages: forget '$forgot', under the cap:"$'\n'"$capped$(tail -n 2 <<< "$strategy" | cut -c1-80)"$'\n'"$refused, after:"$'\n'"$rebuilt$after"
else
  echo "a rebuild that cannot make its storages: refused, the rivers stay forgotten, rebuilt once the cap is lifted"
fi

# A redirect file that takes nothing (every write to /dev/full fails): the
# loss is said once on standard error, with the system's reason; the replies
# meant for the file never reach standard output, and stdoutback says that
# the redirection failed.
printf 'stdoutredi /dev/full\nrepeat 3 lost\nshow_hand_order\nstdoutback\nis_ready\n' \
  | timeout 10 "$bin" > "$dir/out" 2> "$dir/err"
status=$?
if [ $status != 0 ] || [ "$(tail -n +2 "$dir/out")" != $'ERROR: stdoutback write failed\nis_ready ok!' ] ||
   [ "$(cat "$dir/err")" != "ERROR: output to '/dev/full' lost: No space left on device" ]; then
  fail "redirect to /dev/full: status $status, output:"$'\n'"$(head -c 600 "$dir/out")"$'\n'"error output:"$'\n'"$(head -c 600 "$dir/err")"
else
  echo "redirect to /dev/full: one line on standard error, and stdoutback reports the loss"
fi
exit $failed
