#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The Debian package under a real systemd: built with dpkg-buildpackage in a
# root of Debian N with that release's debhelper and held to its lintian
# --pedantic, then installed in a booted Debian N (systemd-nspawn -b, a
# network of its own: loopback alone) and used as an administrator would:
# installed inert; ident.socket enabled and queried over IPv4 and IPv6; the
# per-source and total connection limits met; a silent peer cut at a
# RuntimeMaxSec= scaled down by a drop-in; the serving process's confinement
# as the kernel reports it; systemd's exposure score; removal and purge that
# leave nothing behind. Prints "[figures] systemd real (Debian N): ...".
#
# The roots are made once and kept (tests/containers.sh). Status 77
# (skipped) when not root, or inside a system that systemd-nspawn booted.
# Usage: systemd_real.sh N SOURCE_DIR VERSION
set -u

release=$1
source_dir=$2
version=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/containers.sh
. "$here/containers.sh"

skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "booting a system with systemd-nspawn needs root"
# A system booted by systemd-nspawn (such as this test's own) boots no other.
[ -e /run/systemd/container ] && skip "this machine is itself a booted container ($(cat /run/systemd/container))"

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-systemd.XXXXXX") || exit 1
holders=()
cleanup() {
    local pid
    for pid in "${holders[@]}"; do
        kill "$pid" 2>/dev/null
    done
    container_poweroff
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL (Debian $release): $*" >&2
    if [ -n "$container_pid" ]; then
        echo "--- the journal's last lines" >&2
        container_run journalctl --no-pager -n 40 >&2
    fi
    exit 1
}

for tool in debootstrap systemd-nspawn nsenter flock cc dpkg-deb; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is not installed (scripts/deps.sh installs it)"
done
codename=$(container_codename "$release") || fail "no such release"
root=$(container_root "$codename") || fail "no root of Debian $release"
build_root=$(container_build_root "$codename") || fail "no build root of Debian $release"

# The client runs here, inside the booted system's network.
client=$work/ident_client
cc -O2 -o "$client" "$source_dir/bench/ident_client.c" || fail "cannot compile bench/ident_client.c"

# The package, built as Debian builds it, from a copy named as Debian names
# an unpacked source.
mkdir "$work/kestrix-$version" &&
    tar -C "$source_dir" --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . |
    tar -C "$work/kestrix-$version" -xf - || fail "cannot copy the source tree"
start=$(date +%s.%N)
container_exec "$build_root" --bind="$work:/build" --chdir="/build/kestrix-$version" \
    dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1 ||
    fail "dpkg-buildpackage failed in Debian $release:"$'\n'"$(tail -n 40 "$work/build.log")"
build_time=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.0f", e - s }')
arch=$(dpkg --print-architecture)
deb=kestrix_${version}_$arch.deb
container_exec "$build_root" --bind="$work:/build" --chdir=/build \
    lintian --pedantic -I -E --show-overrides "kestrix_${version}_$arch.changes" >"$work/lintian.out" 2>&1
count() {
    grep -c "^$1: " "$work/lintian.out"
}
[ "$(count E)" -eq 0 ] && [ "$(count W)" -eq 0 ] ||
    fail "lintian of Debian $release:"$'\n'"$(grep -v '^N: ' "$work/lintian.out")"
lintian_figures="lintian E $(count E) W $(count W) I $(count I) P $(count P)"

# The units go where this release's systemd keeps its own.
unit_dir=$(sed -n 's|^\(.*\)/systemd-journald\.service$|\1|p' "$root/var/lib/dpkg/info/systemd.list" | head -n 1)
[ -n "$unit_dir" ] || fail "cannot tell where systemd of Debian $release keeps its units"
contents=$(dpkg-deb -c "$work/$deb") || fail "dpkg-deb -c $deb"
for unit in ident.socket ident@.service; do
    grep -q " \.$unit_dir/$unit\$" <<<"$contents" ||
        fail "$unit is not in $unit_dir:"$'\n'"$(grep systemd <<<"$contents")"
done

container_boot "$root" "$work/console.log" --private-network --bind-ro="$work:/kestrix-test" ||
    fail "Debian $release did not boot"
