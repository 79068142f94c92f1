#!/usr/bin/env bash
# The program short of resources: under a capped address space (ulimit -v)
# every case must end, by answering or by exiting, within a bounded time; a
# redirect file that takes no data is said so.
set -u
# A write to a session that has ended fails (and the case with it) instead
# of ending the script.
trap '' PIPE
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
narrow=$(for ((i = 0; i < 1326; i++)); do [ $((i % 40)) = 0 ] && printf '1 ' || printf '0 '; done)
session() {
  printf '%s\n' "set_board Ks 9d 4c 2h" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights" \
    "add_line 0 0" "add_line 0 50 50" "set_threads 1" "build_tree" "go 2 seconds" "set_threads $1" \
    "go 2 seconds" "calc_ev IP r:0" "wait_for_solver" "is_ready"
}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# No wait below assumes how fast the machine is. A session counts as hung
# when no reply comes within 20 times what the same session takes with the
# address space free, and never less than 60 s. Each kind of session is
# timed uncapped once, on this machine under its present load, the first
# time its bound is asked for, and the bound is kept in a file that the jobs
# side by side share. The timed session itself counts as hung after 600 s;
# its kind then keeps the 60 s, and its capped sessions fail.
bounds=$dir/bounds
mkdir "$bounds"
# Keeps in the file $1 the bound of a session started at $2 (microseconds
# since the epoch, as from now) and ended now.
now() { echo "${EPOCHREALTIME/[.,]/}"; }
keepBound() {
  local seconds=$((($(now) - $2) / 50000 + 1))
  [ $seconds -ge 60 ] || seconds=60
  echo "$seconds" > "$1.$BASHPID" && mv "$1.$BASHPID" "$1"
}
# Prints the bound of the session kind named $1, whose commands the rest of
# the arguments print; times that session uncapped when no bound is kept
# yet (one job at a time: the others wait for its bound).
hangBound() {
  local file=$bounds/$1 start
  shift
  {
    flock 9
    if [ ! -s "$file" ]; then
      start=$(now)
      if "$@" | timeout 600 "$bin" > /dev/null 2>&1 || [ $? != 124 ]; then
        keepBound "$file" "$start"
      else
        echo 60 > "$file"
      fi
    fi
  } 9> "$file.lock"
  cat "$file"
}

# At most as many sessions run side by side as there are cores (nproc
# honours taskset): the cases of this script one after another, and beside
# them the jobs started below, each in one of the slots of the other cores
# (in the order they were started); the cases' own slot joins them once the
# cases are done. A slot is a byte in a pipe that each job reads before it
# starts and writes back when it ends.
mkfifo "$dir/slots"
exec {slots}<> "$dir/slots"
for ((slot = 1; slot < $(nproc); ++slot)); do printf x >&"$slots"; done
takeSlot() { local slot; read -r -n 1 -u "$slots" slot; }
giveSlot() { printf x >&"$slots"; }

# The teams are bounded to what the address space can hold: every command
# is answered.
turnBound=$(hangBound turn session 1)
session 22222 | (ulimit -v 4000000; exec timeout "$turnBound" "$bin") > "$dir/out" 2> "$dir/err"
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
session 8 | (ulimit -v 4000000; OMP_NUM_THREADS=1 OMP_STACKSIZE=1G exec timeout "$turnBound" "$bin") > "$dir/out" 2> "$dir/err"
status=$?
last=$(tail -n 1 "$dir/err")
if [ $status != 1 ] || [ "$last" != "fatal error: a library ended the process (its message is above)" ]; then
  fail "a team that cannot be made: status $status (124: no end within $turnBound s), error output:"$'\n'"$(head -c 600 "$dir/err")"
else
  echo "a team that cannot be made: the process ends with status 1 and '$last'"
fi

# Every session under a cap must end one of two ways: every command
# answered (status 0, is_ready's reply last), or status 1 right after "out
# of memory" (or a storage stream's own line for it) on standard output.
# Never by a signal, never silently, never hanging.
endedSoundly() {
  local last
  last=$(tail -n 1 "$dir/out")
  { [ "$status" = 0 ] && [ "$last" = "is_ready ok!" ]; } ||
    { [ "$status" = 1 ] && [[ $last =~ ^(out\ of\ memory|(m|re)alloc\ [0-9]+\ bytes\ fail\ \(errno\ 12\)|out\ of\ memory\ \(not\ enough\ reserved\))$ ]]; }
}
unsound() {
  fail "$1: status $status (124: no end within the time, above 128: a signal), last lines:"$'\n'"$(tail -n 3 "$dir/out" | cut -c1-100)"$'\n'"error output:"$'\n'"$(tail -n 3 "$dir/err" | cut -c1-100)"
}

