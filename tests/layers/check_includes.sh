#!/usr/bin/env bash
# Every #include "..." of the program's sources names its own folder or a
# folder below it, in the order of the line "Layers, lowest first:" of
# README.md's source layout. tests/ and tools/ stand outside the layers;
# build directories (those holding a CMakeCache.txt) are skipped.
#
#   tests/layers/check_includes.sh SOURCE_DIR
set -euo pipefail

root=${1:?usage: check_includes.sh SOURCE_DIR}
cd "$root"

read -ra layers < <(sed -n 's/^Layers, lowest first: //p' README.md | tr -d '`/') || true
if ((${#layers[@]} == 0)); then
  echo "README.md has no line 'Layers, lowest first:'" >&2
  exit 1
fi
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

status=0
while IFS= read -r -d '' file; do
  file=${file#./}
  folder=${file%%/*}
  if [[ ! -v rank[$folder] ]]; then
    echo "$file: $folder/ is none of the layers" >&2
    status=1
    continue
  fi
  while IFS= read -r target; do
    to=${target%%/*}
    if [[ ! -v rank[$to] ]] || ((rank[$to] > rank[$folder])); then
      echo "$file: #include \"$target\" is not of $folder/ or a layer below it" >&2
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find . -mindepth 1 -maxdepth 1 -type d \
           \( -name tests -o -name tools -o -name node_modules -o -name '.*' \
              -o -exec test -e '{}/CMakeCache.txt' \; \) -prune \
           -o -mindepth 2 -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0)
exit $status
