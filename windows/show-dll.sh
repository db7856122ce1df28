#!/usr/bin/env bash
# Prints what Corvane.dll exports and imports and how big it is stripped, and
# fails unless it exports exactly the entry points of windows/Corvane.def and
# imports from coredll.dll alone, the one system library of a Windows CE
# module.
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
echo "Imports ($(wc -l <<<"$imports") calls):"
awk '{names[$1] = names[$1] " " $2} END {for (d in names) printf "  %s:%s\n", d, names[d]}' <<<"$imports" | sort
stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
i686-w64-mingw32-strip -o "$stripped" "$dll"
echo "Size: $(stat -c %s "$dll") bytes, $(stat -c %s "$stripped") stripped"
awk '$1 == "Subsystem" {code = $2 + 0} $1 == "MajorSubsystemVersion" {major = $2}
     $1 == "MinorSubsystemVersion" {minor = $2} END {printf "Subsystem: %d, version %s.%s\n", code, major, minor}' \
  <<<"$table"

definitions() { awk '/^EXPORTS/ {on = 1; next} on && NF && $1 !~ /^;/ {sub(/@.*/, "", $1); print $1}' "$1" | sort; }
if [ "$(sort <<<"$exports")" != "$(definitions "$root/windows/Corvane.def")" ]; then
  echo "FAIL: the exports differ from windows/Corvane.def" >&2
  exit 1
fi
elsewhere=$(awk '$1 != "coredll.dll" {print $2 " from " $1}' <<<"$imports")
if [ -n "$elsewhere" ]; then
  echo "FAIL: imports from a DLL other than coredll.dll: $(tr '\n' ' ' <<<"$elsewhere")" >&2
  exit 1
fi
echo "OK: exactly the entry points of Corvane.def; every import from coredll.dll"
