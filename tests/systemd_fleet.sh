#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The central-logging recipe of deploy/rsyslog in two booted Debian N
# systems, a sender and a central host, each with a network of its own
# (systemd-nspawn --private-network), joined by a veth pair that this test
# makes and moves into them, with the addresses 10.213.24.1 and .2 and
# nothing else but loopback: no other address is ever a target. (The pair is
# moved with ip link set netns once each has booted: systemd-nspawn
# --network-interface= takes only an interface that udev has seen, and a
# machine without udev has none.) Both run rsyslog as Debian installs it (the
# stock /etc/rsyslog.conf, with imuxsock and imklog), the recipe's files in
# /etc/rsyslog.d and, on the sender, its drop-in for rsyslog.service and
# ident-forward-rewind. On the sender the package is installed, and a unit
# of the test, a stand-in for ident.service with the package's drop-in for
# it, writes numbered lines through scrivel@ident into
# /var/log/ident/current, rotated by logrotate with the recipe's stanza
# (rotate 1000 in place of 14, so that every generation stays to be
# compared), whose postrotate reloads scrivel@ident.service.
#
# Through the lines: 24 rotations; the sender's rsyslog killed
# (systemctl kill -s KILL, and systemd starts it again) in steady flow
# twice; the central one killed likewise once; then the central host away
# (its rsyslog and syslog.socket stopped) for six rotations, during which
# the sender's rsyslog is killed and then stopped and started cleanly; the
# central host back, and its rsyslog killed while the backlog drains. At the
# end every line of every generation that scrivel wrote must be in the
# central file once at least, whole, and lines twice only within the bounds
# of the fleet test (scripts/sh/fleet.sh).
#
# The roots are kept (scripts/sh/booted.sh): the rsyslog root of Debian N,
# and its build root for the package. Status 77 (skipped) when not root, or
# inside a system that systemd-nspawn booted.
#
# Usage: systemd_fleet.sh N SOURCE_DIR VERSION [LINES]   (100,000 lines; the
#        package's own version is that of debian/changelog)
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/sh/booted.sh
. "$here/../scripts/sh/booted.sh"
# shellcheck source=scripts/sh/fleet.sh
. "$here/../scripts/sh/fleet.sh"

[ $# -ge 3 ] || {
    echo "usage: systemd_fleet.sh N SOURCE_DIR VERSION [LINES]" >&2
    exit 2
}
release=$1 source_dir=$2 total=${4:-100000}
rotations=24
sender_address=10.213.24.1 central_address=10.213.24.2
[ "$(id -u)" -eq 0 ] || kx_skip "booting a system with systemd-nspawn needs root"
[ -e /run/systemd/container ] && kx_skip "this machine is itself a booted container ($(cat /run/systemd/container))"
for tool in debootstrap systemd-nspawn nsenter flock ip; do
    command -v "$tool" >/dev/null 2>&1 || kx_fail "$tool is not installed (scripts/deps.sh installs it)"
done
codename=$(kx_container_codename "$release") || kx_fail "no such release"
work=$(kx_mktemp fleet) || exit 1
begin=$SECONDS
sender_if='' central_if=''

figure() {
    echo "[figures] systemd fleet (Debian $release): $*"
}

# on HOST COMMAND...: COMMAND in the booted system HOST (sender, central).
on() {
    (kx_container_attach "$work/$1.booted" && kx_container_run "${@:2}")
}

# on_net HOST COMMAND...: a program of this machine in HOST's network.
on_net() {
    (kx_container_attach "$work/$1.booted" && kx_container_net "${@:2}")
}

# The booted systems powered off, the link gone, the work removed.
finish() {
    local host
    for host in sender central; do
        if [ -f "$work/$host.booted" ] && kx_container_attach "$work/$host.booted" 2>/dev/null; then
            kx_container_poweroff
        fi
    done
    [ -z "$sender_if" ] || ip link del "$sender_if" 2>/dev/null
    rm -rf "$work"
}
kx_at_exit finish

show_journals() {
    local host
    for host in sender central; do
        echo "--- Debian $release, $host: rsyslog's last lines"
        on "$host" journalctl --no-pager -n 25 -u rsyslog.service -u scrivel@ident.service 2>&1
    done
}
kx_on_fail show_journals

