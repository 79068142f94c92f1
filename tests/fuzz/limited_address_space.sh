#!/usr/bin/env bash
# The program under a capped address space (ulimit -v): every case must end,
# by answering or by exiting, within a bounded time.
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
exit $failed
