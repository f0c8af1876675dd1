#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Installs, from Debian's packages, whatever this machine lacks for the job:
#   deps.sh build   what building and running the programs need (the demo)
#   deps.sh [test]  that and everything the tests, the Debian package and the
#                   benchmarks need
# Needs root (or sudo) only when something is missing. The names serve Debian
# 12 and 13 alike: clang, clang-format, clang-tidy and libclang-rt-dev are
# each release's default LLVM (14 on Debian 12, 19 on Debian 13).
set -euo pipefail

build_packages=(
    cmake
    g++
    make
    ucspi-tcp
)

test_packages=(
    clang
    clang-format
    clang-tidy
    libclang-rt-dev
    libgtest-dev
    procps
    strace
    logrotate
    valgrind
    mandoc
    runit
    xinetd
    systemd
    dpkg-dev
    file
    gzip
    build-essential
    debhelper
    fakeroot
    lintian
    shellcheck
    binutils
    iproute2
    rsyslog
    rsyslog-relp
    debootstrap
    systemd-container
)

case ${1:-test} in
    build) packages=("${build_packages[@]}") ;;
    test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
    *)
        echo "usage: deps.sh [build|test]" >&2
        exit 2
        ;;
esac

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
