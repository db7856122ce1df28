#!/usr/bin/env bash
# Prints what Corvane.dll exports and imports, and fails unless it exports
# exactly the entry points of windows/Corvane.def and takes every call of
# platform/ce/coredll.def from coredll.dll.
set -euo pipefail
dll=${1:-build/windows/Corvane.dll}
root="$(dirname "$0")/.."
table=$(i686-w64-mingw32-objdump -p "$dll")

exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\t\[/ {print $3} on && !/^\t\[/ {on = 0}' \
  <<<"$table")
# DLL name, then each function imported from it, one "DLL function" pair a line.
imports=$(awk '/DLL Name:/ {dll = $3; next} dll && /^\t[0-9a-f]+\t/ {print dll, $3} /^$/ {dll = ""}' <<<"$table")

echo "Exports of $dll:"
sed 's/^/  /' <<<"$exports"
echo "Imports:"
awk '{names[$1] = names[$1] " " $2} END {for (d in names) printf "  %s:%s\n", d, names[d]}' <<<"$imports" | sort

definitions() { awk '/^EXPORTS/ {on = 1; next} on && NF {sub(/@.*/, "", $1); print $1}' "$1" | sort; }
if [ "$(sort <<<"$exports")" != "$(definitions "$root/windows/Corvane.def")" ]; then
  echo "FAIL: the exports differ from windows/Corvane.def" >&2
  exit 1
fi
ce_calls=$(definitions "$root/platform/ce/coredll.def")
misplaced=$(awk 'NR == FNR {ce[$1] = 1; next} ($2 in ce) && $1 != "coredll.dll" {print $2 " from " $1}' \
  <(echo "$ce_calls") <(echo "$imports"))
if [ -n "$misplaced" ]; then
  echo "FAIL: Windows CE calls imported from elsewhere than coredll.dll: $misplaced" >&2
  exit 1
fi
echo "OK: exactly the entry points of Corvane.def; every Windows CE call from coredll.dll"