# The package, built in the build root, and the rsyslog root.
build_root=$(kx_container_build_root "$codename") || kx_fail "no build root of Debian $release"
root=$(kx_container_rsyslog_root "$codename") || kx_fail "no rsyslog root of Debian $release"
start=$(kx_now_us)
package_version=$(kx_package_version "$source_dir") || kx_fail "no version in debian/changelog"
kx_container_build_package "$build_root" "$source_dir" "$package_version" "$work" || kx_fail "no package for Debian $release"
deb=kestrix_${package_version}_$(dpkg --print-architecture).deb
figure "package built in $(kx_elapsed "$start" 0) s"

# The recipes as the test installs them, in $work/etc (seen inside as
# /kestrix-test/etc).
recipes=$source_dir/deploy
mkdir -p "$work/etc"
kx_install_recipe "$recipes/rsyslog/ident-forward.conf" "$work/etc/ident-forward.conf" \
    'target="logs.example.org"' "target=\"$central_address\""
kx_install_recipe "$recipes/rsyslog/central.conf" "$work/etc/central.conf"
kx_install_recipe "$recipes/rsyslog/ident-forward-rewind" "$work/etc/ident-forward-rewind"
kx_install_recipe "$recipes/rsyslog/rsyslog-rewind.conf" "$work/etc/rsyslog-rewind.conf"
kx_install_recipe "$recipes/rsyslog/logrotate-ident" "$work/etc/logrotate-ident" "rotate 14" "rotate 1000"
kx_install_recipe "$recipes/systemd/ident-scrivel.conf" "$work/etc/ident-scrivel.conf"
rewind_lines=$(sed -n 's/^ExecStartPre=.* \([0-9][0-9]*\)$/\1/p' "$work/etc/rsyslog-rewind.conf")
[ -n "$rewind_lines" ] || kx_fail "the drop-in for rsyslog.service has no ExecStartPre= that ends in a number of lines"
# The stand-in for ident.service: the lines of the fleet test, 200 at a time,
# slower than there, so that each rotation has a second of its own and the
# time it takes through systemd.
printf '%s\n' '[Unit]' 'Description=Numbered lines, a stand-in for ident' '[Service]' \
    "ExecStart=/bin/bash -c '. /kestrix-src/scripts/sh/fleet.sh && kx_fleet_feed $total /run/kx-fleet.progress 0.1 >&2'" \
    >"$work/etc/kx-fleet.service"

# The link, and the two systems on it.
sender_if=kxs$$ central_if=kxc$$
ip link add "$sender_if" type veth peer name "$central_if" || kx_fail "cannot make a veth pair"
start=$(kx_now_us)
for host in central sender; do
    if [ "$host" = sender ]; then link=$sender_if address=$sender_address; else link=$central_if address=$central_address; fi
    kx_container_boot "$root" "$work/$host.console" --private-network \
        --bind-ro="$work:/kestrix-test" --bind-ro="$source_dir:/kestrix-src" || kx_fail "Debian $release did not boot ($host)"
    kx_container_save "$work/$host.booted"
    ip link set dev "$link" netns "$kx_container_pid" || kx_fail "cannot move $link into the $host"
    kx_container_run sh -c "ip addr add $address/30 dev $link && ip link set $link up" ||
        kx_fail "cannot give the $host its address"
done
figure "two systems booted in $(kx_elapsed "$start" 1) s, rsyslog $(on sender dpkg-query -W -f='${Version}' rsyslog)"

on central sh -c 'cp /kestrix-test/etc/central.conf /etc/rsyslog.d/central.conf && systemctl restart rsyslog.service' ||
    kx_fail "rsyslog does not start with the central host's recipe"
kx_eventually 20 kx_listening 2514 on_net central || kx_fail "the central rsyslog does not listen on port 2514"
on sender sh -c "dpkg -i /kestrix-test/$deb >/dev/null &&
    install -m 0755 /kestrix-test/etc/ident-forward-rewind /usr/local/sbin/ident-forward-rewind &&
    cp /kestrix-test/etc/ident-forward.conf /etc/rsyslog.d/ident-forward.conf &&
    mkdir -p /etc/systemd/system/rsyslog.service.d /etc/systemd/system/kx-fleet.service.d &&
    cp /kestrix-test/etc/rsyslog-rewind.conf /etc/systemd/system/rsyslog.service.d/ident-forward.conf &&
    cp /kestrix-test/etc/logrotate-ident /etc/logrotate.d/ident &&
    cp /kestrix-test/etc/kx-fleet.service /etc/systemd/system/kx-fleet.service &&
    cp /kestrix-test/etc/ident-scrivel.conf /etc/systemd/system/kx-fleet.service.d/scrivel.conf &&
    systemctl stop logrotate.timer && systemctl daemon-reload && systemctl start scrivel@ident.socket" ||
    kx_fail "the sender does not take the recipe"
