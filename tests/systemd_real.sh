#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The Debian package under a real systemd: built with dpkg-buildpackage in a
# root of Debian N with that release's debhelper and held to its lintian
# --pedantic, then installed in a booted Debian N (systemd-nspawn -b, a
# network of its own: loopback alone) and used as an administrator would:
# installed inert; ident.socket enabled and queried over IPv4 and IPv6; the
# per-source and total connection limits met; a burst of 1000 connections
# that neither fails the socket nor keeps it from answering; a silent peer
# cut at a RuntimeMaxSec= scaled down by a drop-in; the serving process's
# confinement as the kernel reports it; systemd's exposure score; removal
# and purge that leave nothing behind. Prints "[figures] systemd real (Debian N): ...".
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

# ipsvd of this release, for the recipe deploy/systemd/ident-tcpsvd.service:
# fetched once with apt-get in the root (the machine's network) and kept.
debs=$container_cache/debs-$codename
if ! ls "$debs"/ipsvd_*.deb >/dev/null 2>&1; then
    mkdir -p "$debs" &&
        container_exec "$root" --bind="$debs:/debs" --chdir=/debs sh -c 'apt-get update -q && apt-get download ipsvd' \
            >"$work/fetch.log" 2>&1 || fail "cannot fetch ipsvd of Debian $release: $(tail -n 5 "$work/fetch.log")"
fi
cp "$debs"/ipsvd_*.deb "$work/" || fail "no ipsvd package in $debs"

container_boot "$root" "$work/console.log" --private-network --bind-ro="$work:/kestrix-test" ||
    fail "Debian $release did not boot"
