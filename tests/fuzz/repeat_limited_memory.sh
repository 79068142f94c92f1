#!/usr/bin/env bash
# A repeat of a long text tens of thousands of times writes its copies as it
# goes: with the address space capped far below the size of the whole reply,
# the block still ends with END and the program answers the next command.
set -u
bin=$1
text=$(head -c 30000 /dev/zero | tr '\0' 'x')
tail=$( { printf 'repeat 99999 %s\nis_ready\n' "$text" | (ulimit -v 1000000; exec "$bin"); echo "status $?"; } \
        | tail -n 3)
expected=$'END\nis_ready ok!\nstatus 0'
if [ "$tail" != "$expected" ]; then
  echo "unexpected end of output:"
  echo "$tail"
  exit 1
fi
echo "repeat under a 1 GB address space: 3 GB written, then END and the next reply"