# The solver thread at the edge of the address space. Its first allocations
# (its scratch, the runtime's team, the C library's records of the thread)
# fail only within a few pages of a cap, and which cap depends on the
# machine: the cap where go is first acknowledged (edge) and the first cap
# above it where the solve ends (top) are found by bisection, then the caps
# near each are crossed page by page, each twice.
riverSpot() {
  printf '%s\n' "set_board As 8d 7h 4c 2s" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights" \
    "set_threads 2" "set_compression none" "add_line 0 0" "add_line 0 50 50" "add_line 50 50" "add_line 50 150 150" \
    "add_line 0 50 150 150" "add_line 0 100 100" "add_line 100 100" "build_tree"
}
riverGo() { riverSpot; printf 'go 2 steps\nwait_for_solver\nis_ready\n'; }
# Pipes what the function named by `spot` prints into the program under a
# cap of $1 KB; sets status, the output in $dir/out and $dir/err.
underCap() {
  local bound
  bound=$(hangBound "$spot" "$spot")
  { "$spot" | (ulimit -v "$1"; exec timeout "$bound" "$bin") > "$dir/out" 2> "$dir/err"; } 2> /dev/null
  status=$?
}
spot=riverGo
# The lowest value in ($2, $3], in steps of a page (4 KB) or to within $5 KB,
# for which the session of the run function $1 passes the check $4 ($2 must
# fail it, $3 pass it).
bisect() {
  local low=$2 high=$3 middle
  while [ $((high - low)) -gt "${5:-4}" ]; do
    middle=$(((low + high) / 8 * 4))
    "$1" "$middle"
    if "$4"; then high=$middle; else low=$middle; fi
  done
  echo "$high"
}
# Runs $1 for every value from $2 to $3 in steps of $4, $5 times each; every
# session must pass the check $7 (endedSoundly when not given). $6 names the
# value in the failure. Sets sessions.
crossing() {
  local value round
  sessions=0
  for value in $(seq "$2" "$4" "$3"); do
    for ((round = 1; round <= $5; ++round)); do
      "$1" "$value"
      sessions=$((sessions + 1))
      "${7:-endedSoundly}" || { unsound "$(printf "$6" "$value") (round $round)"; return 1; }
    done
  done
}
goAcknowledged() { grep -qx 'go ok!' "$dir/out"; }
# Every command answered or refused, none ending the process: a pass whose
# checks passed (go acknowledged, a query's storages made) finishes.
answeredOrRefused() { [ "$status" = 0 ] && [ "$(tail -n 1 "$dir/out")" = "is_ready ok!" ]; }
solved() { grep -qx 'SOLVER: stopped (required number of steps done)' "$dir/out"; }
# Go refused on a tree that was built: 12 MB lies megabytes clear of both
# edges, where the tree is first built (about 7.5 to 8 MB, rising with what
# the program reserves at start) and where go is first acknowledged (about
# 20 MB).
underCap 12000
if goAcknowledged || ! grep -qx 'ERROR: go out of memory' "$dir/out"; then
  fail "go under a 12000 KB address space: not refused, last lines:"$'\n'"$(tail -n 3 "$dir/out")"
fi
edge=$(bisect underCap 8000 65536 goAcknowledged)
top=$(bisect underCap "$edge" 65536 solved)
if crossing underCap $((edge - 16)) $((edge + 48)) 4 2 "go under a %s KB address space" answeredOrRefused &&
   total=$sessions && crossing underCap $((top - 96)) $((top + 4)) 4 2 "go under a %s KB address space" answeredOrRefused; then
  echo "go at the edge of the address space: $((total + sessions)) sessions around $edge KB (go first acknowledged) and $top KB (first solved), each answered or refused"
fi
# The first iteration of an acknowledged go, and the first calc_results of
# a river tree, run short of nothing: below the cap where each is first
# answered, over the 3 MB where the pass ran short after its checks had
# passed, every session is answered or refused.
riverFirst() { riverSpot; printf '%s\n' "$1" "${2:-is_ready}" is_ready; }
riverGoOnce() { riverFirst "go 1 steps" wait_for_solver; }
riverResults() { riverFirst calc_results; }
resultsAnswered() { answeredOrRefused && grep -q '^EV OOP' "$dir/out"; }
for spot in riverGoOnce riverResults; do
  first=$(bisect underCap 8000 65536 "$([ $spot = riverGoOnce ] && echo solved || echo resultsAnswered)")
  crossing underCap $((first - 3072)) "$first" 192 1 "$spot under a %s KB address space" answeredOrRefused &&
    echo "$spot: $sessions sessions under caps up to 3 MB below $first KB (first answered), each answered or refused"
done
# 1 MB below the edge: the edge found by bisection can land a page or so
# high under load, and a page below it go was then acknowledged. 1 MB below
# go is refused every time, while the tree (built from about 8 MB) stands.
refusedCap=$((edge - 1024))

# Once the address space is there again (the cap raised from outside), the
# next go starts the solve.
read_until() {
  local line bound
  bound=$(hangBound riverGo riverGo)
  while IFS= read -r -t "$bound" line <&"${SOLVER[0]}"; do
    seen+="$line"$'\n'
    [ "$line" = "$1" ] && return 0
  done
  return 1
}
if [ -n "$refusedCap" ]; then
  coproc SOLVER { ulimit -S -v "$refusedCap"; exec "$bin" 2>&1; }
  pid=$SOLVER_PID
  riverGo >&"${SOLVER[1]}"
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
    echo "go after the cap was raised: refused under $refusedCap KB (1 MB below the edge), then the solve runs"
  fi
  eval "exec ${SOLVER[1]}>&-"
  wait "$pid" 2> /dev/null
fi