# rsyslog starts following the log once scrivel has made it.
kx_eventually 10 on sender test -e /var/log/ident/current || kx_fail "scrivel@ident does not make /var/log/ident/current"
on sender systemctl restart rsyslog.service || kx_fail "rsyslog does not start with the sender's recipe"
on sender systemctl show -p ExecStartPre --value rsyslog.service | grep -q /usr/local/sbin/ident-forward-rewind ||
    kx_fail "rsyslog.service does not run ident-forward-rewind before it starts"

central_count() {
    on central sh -c 'cat /var/log/hosts/*/ident.log 2>/dev/null | wc -l'
}

progress() {
    on sender cat /run/kx-fleet.progress 2>/dev/null || echo 0
}

progress_past() {
    local p
    p=$(progress)
    [ "${p:-0}" -ge "$1" ]
}

# rsyslog_pid HOST: the main process of its rsyslog.service, if it runs.
rsyslog_pid() {
    local pid
    pid=$(on "$1" systemctl show -p MainPID --value rsyslog.service)
    [ "${pid:-0}" != 0 ] && echo "$pid"
}

# back_after HOST PID: its rsyslog runs again, started anew by systemd.
back_after() {
    local now
    now=$(rsyslog_pid "$1") && [ "$now" != "$2" ] && on "$1" systemctl is-active --quiet rsyslog.service
}

# kill_rsyslog HOST: SIGKILL through systemd, which starts it again. (systemd
# 252 may report a failure to signal the unit's other processes, of which it
# has none, when the main one got it: a new main process tells.)
kill_rsyslog() {
    local pid
    pid=$(rsyslog_pid "$1") || kx_fail "no rsyslog runs on the $1"
    on "$1" systemctl kill -s KILL rsyslog.service >>"$work/kill.out" 2>&1
    kx_eventually 30 back_after "$1" "$pid" ||
        kx_fail "the $1's rsyslog was not killed and started again: $(cat "$work/kill.out")"
}

# A generation is named by the second of its rotation: the next rotation
# waits for a second after the one in which the last ended.
last_rotation=0
rotate() {
    kx_eventually 3 kx_fleet_past "$last_rotation" || kx_fail "the clock stands still"
    on sender logrotate -f /etc/logrotate.d/ident >>"$work/logrotate.out" 2>&1 ||
        kx_fail "logrotate failed: $(cat "$work/logrotate.out")"
    last_rotation=$(date +%s)
}

# The read positions that imfile keeps in its state files, summed: bytes.
read_positions() {
    on sender sh -c 'cat /var/spool/rsyslog/imfile-state:* 2>/dev/null' |
        sed -n 's/.*"curr_offs": *\([0-9][0-9]*\).*/\1/p' | awk '{ s += $1 } END { print s + 0 }'
}

# stop_and_rewind: the sender's rsyslog stopped cleanly (and its socket, so
# that nothing starts it meanwhile), then started, which runs the rewind;
# with the central host away, imfile cannot move on, so its positions must
# be back where the rewind put them. Prints the bytes moved back.
stop_and_rewind() {
    local before after
    on sender systemctl stop syslog.socket rsyslog.service || kx_fail "the sender's rsyslog does not stop"
    before=$(read_positions)
    [ "$before" -gt 0 ] || kx_fail "imfile left no read position the rewind can read:"$'\n'"$(on sender sh -c \
        'ls -li /var/log/ident; for f in /var/spool/rsyslog/*; do echo "$f: $(cat "$f")"; done')"
    on sender systemctl start rsyslog.service || kx_fail "the sender's rsyslog does not start again"
    after=$(read_positions)
    [ "$after" -lt "$before" ] || kx_fail "the rewind moved no read position back ($before bytes, then $after)"
    echo $((before - after))
}

