#!/usr/bin/env bash
# Runs the shipped build/windows/Corvane.dll under Wine: the host program
# (build/windows/wine/host.exe) loads it beside the stand-in coredll.dll and
# drives it. With a number of seconds, the stress run instead of the check.
# Installs Wine (32-bit, from Debian) when it is missing. The host's last line
# is the verdict: Wine's exit code is not reliable after a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-}

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' ||
   ! dpkg-query -W -f='${Status}' wine 2>/dev/null | grep -q 'install ok installed'; then
  echo "installing: wine wine32 (i386)"
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wine wine32:i386 >/dev/null
fi

# A 32-bit prefix of its own, made once; no display, no Mono or Gecko.
export WINEPREFIX="$PWD/build/windows/wine/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows-test: making the Wine prefix"
  wineboot -i >/dev/null 2>&1
fi

log=build/windows/wine/host.log
start=$(date +%s)
# The stress run's own length, and time for load and unload; the check needs
# well under a minute.
limit=$(( ${seconds:-0} + 120 ))
timeout "$limit" wine build/windows/wine/host.exe "$PWD/build/windows/Corvane.dll" $seconds 2>&1 | sed -u 's/\r$//' | tee "$log" || true
echo "windows-test: $(( $(date +%s) - start )) s under Wine"
if [ "$(tail -n 1 "$log")" != "host verdict: PASS" ]; then
  echo "windows-test: FAIL (the host's last line is not its PASS verdict; log in $log)" >&2
  exit 1
fi