# Runs the commands of the array `before` with the address space free,
# lowers the cap from outside to $1 KB above what the process then maps, and
# runs the array `after`; when the array `lifted` is set, lifts the cap once
# `after` is answered and runs `lifted`. With capAtStart=1, the process
# starts under a cap of $1 KB instead (its worker threads then get no arena
# of the C allocator's own). Sets status, the whole output in $dir/out.
lifted=()
capAtStart=0
# The commands of such a session, all at once.
wholeSession() { printf '%s\n' "${before[@]}" "${after[@]}" "${lifted[@]}" "is_ready"; }
# The bound of such a session: its kind is named by its commands.
sessionBound() { hangBound "session.$(wholeSession | md5sum | cut -c1-32)" wholeSession; }
cappedFromOutside() {
  local feed replies pid line hung=0 bound
  bound=$(sessionBound)
  rm -f "$dir/in" "$dir/replies"
  mkfifo "$dir/in" "$dir/replies"
  if [ $capAtStart = 1 ]; then
    (ulimit -S -v "$1"; exec "$bin") < "$dir/in" > "$dir/replies" 2> "$dir/err" &
  else
    "$bin" < "$dir/in" > "$dir/replies" 2> "$dir/err" &
  fi
  pid=$!
  exec {feed}> "$dir/in" {replies}< "$dir/replies"
  : > "$dir/out"
  printf '%s\n' "${before[@]}" "is_ready" >&"$feed"
  while IFS= read -r -t "$bound" -u "$replies" line; do
    printf '%s\n' "$line" >> "$dir/out"
    [ "$line" = "is_ready ok!" ] && break
  done
  [ $capAtStart = 1 ] ||
    prlimit --pid "$pid" --as=$((($(awk '/^VmSize/ {print $2}' "/proc/$pid/status") + $1) * 1024)): 2> /dev/null
  printf '%s\n' "${after[@]}" "is_ready" >&"$feed"
  if [ ${#lifted[@]} -gt 0 ]; then
    while IFS= read -r -t "$bound" -u "$replies" line; do
      printf '%s\n' "$line" >> "$dir/out"
      # Lifted only for a process still there (a write to one that ended
      # would end the script).
      if [ "$line" = "is_ready ok!" ]; then
        prlimit --pid "$pid" --as=unlimited: 2> /dev/null
        printf '%s\n' "${lifted[@]}" "is_ready" >&"$feed"
        break
      fi
    done
  fi
  exec {feed}>&-
  # Every reply until the program ends (end of file), or a hang.
  while IFS= read -r -t "$bound" -u "$replies" line || { [ $? -gt 128 ] && hung=1 && false; }; do
    printf '%s\n' "$line" >> "$dir/out"
  done
  [ $hung = 0 ] || kill -9 "$pid"
  exec {replies}<&-
  wait "$pid" 2> /dev/null
  status=$?
  [ $hung = 0 ] || status=124
}

# A worker team at the edge: a turn tree built and solved by one thread, the
# team set to four, then the cap lowered from outside to around where the
# query's pass is first answered, page by page. The pass starts the workers
# (and the runtime's team); their first allocations come there.
before=("set_board Ks 9d 4c 2h" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights" "add_line 0 0"
  "add_line 0 50 50" "add_line 50 50" "set_threads 1" "build_tree" "go 1 steps" "wait_for_solver" "set_threads 4")
after=("calc_ev OOP r:0" "calc_results")
answered() { [ "$status" = 0 ] && ! grep -q '^ERROR: calc_ev' "$dir/out"; }
edge=$(bisect cappedFromOutside -256 65536 answered)
if crossing cappedFromOutside $((edge - 32)) $((edge + 8)) 4 2 "a team of four, the cap %s KB above the mapped size"; then
  echo "a team of four at the edge: $sessions sessions capped around $edge KB above the mapped size (first answered), each ended soundly"
fi

# A query refused for want of memory leaves the session as it was. A flop
# tree with full ranges and a team of eight, unsolved: its first calc_ev
# makes the storages (about 50 MB) and runs the pass. The cap is lowered
# from outside to up to 384 KB below where that query is first answered,
# then lifted after it: every session answers or refuses (the pass ran
# short after its checks had passed and ended the process), and after the
# lift the query answers as a session never capped does (a pass refused in
# the middle left its sub-games queued, and the next pass answered from
# them).
before=("set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights"
  "add_line 0 0 0 0 0 0" "add_line 0 0 0 0 0 50 50" "set_compression none" "set_threads 8" "build_tree")
after=("calc_ev OOP r:0")
reference=$(printf '%s\n' "${before[@]}" "${after[@]}" | "$bin" | tail -n 3)
edge=$(bisect cappedFromOutside 0 131072 answered)
lifted=("${after[@]}")
# The lifted query's reply is the last before is_ready's.
wholeAfterLift() { answeredOrRefused && [ "$(tail -n 4 "$dir/out" | head -n 3)" = "$reference" ]; }
crossing cappedFromOutside $((edge - 384)) "$edge" 32 1 "calc_ev with the cap %s KB above the mapped size, then lifted" \
  wholeAfterLift &&
  echo "a refused calc_ev: $sessions sessions capped up to 384 KB below $edge KB above the mapped size (first answered), each answered or refused, and answered as uncapped once lifted"
lifted=()

# Flop trees at the edge, crossed side by side with the cases below (each
# job in a directory of its own; its lines and its verdict are collected at
# the end). A chance node's card records get their blocks from the first
# iteration (reach sums) and the first check (deal values): tens of
# megabytes that go's and the reports' checks left out, so a solve
# acknowledged ended at its first check and a report after a short solve
# ended the process.
jobs=()
inBackground() {
  local name=$1 turn=${#jobs[@]}
  shift
  (dir=$(mktemp -d "$dir/job.XXXX"); failed=0
   # Its slot is taken once the job started before it has its own.
   while [ "$turn" -gt 0 ] && [ ! -e "$bounds/turn$((turn - 1))" ]; do sleep 0.1; done
   takeSlot
   : > "$bounds/turn$turn"
   "$@"
   giveSlot
   echo "$failed" > "$dir/../$name.status") > "$dir/$name.log" 2>&1 &
  jobs+=("$!:$name")
}
# Whether the job named $1, started by inBackground as process $2, passed,
# once it has ended. Its verdict is read from the file it leaves, not from
# wait's status: the jobs end minutes before they are waited for, and the
# kernel hands out process ids again (32768 of them by default); once this
# shell has started a process under a job's old id, bash no longer knows
# the job ("wait: pid ... is not a child of this shell", status 127).
jobPassed() {
  wait "$2" 2> /dev/null
  [ "$(cat "$dir/$1.status" 2> /dev/null)" = 0 ]
}
flopSpot=("set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights"
  "set_compression none")
# Five river chance nodes, solved by one thread: from where go is first
# acknowledged, over 30 MB in steps of 1 MB, a solve of 26 steps (past its
# first check at iteration 25) runs, or stops for want of memory, or go is
# refused; none ends. Five jobs take every fifth cap.
before=("${flopSpot[@]}" "set_threads 1" "add_line 0 0 0 0 0 0" "add_line 0 0 50 50 50 50" "add_line 0 0 0 50 50 50 50"
  "add_line 50 50 50 50 50 50" "add_line 50 50 100 100 100 100" "build_tree")
after=("go 1 steps" "wait_for_solver")
flopEdge=$(bisect cappedFromOutside 0 262144 goAcknowledged 256)
after=("go 26 steps" "wait_for_solver")
solvedOrStopped() {
  answeredOrRefused && grep -qx -e 'SOLVER: stopped (required number of steps done)' \
    -e 'SOLVER: stopped (out of memory)' -e 'ERROR: go out of memory' "$dir/out"
}
flopGo() {
  crossing cappedFromOutside $((flopEdge + $1)) $((flopEdge + 30720)) 5120 1 \
    "go 26 steps on a flop tree, the cap %s KB above the mapped size" solvedOrStopped &&
    echo "go 26 steps on a flop tree: $sessions sessions from $((flopEdge + $1)) KB above the mapped size (go first acknowledged at $flopEdge KB) in steps of 5 MB, each solved, stopped or refused"
}
# Twelve river chance nodes, one iteration solved by two threads, then the
# cap lowered:
# calc_results (an evaluation that makes every deal's values) is answered or
# refused under every cap from 10 MB below where it is first answered to
# 30 MB above, in steps of 2 MB.
flopResults() {
  local f t a b
  before=("${flopSpot[@]}" "set_threads 2")
  for f in "0 0" "50 50" "0 50 50"; do
    a=${f##* }
    for t in "0 0" "50 50" "0 50 50" "50 150 150"; do
      b=$((a + ${t##* }))
      before+=("add_line $f $(for x in $t; do printf '%s ' $((a + x)); done)$b $b")
    done
  done
  before+=("build_tree" "go 1 steps" "wait_for_solver")
  after=("calc_results")
  local first
  first=$(bisect cappedFromOutside 0 262144 resultsAnswered 512)
  # Two halves side by side, each in a directory of its own: the first in
  # this job's slot, the second in a slot of its own.
  local offset pids=()
  for offset in 0 2048; do
    (dir=$(mktemp -d "$dir/half.XXXX"); failed=0
     [ $offset = 0 ] || takeSlot
     crossing cappedFromOutside $((first - 10240 + offset)) $((first + 30720)) 4096 1 \
       "calc_results after an iteration of a flop tree, the cap %s KB above the mapped size" answeredOrRefused &&
       echo "calc_results after a short solve of a flop tree: $sessions sessions from $((first - 10240 + offset)) KB above the mapped size in steps of 4 MB (first answered at $first KB), each answered or refused"
     [ $offset = 0 ] || giveSlot
     echo "$failed" > "$dir/../half$offset.status") &
    pids+=("$!")
  done
  for offset in 0 1; do jobPassed "half$((offset * 2048))" "${pids[$offset]}" || failed=1; done
}
# A team of eight made after the cap dropped: a one-line flop built with the
# address space free, by a process whose runtime starts with one thread; the
# cap then lowered from outside to 2 to 20 MB above the mapped size. Each
# command that runs a pass is answered or refused (the runtime could not
# start the workers of the first region, the storages' page commit, and
# ended the process).
teamAfterDrop() {
  before=("set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights"
    "add_line 0 0 0 0 0 0" "set_threads 8" "build_tree")
  after=("show_strategy r:0" "calc_ev OOP r:0" "calc_line_freq r:0:c" "calc_results" "go 1 steps" "wait_for_solver")
  export OMP_NUM_THREADS=1
  crossing cappedFromOutside 2048 20480 1024 1 \
    "a team of eight made after the cap dropped to %s KB above the mapped size" answeredOrRefused &&
    echo "a team of eight made after the cap dropped: $sessions sessions 2 to 20 MB above the mapped size, each command answered or refused"
}

# Runs the commands that the function $1 prints in a session started with
# the address space free and prints the session's peak of mapped memory
# (KB) once they are answered.
uncappedPeak() {
  local fifo=$dir/peak.in feed pid start peak=""
  rm -f "$fifo"
  mkfifo "$fifo"
  start=$(now)
  "$bin" < "$fifo" > "$dir/peak.out" 2>&1 &
  pid=$!
  exec {feed}> "$fifo"
  "$1" >&"$feed"
  # The session's time gives the bound of its kind (a hang: 600 s).
  while [ $(($(now) - start)) -lt 600000000 ]; do
    grep -qx 'is_ready ok!' "$dir/peak.out" && {
      peak=$(awk '/^VmPeak/ {print $2}' "/proc/$pid/status")
      keepBound "$bounds/$1" "$start"
      break
    }
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
  done
  exec {feed}>&-
  wait "$pid" 2> /dev/null
  echo "$peak"
}
# Flop trees whose rivers are kept compressed (level 3), capped at start.
# Trips with full ranges: under 1.4 times what its uncapped solve maps, the
# solve gets its whole team of four (the working memory of compressed
# storages was counted several times over, and a team of two or three was
# made). Its team is first counted whole at 1.28 to 1.34 times its peak:
# the peak varies by 7 % from session to session and the edge by 2 % with
# the cores the process may run on. From the cap where go is first acknowledged (found to within 1 MB)
# up 3 MB, every acknowledged solve runs past its first check (the deal
# values of that check were counted before every iteration, so a solve
# acknowledged under an unchanged cap stopped "out of memory" at once).
compressedTrips() {
  printf '%s\n' "set_board 9c 9h 9d" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights" \
    "set_compression 3" "add_line 0 0 0 0 0 0" "add_line 0 0 50 50 100 100" "set_threads 4" "build_tree"
}
# Eight lines of a 3-bet pot's tree with ranges of a third and a half of the
# hands: its packed regrets take about a byte each by the first check (they
# were counted at 0.65, and from where go was first acknowledged up 16 MB
# nearly every solve stopped "out of memory" before its first check). Under
# 1.1 times what its uncapped solve maps it does all its steps, and from the
# first acknowledged cap up to 1.15 times that, in steps of 4 MB, every
# acknowledged solve runs past its first check.
third=$(for ((i = 0; i < 1326; i++)); do [ $((i % 3)) = 0 ] && printf '1 ' || printf '0 '; done)
half=$(for ((i = 0; i < 1326; i++)); do [ $((i % 2)) = 0 ] && printf '1 ' || printf '0 '; done)
compressedThreeBet() {
  printf '%s\n' "set_isomorphism 0 0" "set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $third" \
    "set_range IP $half" "add_line 0 0 0 100 100 400 850 850" "add_line 0 0 100 100 400 400" \
    "add_line 0 100 100 100 100 100 400 850 950 950" "add_line 0 100 100 400 850 850 850 950 950" \
    "add_line 0 100 250 250 850 950 950 950 950" "add_line 100 100 100 400 400 400 950 950" \
    "add_line 100 250 250 250 250 250 850 950 950" "add_line 100 250 550 550 950 950 950 950" \
    "set_compression 3" "set_threads 4" "build_tree"
}
compressedSpot=compressedTrips
solveSteps() { printf 'go 26 steps\nwait_for_solver\nis_ready\n'; }
compressedTripsSession() { compressedTrips; solveSteps; }
compressedThreeBetSession() { compressedThreeBet; solveSteps; }
# The same set-up with go stopped at once: whether it is acknowledged.
compressedGoOnly() { "$compressedSpot"; printf 'go 26 steps\nstop\nwait_for_solver\nis_ready\n'; }
# The solve of the spot named by compressedSpot (or the session $2) under a
# cap of $1 KB.
compressedUnderCap() {
  local bound session=${compressedSpot}Session
  bound=$(hangBound "$session" "$session")
  { "${2:-$session}" | (ulimit -v "$1"; exec timeout "$bound" "$bin" -v) > "$dir/out" 2> "$dir/err"; } 2> /dev/null
  status=$?
}
compressedGoUnderCap() { compressedUnderCap "$1" compressedGoOnly; }
solvedWhenAcknowledged() { answeredOrRefused && { ! goAcknowledged || solved; }; }
# Sets peak to what the spot named $1 maps uncapped and cap to $2 tenths of
# it, and solves the spot under that cap; fails when the uncapped session
# gives no answer.
compressedAtPeak() {
  compressedSpot=$1
  peak=$(uncappedPeak "$1Session")
  [ -n "$peak" ] || { fail "$1: the uncapped session gave no answer"; return 1; }
  cap=$((peak * $2 / 10))
  compressedUnderCap "$cap"
}
compressedTripsSolve() {
  local peak cap edge
  compressedAtPeak compressedTrips 14 || return
  if ! grep -qx '\[go 4 threads\]' "$dir/out" || ! solved; then
    fail "a compressed flop solve under 1.4 times its peak ($cap KB): $(grep -o '^\[go .*\]' "$dir/out"), $(grep '^SOLVER: stopped' "$dir/out")"
    return
  fi
  edge=$(bisect compressedGoUnderCap 65536 "$cap" goAcknowledged 1024)
  crossing compressedUnderCap $((edge - 1024)) $((edge + 3072)) 1024 1 \
    "a compressed flop solve under a %s KB address space" solvedWhenAcknowledged &&
    echo "a compressed trips flop solve: a team of four under $cap KB (1.4 times its peak); $sessions sessions from 1 MB below $edge KB (go first acknowledged) up 4 MB, each refused or solved past its first check"
}
compressedThreeBetSolve() {
  local peak cap edge
  compressedAtPeak compressedThreeBet 11 || return
  solved || { fail "a compressed 3-bet pot solve under 1.1 times its peak ($cap KB): $(grep -e '^\[go' -e '^SOLVER: stopped' -e '^ERROR' "$dir/out" | tr '\n' ' ')"; return; }
  edge=$(bisect compressedGoUnderCap 65536 "$cap" goAcknowledged 1024)
  # Two halves side by side (its sessions take seconds each), each in a
  # directory of its own: the first in this job's slot, the second in a
  # slot of its own.
  local offset pids=() total=0
  for offset in 0 4096; do
    (dir=$(mktemp -d "$dir/half.XXXX"); failed=0
     [ $offset = 0 ] || takeSlot
     crossing compressedUnderCap $((edge - 1024 + offset)) $((peak * 115 / 100)) 8192 1 \
       "a compressed 3-bet pot solve under a %s KB address space" solvedWhenAcknowledged &&
       echo "$sessions" > "$dir/../sessions$offset"
     [ $offset = 0 ] || giveSlot
     echo "$failed" > "$dir/../half$offset.status") &
    pids+=("$!")
  done
  for offset in 0 1; do
    jobPassed "half$((offset * 4096))" "${pids[$offset]}" && total=$((total + $(cat "$dir/sessions$((offset * 4096))"))) ||
      failed=1
  done
  [ $failed = 1 ] ||
    echo "a compressed 3-bet pot solve: solved under $cap KB (1.1 times its peak), $total sessions from 1 MB below $edge KB (go first acknowledged) to 1.15 times its peak, each refused or solved past its first check"
}
# The jobs take the slots in the order started: the longest first (the
# 3-bet pot's sessions take seconds each).
inBackground threeBet compressedThreeBetSolve
inBackground trips compressedTripsSolve
for offset in 0 1024 2048 3072 4096; do inBackground "go$offset" flopGo "$offset"; done
inBackground results flopResults
inBackground team teamAfterDrop

# A solve that started with a smaller team than set, under a cap lowered
# from outside, gets its team back at its next iterations once the cap is
# lifted (it kept the team it started with). The cap is taken 512 KB above
# where go is first acknowledged: there one thread of the two fits.
teamAfterLift() {
  before=("set_board 7s 7d 2c" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights"
    "set_compression none" "add_line 0 0 0 0 0 0" "add_line 0 0 50 50 100 100" "add_line 50 50 50 150 150 150 150"
    "set_threads 2" "build_tree")
  after=("go 1 steps" "wait_for_solver")
  local margin pid threads grown=0 line seen="" bound start
  margin=$(bisect cappedFromOutside 0 262144 goAcknowledged 256)
  bound=$(sessionBound)
  coproc LIFT { exec "$bin" -v 2>&1; }
  pid=$LIFT_PID
  printf '%s\n' "${before[@]}" "is_ready" >&"${LIFT[1]}"
  while IFS= read -r -t "$bound" line <&"${LIFT[0]}"; do [ "$line" = "is_ready ok!" ] && break; done
  prlimit --pid "$pid" --as=$((($(awk '/^VmSize/ {print $2}' "/proc/$pid/status") + margin + 512) * 1024)): 2> /dev/null
  printf 'go 400 steps\n' >&"${LIFT[1]}"
  while IFS= read -r -t "$bound" line <&"${LIFT[0]}"; do
    seen+="$line|"
    [ "$line" = "SOLVER: started" ] && break
  done
  threads=$(awk '/^Threads/ {print $2}' "/proc/$pid/status")
  prlimit --pid "$pid" --as=unlimited: 2> /dev/null
  # The team grows before the solve's next iteration: watched for as long
  # as a reply is waited for.
  start=$(now)
  while [ $(($(now) - start)) -lt $((bound * 1000000)) ]; do
    [ "$(awk '/^Threads/ {print $2}' "/proc/$pid/status")" -gt "$threads" ] && { grown=1; break; }
    sleep 0.1
  done
  printf 'stop\nwait_for_solver\nexit\n' >&"${LIFT[1]}"
  while IFS= read -r -t "$bound" line <&"${LIFT[0]}"; do seen+="$line|"; done
  wait "$pid" 2> /dev/null
  if [[ $seen != *'[go 1 threads]|'* ]] || [ $grown = 0 ] || [[ $seen != *'SOLVER: stopped (requested)|'* ]]; then
    fail "a cap lifted during a solve: the team did not grow (threads $threads), replies: ${seen:0:300}"
  else
    echo "a cap lifted during a solve: started with one thread of two $margin KB above the mapped size, a second made once the cap was lifted"
  fi
}
inBackground lift teamAfterLift

# load_tree of a small flop tree file (written by the tests' writer) with a
# team of four: the deal tables are built by the team, whose workers start in
# the load. The caps lie between 0.6 and 2.4 MB above the mapped size, where
# the load cannot be done whole.
treeWriter=$(dirname "$bin")/bench/tree_file_bench
if [ -x "$treeWriter" ]; then
  printf '%s\n' "set_isomorphism 0 0" "set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $narrow" \
    "set_range IP $narrow" "add_line 0 0 0 0 0 0" "build_tree" > "$dir/spot.txt"
  "$treeWriter" "$dir/spot.txt" 1 3 "$dir/flop.tree" > /dev/null
  before=("set_threads 4")
  after=("load_tree $dir/flop.tree")
  if crossing cappedFromOutside 600 2400 24 1 "load_tree with a team of four, the cap %s KB above the mapped size"; then
    echo "load_tree at the edge: $sessions sessions capped 600 to 2400 KB above the mapped size, each ended soundly"
  fi
else
  fail "load_tree at the edge: no tree writer at $treeWriter"
fi

# load_tree of flop trees whose rivers are kept coded (levels 3 and 4) with a
# team of two. In the 4 MB above the cap where the tree itself can be built
# (found by bisection) the load reads the coded streams' blocks and decodes
# each board once: under every cap there, in steps of 128 KB, the load is
# answered or refused, and no session ends (the streams' own allocation
# failures ended them). A session under one of the caps refused there, at
# least 1 MB below the lowest cap whose load was answered (where the load is
# first answered need not be the same to a page from run to run), is refused
# again, loads the same file once its cap is lifted, and answers as an
# uncapped one.
codedSpot() {
  printf '%s\n' "set_isomorphism 0 0" "set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $narrow" \
    "set_range IP $narrow" "add_line 0 0 0 0 0 0" "add_line 0 0 0 0 0 50 50" "add_line 0 0 0 50 50 50 50"
}
codedBuild() { printf 'set_threads 2\nset_compression 4\n'; codedSpot; printf 'build_tree\nis_ready\n'; }
codedLoad() { printf 'set_threads 2\nload_tree %s\nis_ready\n' "$codedTree"; }
# underCap, keeping the caps whose load was refused and the lowest whose
# load was answered.
codedUnderCap() {
  underCap "$1"
  if grep -qx 'ERROR: load_tree out of memory' "$dir/out"; then
    refusedCaps+=("$1")
  elif grep -qx 'load_tree ok!' "$dir/out"; then
    answeredCap=${answeredCap:-$1}
  fi
}
loadAnswered() {
  [ "$status" = 0 ] && [ "$(tail -n 1 "$dir/out")" = "is_ready ok!" ] &&
    grep -qx -e 'load_tree ok!' -e 'ERROR: load_tree out of memory' "$dir/out"
}
built() { grep -qx 'build_tree ok!' "$dir/out"; }
queries=("calc_results" "show_strategy r:0:c:c:3s:c:c:4d" "show_strategy r:0:c:c:3s:c:c:4d:c")
codedQueries() { printf '%s\n' "load_tree $codedTree" "${queries[@]}" "is_ready"; }
codedReplies() {
  local line bound
  bound=$(hangBound "coded$level" codedQueries)
  seen=""
  printf '%s\n' "$@" "is_ready" >&"${CODED[1]}"
  while IFS= read -r -t "$bound" line <&"${CODED[0]}"; do
    seen+="$line"$'\n'
    [ "$line" = "is_ready ok!" ] && break
  done
}
spot=codedBuild
builtCap=$(bisect underCap 8000 65536 built)
spot=codedLoad
for level in 3 4; do
  [ -x "$treeWriter" ] || break
  codedTree=$dir/coded$level.tree
  { echo "set_compression $level"; codedSpot; echo "build_tree"; } > "$dir/coded.txt"
  "$treeWriter" "$dir/coded.txt" 1 5 "$codedTree" > /dev/null
  refusedCaps=()
  answeredCap=""
  crossing codedUnderCap "$builtCap" $((builtCap + 4096)) 128 1 \
    "load_tree of coded rivers (level $level) under a %s KB address space" loadAnswered || continue
  # With no load answered in the range, the first answered may lie just
  # above its top.
  refusedCap=""
  for cap in "${refusedCaps[@]}"; do
    [ "$cap" -le $((${answeredCap:-$((builtCap + 4096))} - 1024)) ] && refusedCap=$cap
  done
  [ -n "$refusedCap" ] ||
    { fail "load_tree of coded rivers (level $level): no load refused from $builtCap KB to 1 MB below ${answeredCap:-$((builtCap + 4096))} KB"; continue; }
  uncapped=$(codedQueries | "$bin" 2>&1 | tail -n +2)
  coproc CODED { ulimit -S -v "$refusedCap"; exec "$bin" 2>&1; }
  pid=$CODED_PID
  codedReplies "set_threads 2" "load_tree $codedTree"
  refused=$seen
  seen=""
  if prlimit --pid "$pid" --as=unlimited: 2> /dev/null; then
    codedReplies "load_tree $codedTree" "${queries[@]}"
    printf 'exit\n' >&"${CODED[1]}"
  fi
  wait "$pid" 2> /dev/null
  if [[ $refused != *$'\nERROR: load_tree out of memory\nis_ready ok!\n' ]] || [ "$seen" != "$uncapped"$'\n' ]; then
    fail "load_tree of coded rivers (level $level) refused under $refusedCap KB, then the cap lifted: '${refused//$'\n'/|}', then:"$'\n'"$(head -n 4 <<< "$seen" | cut -c1-100)"
  else
    echo "load_tree of coded rivers (level $level): $sessions sessions under caps of $builtCap to $((builtCap + 4096)) KB each answered or refused; the same file loaded after a refusal under $refusedCap KB answers as uncapped"
  fi
done

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
# Its bound is that of the solve at the highest compression, its work past
# the refusals.
maxSolve() { flop max; printf '%s\n' "go 1 steps" "wait_for_solver" "show_probs $turn" "calc_results" "is_ready"; }
bound=$(hangBound maxSolve maxSolve)
{ flop none; printf '%s\n' "${refusedCommands[@]}" "is_ready" "set_compression max" "build_tree" "go 1 steps" \
    "wait_for_solver" "show_probs $turn" "calc_results"; } \
  | (ulimit -v 200000; exec timeout "$bound" "$bin") > "$dir/out" 2> "$dir/err"
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

# A lock written into a compressed river sub-tree, whose boards are coded
# back into their streams when the sub-tree is closed (by a destructor): the
# coder that cannot be made ends the process with "out of memory" (the
# exception ended it by a signal). The caps cross the range where the lock's
# pass runs short.
lockSpot() {
  printf '%s\n' "set_isomorphism 0 0" "set_board 8c 2d 3h" "set_pot 0 0 100" "set_range OOP $narrow" \
    "set_range IP $narrow" "add_line 0 0 0 0 0 50 50" "add_line 0 0 0 0 0 0" "add_line 0 0 0 50 50 50 50" \
    "add_line 50 50 50 50 50 50" "set_compression 3" "build_tree" "go 7 steps" "wait_for_solver" \
    "lock_node r:0:c:c:Ks:c:c:8h" "is_ready"
}
spot=lockSpot
if crossing underCap 28000 36000 512 1 "lock_node in a compressed river sub-tree under a %s KB address space"; then
  echo "lock_node in a compressed river sub-tree: $sessions sessions under caps of 28 to 36 MB, each ended soundly"
fi

# A tree that cannot be built after a smaller one stood: the standing tree
# is released to make room, so none is left, and every command that needs
# one says so (they read the tree that was gone and crashed).
rebuildSpot() {
  printf '%s\n' "set_board As 8d 7h 4c 2s" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights" \
    "add_line 0 0" "build_tree" "set_board Qs Jh 2h" "add_line 0 0 0 0 0 0" "add_line 0 0 0 50 50 50 50" "build_tree" \
    "forget rivers" "solve_all_splits rivers" "go 1 steps" "show_strategy r:0" "calc_results" "is_tree_present" \
    "is_ready"
}
spot=rebuildSpot
underCap 20000
expected=$'build_tree ok!\nset_board ok!\nadd_line ok!\nadd_line ok!\nERROR: build_tree out of memory\n'
for command in forget solve_all_splits go show_strategy calc_results; do
  expected+="ERROR: $command missing/incorrect tree"$'\n'
done
expected+=$'false\nis_ready ok!'
if [ $status != 0 ] || [ "$(tail -n 12 "$dir/out")" != "$expected" ]; then
  unsound "a tree that cannot be built under 20 MB after a river tree"
else
  echo "a tree that cannot be built under 20 MB after a river tree: no tree is left, and the commands that need one say so"
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
  while IFS= read -r -t "$bound" line <&"${REBUILD[0]}"; do
    [ "$line" = "is_ready ok!" ] && return 0
    seen+="$line"$'\n'
  done
  return 1
}
# The first question, asked with the address space free, is timed: the
# bound of the others.
start=$(now)
bound=600
ask "$(flop none)" "go 3 steps" "wait_for_solver" "calc_results"
keepBound "$bounds/rebuild" "$start"
bound=$(cat "$bounds/rebuild")
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
lostOutput() { printf 'stdoutredi /dev/full\nrepeat 3 lost\nshow_hand_order\nstdoutback\nis_ready\n'; }
lostOutput | timeout "$(hangBound lostOutput lostOutput)" "$bin" > "$dir/out" 2> "$dir/err"
status=$?
if [ $status != 0 ] || [ "$(tail -n +2 "$dir/out")" != $'ERROR: stdoutback write failed\nis_ready ok!' ] ||
   [ "$(cat "$dir/err")" != "ERROR: output to '/dev/full' lost: No space left on device" ]; then
  fail "redirect to /dev/full: status $status, output:"$'\n'"$(head -c 600 "$dir/out")"$'\n'"error output:"$'\n'"$(head -c 600 "$dir/err")"
else
  echo "redirect to /dev/full: one line on standard error, and stdoutback reports the loss"
fi

# A command line of a value for each hand is read and split in buffers kept
# from the start: after a refused build_tree, with the cap lowered from
# outside to around the mapped size, it is answered (the line that grew char
# by char ended the process with "out of memory").
before=("set_board Qs Jh 2h" "set_pot 0 0 100" "set_range OOP $weights" "set_range IP $weights" "add_line 0 0 0 0 0 0")
after=("build_tree" "set_range OOP $(yes 0.123456789 | head -n 1326 | tr '\n' ' ')")
answeredAll=1
for cap in $(seq -64 16 64); do
  cappedFromOutside "$cap"
  if [ "$status" != 0 ] || [ "$(tail -n 3 "$dir/out")" != $'ERROR: build_tree out of memory\nset_range ok!\nis_ready ok!' ]; then
    unsound "set_range after a refused build_tree, the cap $cap KB above the mapped size"
    answeredAll=0
    break
  fi
done
[ $answeredAll = 1 ] && echo "set_range after a refused build_tree: answered under caps of -64 to 64 KB above the mapped size"

# A memory ending while output goes to a file that takes nothing: its line
# is written to the original output too.
longLine() { printf 'stdoutredi /dev/full\n'; head -c 40000000 /dev/zero | tr '\0' x; printf '\nis_ready\n'; }
bound=$(hangBound longLine longLine)
longLine | (ulimit -v 30000; exec timeout "$bound" "$bin") > "$dir/out" 2> "$dir/err"
status=$?
if [ $status != 1 ] || [ "$(tail -n 1 "$dir/out")" != "out of memory" ]; then
  unsound "a 40 MB line under a 30 MB address space, output redirected to /dev/full"
else
  echo "a 40 MB line with output redirected to /dev/full: 'out of memory' on the original output"
fi

# Standard output closed at start: the redirect file does not take
# descriptor 1 (the program opens /dev/null there), so it gets the replies.
redirected() { printf 'stdoutredi %s\nis_ready\n' "$1"; }
bound=$(hangBound redirected redirected /dev/null)
redirected "$dir/redirected" | timeout "$bound" "$bin" >&- 2> "$dir/err"
status=$?
if [ $status != 0 ] || [ "$(cat "$dir/redirected")" != $'stdoutredi ok!\nis_ready ok!' ]; then
  fail "a redirect with standard output closed: status $status, file:"$'\n'"$(head -c 300 "$dir/redirected")"$'\n'"error output:"$'\n'"$(head -c 300 "$dir/err")"
else
  echo "a redirect with standard output closed at start: the file holds the replies"
fi

# A line whose first word is long, with the memory all but gone: its words
# are split into strings reserved at start and kept from line to line, so it
# is answered, with echo and without (a word longer than a string holds in
# place was copied into new memory; when that failed, the session ended with
# "out of memory"). The program starts under caps from the lowest it starts
# under, in steps of 10 KB; lines that each add to the line tree fill what
# the heap has left (they are refused once it is full) before the long word.
longWord=$(printf 'w%.0s' {1..40})
longWordFill=$(for ((i = 1; i <= 1500; ++i)); do echo "add_line $i $i"; done)
longWordEcho=""
longWordSpot() { printf '%s\n' "$longWordFill" "$longWord 1 2" "is_ready"; }
longWordSession() {
  local bound
  bound=$(hangBound longWordSpot longWordSpot)
  { longWordSpot | (ulimit -v "$1"; exec timeout "$bound" "$bin" $longWordEcho) > "$dir/out" 2> "$dir/err"; } 2> /dev/null
  status=$?
}
longWordStarted() { grep -q '^pfsolve - ' "$dir/out"; }
# A session that starts answers every line; counts those that ran short.
longWordAnswered() {
  longWordStarted || { [ "$status" = 1 ] && [ "$(tail -n 1 "$dir/out")" = "out of memory" ]; return; }
  grep -qx 'ERROR: add_line out of memory' "$dir/out" && longWordShort=$((longWordShort + 1))
  [ "$status" = 0 ] && [ "$(tail -n 1 "$dir/out")" = "is_ready ok!" ] &&
    [ "$(grep -cx -e 'add_line ok!' -e 'ERROR: add_line out of memory' -e "ERROR: Command $longWord not recognized" \
           -e "ERROR: $longWord out of memory" "$dir/out")" = 1501 ]
}
longWordEdge=$(bisect longWordSession 4000 65536 longWordStarted)
longWordShort=0
if crossing longWordSession "$longWordEdge" $((longWordEdge + 230)) 10 1 \
     "a 40-character first word under a %s KB address space" longWordAnswered && longWordTotal=$sessions &&
   longWordEcho=-o && crossing longWordSession "$longWordEdge" $((longWordEdge + 230)) 10 1 \
     "a 40-character first word, echoed, under a %s KB address space" longWordAnswered; then
  if [ $longWordShort = 0 ]; then
    fail "a 40-character first word: no session from $longWordEdge KB (where the program first starts) ran short of memory"
  else
    echo "a 40-character first word: $((longWordTotal + sessions)) sessions from $longWordEdge KB (where the program first starts), $longWordShort of them short of memory, each answered"
  fi
fi
# The cases are done: their slot goes to the jobs.
giveSlot
for job in "${jobs[@]}"; do
  jobPassed "${job#*:}" "${job%%:*}" || failed=1
  cat "$dir/${job#*:}.log"
done
exit $failed
