#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  cmake
  g++
  clang
  clang-format
  clang-tidy
  libclang-rt-14-dev
  libgtest-dev
  make
  procps
  strace
  ucspi-tcp
  logrotate
  valgrind
  mandoc
  runit
  xinetd
  systemd
  dpkg-dev
  file
  gzip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