systemd_version=$(container_run systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')

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
# killed, or for 10 minutes at most (in case the test itself is killed
# before it can); waits until all are connected.
hold() {
    local out=$work/hold.$1
    (IDENT_SOURCE=$1 exec timeout 600 nsenter -t "$container_pid" -n "$client" hold 127.0.0.1 113 "$2" >"$out" 2>&1) &
    holders+=($!)
    eventually 10 grep -qs "^held $2\$" "$out" || fail "could not hold $2 connections from $1: $(cat "$out")"
}
# ask SOURCE ADDRESS: sets reply to what a query from SOURCE to ADDRESS gets.
ask() {
    reply=$(IDENT_SOURCE=$1 container_net "$client" ask "$2" 113 | od -An -c | tr -s ' \n' ' ')
}
answer=$(printf ' 6193 , 23 : ERROR : HIDDEN-USER\r\n' | od -An -c | tr -s ' \n' ' ')
empty=$(printf '' | od -An -c | tr -s ' \n' ' ')
answered_from() {
    ask "$1" 127.0.0.1
    [ "$reply" = "$answer" ]
}
# per_source LABEL SERVING: four silent connections from 127.0.0.1, served
# once "SERVING 4" succeeds; a fifth from there is closed at once, while
# another address is answered.
per_source() {
    hold 127.0.0.1 4
    eventually 10 "$2" 4 || fail "${1}4 held connections are not served"
    ask 127.0.0.1 127.0.0.1
    [ "$reply" = "$empty" ] || fail "${1}a fifth connection from one address got '$reply'"
    answered_from 127.0.0.2 || fail "${1}another address got '$reply' while one held 4 connections"
}
# burst LABEL: 1000 connections from 127.0.0.1, opened at once; another
# address must be answered within 5 s of the burst, after again seconds.
# The client's "seconds-to-open answered refused" are left in burst.out.
burst() {
    local burster start
    container_net "$client" burst 127.0.0.1 113 1000 >"$work/burst.out" 2>&1 &
    burster=$!
    holders+=("$burster")
    sleep 1
    start=$(date +%s.%N)
    eventually 5 answered_from 127.0.0.2 || fail "${1}no answer within 5 s of a burst of 1000 connections: '$reply'"
    again=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f", e - s }')
    wait "$burster"
    holders=()
}
exposure_of() {
    container_run systemd-analyze security --no-pager "$1" 2>&1 |
        sed -n 's/.*Overall exposure level for [^ ]*: \([0-9][0-9.]*\) .*/\1/p'
}

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

per_source "" running_instances_at_least

# The process serving a held connection, as the kernel reports it: nobody
# and nogroup alone, the empty root, no capability in effect, permitted or
# ambient, none in its bounding set beyond the three the unit keeps
# (CAP_SETGID 6, CAP_SETUID 7, CAP_SYS_CHROOT 18) and those in the mask
# EXTRA, no new privileges, a system call filter. LABEL heads each failure.
confined() {
    local label=$1 extra=$2 pid status kept=$(((1 << 6) | (1 << 7) | (1 << 18)))
    field() {
        sed -n "s/^$1:[[:space:]]*//p" <<<"$status" | tr -s '[:space:]' ' ' | sed 's/ $//'
    }
    pid=$(container_run pgrep -x -o hoodwain) || fail "${label}no hoodwain serves the held connections"
    status=$(container_run cat "/proc/$pid/status") || fail "${label}cannot read /proc/$pid/status"
    [ "$(field Uid)" = "65534 65534 65534 65534" ] || fail "${label}Uid: $(field Uid)"
    [ "$(field Gid)" = "65534 65534 65534 65534" ] || fail "${label}Gid: $(field Gid)"
    [ "$(field Groups)" = "65534" ] || fail "${label}Groups: $(field Groups)"
    (((16#$(field CapBnd) & ~(kept | extra)) == 0)) || fail "${label}CapBnd: $(field CapBnd)"
    (((16#$(field CapEff) | 16#$(field CapPrm) | 16#$(field CapAmb)) == 0)) ||
        fail "${label}CapEff $(field CapEff), CapPrm $(field CapPrm), CapAmb $(field CapAmb)"
    [ "$(field NoNewPrivs)" = 1 ] || fail "${label}NoNewPrivs: $(field NoNewPrivs)"
    [ "$(field Seccomp)" = 2 ] || fail "${label}Seccomp: $(field Seccomp) (2 is a filter)"
    [ "$(container_run readlink "/proc/$pid/root")" = /usr/share/kestrix/empty ] ||
        fail "${label}its root is $(container_run readlink "/proc/$pid/root")"
    [ -z "$(container_run ls -A "/proc/$pid/root/")" ] || fail "${label}its root is not empty"
}
confined "" 0

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
eventually 10 answered_from 127.0.0.6 || fail "no answer after a held connection ended: '$reply'"
for pid in "${holders[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
done
holders=()
eventually 20 no_instances || fail "services outlive their connections: $(instances)"
socket_not_failed || fail "ident.socket failed"

# A burst of 1000 connections from one address, opened in under a second:
# the socket never fails (systemd's default trigger limit would fail it
# for good), and another address is answered within 5 s of the burst's end.
burst ""
awk -v a="$again" 'BEGIN { exit !(a <= 5) }' || fail "the first answer after a burst of 1000 connections came after $again s"
read -r opened burst_answered burst_refused <"$work/burst.out"
awk -v o="$opened" 'BEGIN { exit !(o < 1) }' || fail "the burst took $opened s to open, not under 1 s: $(cat "$work/burst.out")"
[ $((burst_answered + burst_refused)) -eq 1000 ] || fail "of the burst's 1000 connections, $burst_answered were answered and $burst_refused refused"
[ "$burst_answered" -ge 4 ] || fail "only $burst_answered of the burst's connections were answered"
socket_not_failed || fail "ident.socket failed after a burst"
[ "$(container_run systemctl show -p Result --value ident.socket)" = success ] ||
    fail "ident.socket's result after a burst: $(container_run systemctl show -p Result --value ident.socket)"
answered_from 127.0.0.1 || fail "the burst's own address is not answered after it: '$reply'"
eventually 20 no_instances || fail "services outlive the burst: $(instances)"

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

exposure=$(exposure_of ident@.service)
[ -n "$exposure" ] || fail "systemd-analyze security gives no exposure level"
awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || fail "exposure $exposure is above 1.5"

rm -f "$work"/hold.*
# The recipe for busy hosts: one tcpsvd confined by systemd, from the
# package's examples, on IPv4 port 113 in place of the socket.
container_run systemctl stop ident.socket || fail "systemctl stop ident.socket"
container_run sh -c 'dpkg -i /kestrix-test/ipsvd_*.deb &&
    cp /usr/share/doc/kestrix/examples/systemd/ident-tcpsvd.service /etc/systemd/system/ &&
    systemctl daemon-reload && systemctl start ident-tcpsvd.service' >"$work/tcpsvd.out" 2>&1 ||
    fail "cannot start ident-tcpsvd.service: $(cat "$work/tcpsvd.out")"
eventually 10 listening || fail "ident-tcpsvd.service does not listen on port 113"
ask "" 127.0.0.1
[ "$reply" = "$answer" ] || fail "tcpsvd: a query got '$reply'"
read -r seconds replies < <(container_net "$client" seq 127.0.0.1 113 100)
[ "$replies" -eq 100 ] || fail "tcpsvd: 100 queries in a row got $replies replies"
tcpsvd_rate=$(awk -v s="$seconds" 'BEGIN { printf "%.0f", 100 / s }')
# Beside it, ident.socket on IPv6 alone (the drop-in from the examples):
# ::1 is answered through the socket, 127.0.0.1 still by tcpsvd alone.
container_run sh -c 'mkdir /etc/systemd/system/ident.socket.d &&
    cp /usr/share/doc/kestrix/examples/systemd/ident-ipv6-only.conf /etc/systemd/system/ident.socket.d/ipv6-only.conf &&
    systemctl daemon-reload && systemctl start ident.socket' >"$work/ipv6.out" 2>&1 ||
    fail "ident.socket on IPv6 alone does not start beside tcpsvd: $(cat "$work/ipv6.out")"
accepted() {
    container_run systemctl show -p NAccepted --value ident.socket
}
before=$(accepted)
ask "" ::1
[ "$reply" = "$answer" ] || fail "beside tcpsvd, a query over ::1 got '$reply'"
[ "$(accepted)" -eq $((before + 1)) ] || fail "the query over ::1 did not pass through ident.socket"
ask "" 127.0.0.1
[ "$reply" = "$answer" ] || fail "beside the IPv6 socket, a query over 127.0.0.1 got '$reply'"
[ "$(accepted)" -eq $((before + 1)) ] || fail "a query over 127.0.0.1 passed through ident.socket, not tcpsvd"
container_run sh -c 'systemctl stop ident.socket && rm -r /etc/systemd/system/ident.socket.d && systemctl daemon-reload' ||
    fail "cannot take the IPv6 socket away"
hoodwains_at_least() {
    [ "$(container_run pgrep -c -x hoodwain)" -ge "$1" ]
}
per_source "tcpsvd: " hoodwains_at_least
# The serving process: as under the socket, except that the bounding set
# may also hold CAP_NET_BIND_SERVICE (10), which tcpsvd keeps to bind port
# 113; with no capability in effect or permitted and no new privileges, it
# cannot be used.
confined "tcpsvd: " $((1 << 10))
# 24 held from six addresses: 20 are served, 4 wait.
for source in 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 127.0.0.6; do
    hold "$source" 4
done
eventually 10 hoodwains_at_least 20 || fail "tcpsvd: 24 held connections do not run 20 hoodwain"
sleep 1
[ "$(container_run pgrep -c -x hoodwain)" -eq 20 ] || fail "tcpsvd: $(container_run pgrep -c -x hoodwain) hoodwain run at once"
for pid in "${holders[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
done
holders=()
# A burst: the service stays up, and another address is answered within 5 s.
burst "tcpsvd: "
tcpsvd_again=$again
[ "$(container_run systemctl show -p NRestarts --value ident-tcpsvd.service)" = 0 ] &&
    container_run systemctl is-active --quiet ident-tcpsvd.service || fail "tcpsvd: the service did not stay up through a burst"
tcpsvd_exposure=$(exposure_of ident-tcpsvd.service)
[ -n "$tcpsvd_exposure" ] || fail "systemd-analyze security gives no exposure level for ident-tcpsvd.service"
container_run sh -c 'systemctl stop ident-tcpsvd.service && rm /etc/systemd/system/ident-tcpsvd.service &&
    systemctl daemon-reload && dpkg -P ipsvd' >"$work/tcpsvd.out" 2>&1 || fail "cannot remove the tcpsvd recipe: $(cat "$work/tcpsvd.out")"
eventually 10 sh -c "! nsenter -t $container_pid -a pgrep -x hoodwain >/dev/null" || fail "hoodwain outlives ident-tcpsvd.service"

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
    "burst of 1000 opened in $(awk -v o="$opened" 'BEGIN { printf "%.3f", o }') s ($burst_answered answered, $burst_refused refused)," \
    "another address answered ${again} s after it;" \
    "tcpsvd recipe: $tcpsvd_rate queries/s (100 in a row), answered ${tcpsvd_again} s after a burst, exposure $tcpsvd_exposure;" \
    "package built in ${build_time} s, $lintian_figures"
