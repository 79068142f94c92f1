#!/usr/bin/env bash
# Pipes a command script into the program and compares everything it prints
# with the expected transcript beside the script (NAME.cmd -> NAME.expected).
#
# Directives in the script (comment lines, which the program ignores):
#   #! args: ARGS      command-line arguments (@DIR@ = the transcripts folder,
#                      also replaced in the piped script); the folder data/
#                      beside the scripts is copied into the working folder
#   #! status: N       expected exit status (default 0)
#   #! stdin: none     run with empty standard input (the script is then only
#                      read through the arguments)
#   #! file: NAME      after the output, append "=== NAME" and that file's
#                      content (files are written in a fresh working folder)
# In the expected transcript a line "~ REGEX" matches any line that matches
# the extended regular expression REGEX as a whole.
set -u
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dir=$(cd "$(dirname "$2")" && pwd)
script=$dir/$(basename "$2")
expected="${script%.cmd}.expected"

directive() { sed -n "s/^#! $1: //p" "$script" | head -n 1; }
args=$(directive args)
args=${args//@DIR@/$dir}
want_status=$(directive status)
want_status=${want_status:-0}
stdin_mode=$(directive stdin)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
[ -d "$dir/data" ] && cp -r "$dir/data" "$work/data"
eval "set -- $args"
# The program runs under the name "pfsolve" wherever it was built: its usage
# texts show that name, and their line breaks depend on its length.
if [ "$stdin_mode" = none ]; then
  (exec -a pfsolve "$bin" "$@") < /dev/null > actual.txt 2>&1
else
  sed "s#@DIR@#$dir#g" "$script" | (exec -a pfsolve "$bin" "$@") > actual.txt 2>&1
fi
status=$?
while read -r name; do
  printf '=== %s\n' "$name" >> actual.txt
  cat "$name" >> actual.txt 2>/dev/null || echo "(missing)" >> actual.txt
done < <(sed -n 's/^#! file: //p' "$script")

fail=0
if [ "$status" != "$want_status" ]; then
  echo "exit status $status, expected $want_status"
  fail=1
fi
mapfile -t got < actual.txt
mapfile -t want < "$expected"
n=${#want[@]}
[ ${#got[@]} -gt "$n" ] && n=${#got[@]}
for ((i = 0; i < n; i++)); do
  g=${got[i]-<missing line>}
  w=${want[i]-<no more lines expected>}
  if [[ "$w" == "~ "* ]]; then
    [[ "$g" =~ ^${w:2}$ ]] && continue
  elif [ "$g" == "$w" ]; then
    continue
  fi
  echo "line $((i + 1)):"
  echo "  expected: $w"
  echo "  actual:   $g"
  fail=1
  break
done
if [ $fail -ne 0 ]; then
  echo "--- full output of $(basename "$script"):"
  cut -c1-300 actual.txt
  exit 1
fi
echo "transcript $(basename "$script") matches"