# drain_and_kill: the central host back, its rsyslog killed once the backlog
# has begun to arrive and before all of it has; prints "ARRIVED WAITING",
# the lines there and still to come at the kill.
drain_and_kill() {
    local before now written
    before=$(central_count)
    on central systemctl start rsyslog.service || kx_fail "the central rsyslog does not start again"
    kx_eventually 90 central_grew "$before" || kx_fail "the backlog does not arrive at the central host"
    now=$(central_count) written=$(progress)
    kill_rsyslog central
    echo "$now $((written - now))"
}

central_grew() {
    [ "$(central_count)" -gt "$1" ]
}

start=$SECONDS
on sender systemctl start kx-fleet.service || kx_fail "the writer does not start"
crashes=0 stops=0 restarts=0 waited=0 drain='' rewound=0
for ((k = 1; k <= rotations; k++)); do
    kx_eventually 120 progress_past $((k * total / (rotations + 1))) ||
        kx_fail "the writer stalled before $((k * total / (rotations + 1))) lines"
    rotate
    case $k in
    4 | 12)
        kill_rsyslog sender
        crashes=$((crashes + 1))
        ;;
    8)
        kill_rsyslog central
        restarts=$((restarts + 1))
        ;;
    16)
        on central systemctl stop syslog.socket rsyslog.service || kx_fail "cannot stop the central rsyslog"
        ;;
    18)
        waited=$(($(progress) - $(central_count)))
        kill_rsyslog sender
        crashes=$((crashes + 1))
        ;;
    20)
        rewound=$(stop_and_rewind) || exit 1
        stops=$((stops + 1))
        ;;
    22)
        drain=$(drain_and_kill) || exit 1
        restarts=$((restarts + 1))
        ;;
    esac
done
progress_past "$total" && kx_fail "the writer ended before the last rotation"
kx_eventually 120 kx_not on sender systemctl is-active --quiet kx-fleet.service || kx_fail "the writer did not finish"
# The central file is complete once it holds as many lines as were written
# and no more arrive for 2 s.
central_settled() {
    local last=-1 count until=$((SECONDS + 180))
    while [ "$SECONDS" -lt "$until" ]; do
        count=$(central_count)
        [ "$count" -ge "$total" ] && [ "$count" -eq "$last" ] && return 0
        last=$count
        sleep 2
    done
    return 1
}
central_settled || kx_fail "the central host holds $(central_count) lines of $total three minutes after the last"

on sender sh -c 'for f in /var/log/ident/current-* /var/log/ident/current; do cat "$f"; done' >"$work/written"
sender_name=$(on sender cat /proc/sys/kernel/hostname)
on central sh -c 'ls /var/log/hosts/*/*' >"$work/central.files"
[ "$(cat "$work/central.files")" = "/var/log/hosts/$sender_name/ident.log" ] ||
    kx_fail "the central host wrote $(tr '\n' ' ' <"$work/central.files"), not $sender_name/ident.log"
on central cat "/var/log/hosts/$sender_name/ident.log" >"$work/central"
count=$(wc -l <"$work/written")
[ "$count" -eq "$total" ] || kx_fail "scrivel wrote $count lines, not $total"
kx_all_stamped "$work/written" || kx_fail "a line that scrivel wrote has no time stamp"
generations=$(on sender sh -c 'ls /var/log/ident/current-* | wc -l')
read -r lost dup torn < <(kx_compare_lines "$work/written" "$work/central")
most=$(kx_fleet_most_duplicated "$generations" "$crashes" "$stops" "$restarts" "$rewind_lines" $((total / (rotations + 1))))
read -r arrived pending <<<"$drain"
figure "$total lines, $generations rotations, sender killed $crashes times ($waited lines waiting at the one during the outage) and stopped $stops," \
    "central killed $restarts times (the last with $arrived lines there and $pending to come), the rewind $rewound bytes back at the stop," \
    "lost $lost, duplicated $dup (at most $most), torn $torn, $((SECONDS - start)) s"
[ "$lost" -eq 0 ] || kx_fail "$lost lines are not in the central file"
[ "$torn" -eq 0 ] || kx_fail "$torn lines in the central file are not as scrivel wrote them"
[ "$dup" -le "$most" ] || kx_fail "$dup lines were duplicated, more than the $most accounted for"
[ "$generations" -eq "$rotations" ] || kx_fail "$generations generations, not $rotations"
figure "the whole test took $((SECONDS - begin)) s"