systemd_version=$(container_run systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')

# eventually SECONDS COMMAND...: COMMAND succeeds within SECONDS.
eventually() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 5; i++)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
listening() {
    container_run ss -Hltn | awk '{ print $4 }' | grep -q ':113$'
}
instances() {
    container_run systemctl list-units --all --no-legend --plain 'ident@*' | grep -c .
}
running_instances_at_least() {
    [ "$(container_run systemctl list-units --state=running --no-legend --plain 'ident@*' | grep -c .)" -ge "$1" ]
}
no_instances() {
    [ "$(instances)" -eq 0 ]
}
package_processes() {
    container_run ps -eo pid=,comm= | grep -E ' (scrivel|hoodwain|kestrix-deadlin)$'
}
socket_not_failed() {
    ! container_run systemctl is-failed --quiet ident.socket
}
# hold SOURCE N: N silent connections from SOURCE, kept until the holder is
# killed; waits until all are connected.
hold() {
    local out=$work/hold.$1
    (IDENT_SOURCE=$1 exec nsenter -t "$container_pid" -n "$client" hold 127.0.0.1 113 "$2" >"$out" 2>&1) &
    holders+=($!)
    eventually 10 grep -q "^held $2\$" "$out" || fail "could not hold $2 connections from $1: $(cat "$out")"
}
# ask SOURCE ADDRESS: sets reply to what a query from SOURCE to ADDRESS gets.
ask() {
    reply=$(IDENT_SOURCE=$1 container_net "$client" ask "$2" 113 | od -An -c | tr -s ' \n' ' ')
}
answer=$(printf ' 6193 , 23 : ERROR : HIDDEN-USER\r\n' | od -An -c | tr -s ' \n' ' ')
empty=$(printf '' | od -An -c | tr -s ' \n' ' ')

# Installed, it starts nothing and opens no port.
container_run dpkg -i "/kestrix-test/$deb" >"$work/dpkg.out" 2>&1 || fail "dpkg -i failed: $(cat "$work/dpkg.out")"
grep -qi 'warning' "$work/dpkg.out" && fail "dpkg -i warns: $(cat "$work/dpkg.out")"
container_run dpkg -S "$unit_dir/ident.socket" | grep -q '^kestrix:' || fail "dpkg -S knows no owner of $unit_dir/ident.socket"
[ "$(container_run systemctl is-enabled ident.socket)" = disabled ] || fail "ident.socket is enabled on install"
listening && fail "something listens on port 113 after the install"
processes=$(package_processes) && fail "processes of the package run after the install: $processes"

# Enabled, it answers over IPv4 and IPv6 and logs to the journal.
container_run systemctl enable --now ident.socket >"$work/enable.out" 2>&1 ||
    fail "systemctl enable --now ident.socket: $(cat "$work/enable.out")"
eventually 10 listening || fail "ident.socket does not listen on port 113"
for address in 127.0.0.1 ::1; do
    ask "" "$address"
    [ "$reply" = "$answer" ] || fail "a query over $address got '$reply'"
done
journal_has() {
    container_run journalctl --no-pager -o cat -t hoodwain | grep -q "$1"
}
for line in ': connect from 127\.0\.0\.1 port [0-9]*$' ': connect from ::1 port [0-9]*$' ': request 6193,23$' ': closed$'; do
    eventually 10 journal_has "$line" || fail "no line '$line' in the journal: $(container_run journalctl --no-pager -o cat -t hoodwain)"
done
read -r seconds replies < <(container_net "$client" seq 127.0.0.1 113 20)
[ "$replies" -eq 20 ] || fail "20 queries in a row got $replies replies"
round_trip=$(awk -v s="$seconds" 'BEGIN { printf "%.0f", s / 20 * 1000 }')

# Four silent connections from one address: a fifth from it is refused,
# while another address is answered.
hold 127.0.0.1 4
eventually 10 running_instances_at_least 4 || fail "4 held connections do not run 4 services"
ask 127.0.0.1 127.0.0.1
[ "$reply" = "$empty" ] || fail "a fifth connection from one address got '$reply'"
ask 127.0.0.2 127.0.0.1
[ "$reply" = "$answer" ] || fail "another address got '$reply' while one held 4 connections"

