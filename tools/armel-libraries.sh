#!/usr/bin/env bash
# What the ARMv5TE build needs: Debian's cross compiler and qemu-arm (installed
# when missing), and the host's libraries built for armel (Boost.Context,
# GoogleTest, with the header-only JSON and CLI11 packages), unpacked into
# build/armel-root, which cmake/armel.cmake searches.
#
# The libraries come from the armel architecture of Debian's archive (added to
# dpkg's foreign architectures when missing) but are unpacked rather than
# installed: installed side by side, a library of two architectures must be the
# same version in both, and the security archive, whose newer versions the
# host may already have (libc6-dev, linux-libc-dev), carries no armel builds.
# A second run finds everything in place and only checks.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/build/armel-root"
packages=(libboost1.74-dev:armel libboost-context1.74-dev:armel libboost-context1.74.0:armel libgtest-dev:armel
  nlohmann-json3-dev libcli11-dev)

bash "$root/.ci/deps.sh" g++-arm-linux-gnueabi qemu-user

stamp="$dest/.unpacked"
[ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ] && exit 0

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx armel; then
  $SUDO dpkg --add-architecture armel
fi
if ! apt-cache show libgtest-dev:armel >/dev/null 2>&1; then
  $SUDO apt-get update -qq
fi

echo "unpacking armel libraries into $dest: ${packages[*]}"
rm -rf "$dest"
mkdir -p "$dest"
download="$(mktemp -d)"
trap 'rm -rf "$download"' EXIT
# Downloading needs no privileges; apt's sandbox user may not write here.
(cd "$download" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "${packages[@]}")
for deb in "$download"/*.deb; do
  dpkg-deb -x "$deb" "$dest"
done
echo "${packages[*]}" >"$stamp"
