#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The package's own tests (debian/tests), run by autopkgtest as Debian's CI
# runs them, on the installed package of Debian N: the package built in the
# build root of N (dpkg-buildpackage -us -uc -b), then a root of N with
# autopkgtest booted (systemd-nspawn -b, a network of its own: loopback
# alone), and in it "autopkgtest DEB SOURCE -- null": the test bed is that
# booted system, systemd its PID 1, so the test of the units runs too, on
# port 113. Every test must pass; none may be skipped. The roots are made
# once and kept (scripts/sh/booted.sh); the booted system is thrown away.
# Status 77 (skipped) when not root, or inside a system that systemd-nspawn
# booted.
# Usage: autopkgtest.sh N SOURCE_DIR
set -u
# shellcheck source=scripts/sh/booted.sh
. "$(dirname "$0")/../scripts/sh/booted.sh"

release=$1
source_dir=$2
[ "$(id -u)" -eq 0 ] || kx_skip "booting a system with systemd-nspawn needs root"
[ -e /run/systemd/container ] && kx_skip "this machine is itself a booted container ($(cat /run/systemd/container))"
for tool in debootstrap systemd-nspawn nsenter flock dpkg-parsechangelog; do
    command -v "$tool" >/dev/null 2>&1 || kx_fail "$tool is not installed (scripts/deps.sh installs it)"
done
codename=$(kx_container_codename "$release") || kx_fail "no such release"
build_root=$(kx_container_build_root "$codename") || kx_fail "no build root of Debian $release"
root=$(kx_container_autopkgtest_root "$codename") || kx_fail "no autopkgtest root of Debian $release"
work=$(kx_mktemp autopkgtest) || exit 1
remove_work() {
    rm -rf "$work"
}
kx_at_exit remove_work
kx_at_exit kx_container_poweroff

start=$(kx_now_us)
package_version=$(kx_package_version "$source_dir") || kx_fail "no version in debian/changelog"
kx_container_build_package "$build_root" "$source_dir" "$package_version" "$work" || kx_fail "no package for Debian $release"
built=$(kx_elapsed "$start" 0)
# The tests come from the source tree, which autopkgtest copies into the test
# bed; the binary package from the build.
kx_copy_tree "$source_dir" "$work/source" || kx_fail "cannot copy the source tree"
deb=kestrix_${package_version}_$(dpkg --print-architecture).deb

start=$(kx_now_us)
kx_container_boot "$root" "$work/console.log" --private-network --bind="$work:/kestrix-test" ||
    kx_fail "Debian $release did not boot"
# Only the package and what the root holds are installed: the test bed has
# no network, so apt looks in no archive.
kx_container_run sh -c 'rm -f /etc/apt/sources.list /etc/apt/sources.list.d/*' ||
    kx_fail "cannot take the archives out of apt's sources"
kx_container_run env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    autopkgtest --output-dir=/kestrix-test/out "/kestrix-test/$deb" /kestrix-test/source -- null \
    >"$work/autopkgtest.log" 2>&1
status=$?
ran=$(kx_elapsed "$start" 0)
summary=$(cat "$work/out/summary" 2>/dev/null)
echo "$summary"
# autopkgtest: 0 all passed, 2 some skipped, 4 some failed, 8 none ran.
if [ "$status" -ne 0 ] || [ -z "$summary" ] || grep -qv ' PASS$' <<<"$summary"; then
    kx_fail "autopkgtest ended with status $status:"$'\n'"$(tail -n 60 "$work/autopkgtest.log")"
fi
echo "[figures] autopkgtest (Debian $release): $(grep -c ' PASS$' <<<"$summary") tests passed; package built in $built s, booted and tested in $ran s"