# The process serving a held connection, as the kernel reports it: nobody
# and nogroup alone, the empty root, no capability beyond the three the
# unit keeps and none in effect, no new privileges, a system call filter.
pid=$(container_run pgrep -x -o hoodwain) || fail "no hoodwain serves the held connections"
status=$(container_run cat "/proc/$pid/status") || fail "cannot read /proc/$pid/status"
field() {
    sed -n "s/^$1:[[:space:]]*//p" <<<"$status" | tr -s '[:space:]' ' ' | sed 's/ $//'
}
[ "$(field Uid)" = "65534 65534 65534 65534" ] || fail "Uid: $(field Uid)"
[ "$(field Gid)" = "65534 65534 65534 65534" ] || fail "Gid: $(field Gid)"
[ "$(field Groups)" = "65534" ] || fail "Groups: $(field Groups)"
# CAP_SETGID (6), CAP_SETUID (7), CAP_SYS_CHROOT (18).
kept=$(((1 << 6) | (1 << 7) | (1 << 18)))
(((16#$(field CapBnd) & ~kept) == 0)) || fail "CapBnd: $(field CapBnd)"
(((16#$(field CapEff)) == 0)) || fail "CapEff: $(field CapEff)"
[ "$(field NoNewPrivs)" = 1 ] || fail "NoNewPrivs: $(field NoNewPrivs)"
[ "$(field Seccomp)" = 2 ] || fail "Seccomp: $(field Seccomp) (2 is a filter)"
root_link=$(container_run readlink "/proc/$pid/root")
[ "$root_link" = /usr/share/kestrix/empty ] || fail "its root is $root_link"
[ -z "$(container_run ls -A "/proc/$pid/root/")" ] || fail "its root is not empty"

# Twenty connections held from five addresses: the 21st is refused (systemd
# accepts and closes it at once), and is answered again once one ends.
for source in 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5; do
    hold "$source" 4
done
eventually 10 running_instances_at_least 20 || fail "20 held connections do not run 20 services"
ask 127.0.0.6 127.0.0.1
[ "$reply" = "$empty" ] || fail "the 21st connection got '$reply'"
kill "${holders[0]}"
wait "${holders[0]}" 2>/dev/null
answered_again() {
    ask 127.0.0.6 127.0.0.1
    [ "$reply" = "$answer" ]
}
eventually 10 answered_again || fail "no answer after a held connection ended: '$reply'"
for pid in "${holders[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
done
holders=()
eventually 20 no_instances || fail "services outlive their connections: $(instances)"
socket_not_failed || fail "ident.socket failed"

# A silent peer is cut at RuntimeMaxSec=, here scaled down to 5 s, and its
# service instance goes away.
container_run sh -c 'mkdir -p /run/systemd/system/ident@.service.d &&
    printf "[Service]\nRuntimeMaxSec=5\n" >/run/systemd/system/ident@.service.d/bound.conf &&
    systemctl daemon-reload' || fail "cannot scale RuntimeMaxSec= down"
cut=$(container_net bash -c 'exec 3<>/dev/tcp/127.0.0.1/113 || exit 1
    start=$(date +%s.%N)
    timeout 60 cat <&3 >/dev/null
    echo "$start $(date +%s.%N)"' | awk '{ printf "%.1f", $2 - $1 }')
[ -n "$cut" ] || fail "no silent connection could be made"
awk -v c="$cut" 'BEGIN { exit !(c >= 4.5 && c <= 15) }' || fail "a silent peer was cut after $cut s, not 5 s"
eventually 20 no_instances || fail "the cut service stays: $(container_run systemctl list-units --all --no-legend 'ident@*')"
failed=$(container_run systemctl list-units --failed --no-legend --plain)
[ -z "$failed" ] || fail "failed units pile up: $failed"
container_run sh -c 'rm -r /run/systemd/system/ident@.service.d && systemctl daemon-reload'

exposure=$(container_run systemd-analyze security --no-pager ident@.service 2>&1 |
    sed -n 's/.*Overall exposure level for [^ ]*: \([0-9][0-9.]*\) .*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security gives no exposure level"
awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || fail "exposure $exposure is above 1.5"

# Removal stops the socket; purge leaves no file of the package behind.
files=$(container_run dpkg -L kestrix) || fail "dpkg -L kestrix"
container_run systemctl disable --now ident.socket >/dev/null 2>&1 || fail "systemctl disable --now ident.socket"
container_run dpkg -r kestrix >"$work/dpkg.out" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.out")"
grep -qi 'warning' "$work/dpkg.out" && fail "dpkg -r warns: $(cat "$work/dpkg.out")"
container_run systemctl is-active --quiet ident.socket && fail "ident.socket is active after removal"
listening && fail "something listens on port 113 after removal"
container_run dpkg -P kestrix >"$work/dpkg.out" 2>&1 || fail "dpkg -P failed: $(cat "$work/dpkg.out")"
grep -qi 'warning' "$work/dpkg.out" && fail "dpkg -P warns: $(cat "$work/dpkg.out")"
left=$(container_run sh -c 'while read -r path; do
        case $path in /usr/share/kestrix*|/usr/share/doc/kestrix*) [ -e "$path" ] && echo "$path" ;;
        *) [ -e "$path" ] && [ ! -d "$path" ] && echo "$path" ;;
        esac
    done; find /etc/systemd /var/lib/systemd -name "ident*"' <<<"$files")
[ -z "$left" ] || fail "purge leaves: $left"
processes=$(package_processes) && fail "processes of the package run after purge: $processes"

echo "[figures] systemd real (Debian $release): systemd $systemd_version, exposure $exposure," \
    "silent peer cut after $cut s (RuntimeMaxSec=5), query round trip $round_trip ms (20 in a row)," \
    "package built in ${build_time} s, $lintian_figures"
