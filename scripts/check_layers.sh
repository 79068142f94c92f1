#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer, of another
# folder of its own layer, or when project headers include each other in a
# cycle. Layers from the bottom: core; game, codecs and encoders; storage;
# solver; results and trees; console; app. Tests and benchmarks may include
# any layer.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A rank=([core]=0 [encoders]=1 [game]=1 [codecs]=1 [storage]=2 [solver]=3
                 [results]=4 [trees]=4 [console]=5 [app]=6)
status=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for folder in "${!rank[@]}"; do
  [ -d "$folder" ] || continue
  for file in "$folder"/*.cpp "$folder"/*.h "$folder"/*.inc; do
    [ -e "$file" ] || continue
    while read -r header; do
      target=${header%%/*}
      if [ "$target" = "$header" ]; then
        echo "$file: include \"$header\" names no folder"
        status=1
        continue
      fi
      echo "$file $header" >> "$edges"
      [ "$target" = "$folder" ] && continue
      if [ -z "${rank[$target]+set}" ]; then
        echo "$file: includes $header from $target/, which is not a layer"
        status=1
      elif [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
        echo "$file: includes $header from $target/, which is not below $folder/"
        status=1
      fi
    done < <(sed -n -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$file")
  done
done
# tsort reports any cycle among the include edges.
if ! tsort "$edges" > /dev/null 2> "$edges.err"; then
  echo "include cycle:"
  cat "$edges.err"
  status=1
fi
rm -f "$edges.err"
if [ "$status" = 0 ]; then echo "layering: every include points to a lower layer or to its own folder"; fi
exit $status
