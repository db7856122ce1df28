#!/usr/bin/env bash
# Builds one target of the default preset (and only what it links), saying so
# in one line; the compiler's progress goes to build/default/build.log and is
# shown only when the build fails, without the progress lines.
# Usage: tools/build-quietly.sh TARGET "what the first build costs"
set -uo pipefail
cd "$(dirname "$0")/.."
target=$1
first_time=${2:-}
log=build/default/build.log
cmake --preset default >/dev/null || exit 1
if [ -e "build/default/$target" ] || [ -z "$first_time" ]; then
  echo "building $target..."
else
  echo "building $target (first time: $first_time)..."
fi
if ! cmake --build --preset default --target "$target" >"$log" 2>&1; then
  grep -v -E '^\[ *[0-9]+%\] |^gmake(\[[0-9]+\])?: (Entering|Leaving) ' "$log" >&2
  echo "the build of $target failed; its whole output is in $log" >&2
  exit 1
fi
