#!/usr/bin/env bash
# Same answers on both processors: the corvane program built for the host
# (build/default) and for ARMv5TE under qemu-arm (build/armel) play the band
# for ten virtual minutes on seeds 1 to 5 in the cooperative schedule, and
# replay every recorded RDS log straight into the decoder; each pair of
# outputs must be byte for byte the same. A difference is printed as a diff
# and fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
host="$root/build/default/corvane"
arm="$root/build/armel/corvane"
logs="${CORVANE_RDS_LOGS:-$root/../shared/rds}"
for program in "$host" "$arm"; do
  [ -x "$program" ] || { echo "arm-compare: $program is not built" >&2; exit 1; }
done

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
failures=0
runs=0
compare() {  # name, then the program's arguments
  local name=$1
  shift
  env -u CORVANE_SCHEDULE -u CORVANE_SEED "$host" "$@" >"$out/$name.x86-64" 2>&1 || echo "exit $?" >>"$out/$name.x86-64"
  env -u CORVANE_SCHEDULE -u CORVANE_SEED "$arm" "$@" >"$out/$name.armv5te" 2>&1 || echo "exit $?" >>"$out/$name.armv5te"
  runs=$((runs + 1))
  if ! cmp -s "$out/$name.x86-64" "$out/$name.armv5te"; then
    echo "arm-compare: FAIL: corvane $* differs between x86-64 and ARMv5TE:" >&2
    diff -u --label x86-64 --label armv5te "$out/$name.x86-64" "$out/$name.armv5te" | head -n 40 >&2 || true
    failures=$((failures + 1))
  fi
}

for seed in 1 2 3 4 5; do
  compare "run-$seed" run --duration 600 --seed "$seed" --timestamps
done
shopt -s nullglob
found=0
for log in "$logs"/*.spy "$logs"/*.rds; do
  compare "replay-$(basename "$log")" replay --direct "$log"
  found=$((found + 1))
done
[ $found -gt 0 ] || { echo "arm-compare: no RDS logs in $logs" >&2; exit 1; }

if [ $failures -ne 0 ]; then
  echo "arm-compare: $failures of $runs outputs differ" >&2
  exit 1
fi
echo "arm-compare: all $runs outputs byte-identical on x86-64 and ARMv5TE ($found logs, seeds 1-5)"
