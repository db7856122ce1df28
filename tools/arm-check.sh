#!/usr/bin/env bash
# The driver folders compiled for the device's processor (ARM926EJ-S, ARMv5TE)
# with the flags of the DLL: no exceptions, no run-time type information. Fails
# on any call the objects leave open that a Windows CE module cannot make: each
# must be a call of the CE surface (declared in platform/ce/WinCE.h or
# CeAdditions.h), one of the C library functions the DLL imports from coredll
# (platform/ce/coredll.def), or one of the compiler's pure arithmetic helpers.
# Its atomic helpers (__sync_*, __atomic_*) and the thread pointer
# (__aeabi_read_tp) need Linux's help, which Windows CE does not give. Prints
# the code size per folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build=build/arm-check
cmake --preset arm-check >/dev/null
cmake --build --preset arm-check

mapfile -t objects < <(find "$build" -name '*.cpp.o' | sort)
[ ${#objects[@]} -gt 0 ] || { echo "arm-check: no objects built" >&2; exit 1; }

# Every identifier called in the CE surface's headers, and the C library
# functions coredll.def lists (the cdecl names, without @).
allowed=$(
  cat platform/ce/WinCE.h platform/ce/CeAdditions.h | sed 's,//.*,,' | grep -oE '\b[A-Za-z_][A-Za-z0-9_]*\(' | tr -d '('
  awk '/^EXPORTS/ {on = 1; next} on && NF && $1 !~ /^;/ && $1 !~ /@/ {print $1}' platform/ce/coredll.def
)
allowed=$(sort -u <<<"$allowed")
# The compiler's helpers for what the processor has no instruction for:
# division, 64-bit shifts, multiplies and comparisons.
arithmetic='^__aeabi_(u?idiv|u?idivmod|u?ldivmod|llsl|llsr|lasr|lmul|lcmp|ulcmp)$|^__(u?(div|mod)[sd]i3|udivmoddi4|clz[sd]i2|ctz[sd]i2|popcount[sd]i2)$'

defined=$(arm-linux-gnueabi-nm --defined-only "${objects[@]}" | awk 'NF == 3 {print $3}' | sort -u)
undefined=$(arm-linux-gnueabi-nm -u "${objects[@]}" | awk 'NF == 2 && $1 == "U" {print $2}' | sort -u)
open=$(comm -23 <(echo "$undefined") <(echo "$defined") | sed '/^$/d')

status=0
surface=()
while read -r symbol; do
  [ -n "$symbol" ] || continue
  name=$(arm-linux-gnueabi-c++filt "$symbol" | sed 's/(.*//')
  if grep -qxF -- "$name" <<<"$allowed"; then
    surface+=("$name")
  elif [[ "$name" =~ $arithmetic ]]; then
    surface+=("$name")
  else
    users=$(for o in "${objects[@]}"; do
      if arm-linux-gnueabi-nm -u "$o" | grep -w -- "$symbol" >/dev/null; then
        echo "${o#"$build"/CMakeFiles/corvane_device_objects.dir/}"
      fi
    done | sed 's/\.o$//' | tr '\n' ' ')
    echo "arm-check: FAIL: $(arm-linux-gnueabi-c++filt "$symbol") is no call of the CE surface (from: $users)" >&2
    status=1
  fi
done <<<"$open"

echo "Code size per folder for ARMv5TE (bytes, -O2):"
printf '  %-10s %8s %8s %8s\n' folder text data bss
arm-linux-gnueabi-size "${objects[@]}" | awk -v build="$build/CMakeFiles/corvane_device_objects.dir/" '
  NR > 1 {path = $6; sub(build, "", path); split(path, part, "/"); f = part[1]
          text[f] += $1; data[f] += $2; bss[f] += $3; t += $1; d += $2; b += $3}
  END {for (f in text) printf "  %-10s %8d %8d %8d\n", f, text[f], data[f], bss[f] | "sort"
       close("sort"); printf "  %-10s %8d %8d %8d\n", "total", t, d, b}'
echo "Objects: ${#objects[@]}; outside calls: $(printf '%s\n' "${surface[@]}" | sort -u | tr '\n' ' ')"
if [ $status -ne 0 ]; then exit 1; fi
echo "OK: every outside call of the driver's ARMv5TE objects is the CE surface's, coredll's C library or arithmetic"
