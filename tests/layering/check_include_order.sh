#!/usr/bin/env bash
# Every library folder includes only itself and folders listed before it in
# HBT_FOLDERS of the top CMakeLists.txt, so the dependency order written there
# is the order the code really has.
set -euo pipefail
top="${1:?usage: check_include_order.sh SOURCE_DIR}"
folders=$(sed -n '/^set(HBT_FOLDERS/,/)/p' "$top/CMakeLists.txt" | sed 's/set(HBT_FOLDERS//; s/)//' | tr -s ' \n' ' ')
declare -A rank
i=0
for folder in $folders; do rank[$folder]=$i; i=$((i + 1)); done

faults=0
for folder in $folders; do
  [ -d "$top/$folder" ] || continue
  while IFS=: read -r file included; do
    target=${included%%/*}
    [ -n "${rank[$target]+set}" ] || continue
    if [ "${rank[$target]}" -gt "${rank[$folder]}" ]; then
      echo "${file#"$top"/} includes $included: $target comes after $folder"
      faults=$((faults + 1))
    fi
  done < <(grep -rHoE '^#include "[^"]+"' --include='*.h' --include='*.cpp' "$top/$folder" |
           sed -E 's/#include "([^"]+)"/\1/')
done
if [ "$faults" -ne 0 ]; then
  echo "$faults include(s) run against the folder order"
  exit 1
fi
echo "include order holds for: $folders"
