#!/usr/bin/env bash
# The whole suite built for the device's processor (ARMv5TE, armel: 32-bit
# pointers and long, unsigned plain char) and run under qemu-arm in user mode,
# then the cross-processor comparison (tools/arm-compare.sh). The tests that
# run for virtual hours are skipped there (CORVANE_EMULATED); the native build
# runs them. build/armel/corvane_tests and build/armel/corvane are scripts that
# hand the ARM programs to qemu-arm. Prints the wall time of the build and of
# the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/armel-libraries.sh
cmake --preset armel >/dev/null
start=$(date +%s)
cmake --build --preset armel
built=$(date +%s)
echo "arm-test: build for ARMv5TE took $((built - start)) s"
build/armel/corvane_tests --gtest_brief=1
ran=$(date +%s)
echo "arm-test: the suite under qemu-arm took $((ran - built)) s"
bash tools/arm-compare.sh
echo "arm-test: the comparison took $(($(date +%s) - ran)) s"
