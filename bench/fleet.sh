#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/fleet.sh - the rsyslog recipes of deploy/rsyslog under failures, run by
# hand as root: one host's scrivel log followed by a sending rsyslogd and sent
# over RELP to a central rsyslogd on 127.0.0.1, with the real logrotate, each
# in its own work directory, pid file and port (scripts/sh/fleet.sh, as the
# fleet test installs them). Every line of every generation that scrivel
# wrote is then compared with the central file.
#
# Usage: bash bench/fleet.sh DIR [BUILD_DIR [ROUNDS [CASES]]]
#   DIR        where the logs, spools and central files go (a tmpfs, or the
#              disk to measure); emptied first
#   CASES      any of: crash-outage stop-outage crash-flow long-outage
#              receiver-crash rotations rate central-full power-loss
#              (default: all)
# Prints one line per case and round:
#   CASE: N lines, R rotations, lost L, duplicated D, torn T... S s
set -u
# shellcheck source=scripts/sh/fleet.sh
. "$(dirname "$0")/../scripts/sh/fleet.sh"
base=${1:?usage: fleet.sh DIR [BUILD_DIR [ROUNDS [CASES]]]}
build=${2:-$kx_root/build/default}
rounds=${3:-1}
cases=${4:-crash-outage stop-outage crash-flow long-outage receiver-crash rotations rate central-full power-loss}
scrivel=$build/scrivel
# RECIPES: another directory of the rsyslog recipe files, to compare.
recipes=${RECIPES:-$kx_root/deploy/rsyslog}
[ -x "$scrivel" ] || kx_fail "no $scrivel: build it first"
[ "$(id -u)" -eq 0 ] || kx_fail "run as root"
W=$base/fleet

# setup: a fresh fleet in $W, the sender reporting its counters (impstats).
setup() {
    rm -rf "$W"
    mkdir -p "$W"
    kx_fleet_configure "$W" "$recipes"
    printf 'module(load="impstats" interval="1" log.file="%s" format="json")\n' "$W/sender/impstats" >>"$W/sender/rsyslog.conf"
    mkfifo "$W/fifo"
    echo 0 >"$W/lines"
    echo 0 >"$W/rotations"
    : >"$W/extra"
}

count() {
    cat "$W/$1"
}

# What a case adds to its line.
extra() {
    printf '%s' "$*" >>"$W/extra"
}

# start sender|central: descriptor 7, the writing end of scrivel's input, is
# not theirs to keep open.
start() {
    kx_fleet_start "$W" "$1" 7>&-
}

halt() {
    kx_fleet_halt "$W" "$1" "$2"
}

scrivel_start() {
    "$scrivel" -c "$W/log/current" <"$W/fifo" 2>"$W/scrivel.err" &
    kx_track $!
    echo $! >"$W/ident-log.pid"
    exec 7>"$W/fifo"
}

# write COUNT [PAUSE]: COUNT more numbered lines, 200 at a time, PAUSE
# seconds after each 200.
write() {
    local n to next
    n=$(count lines)
    to=$((n + $1))
    while [ "$n" -lt "$to" ]; do
        next=$((n + 200 < to ? n + 200 : to))
        awk -v f=$((n + 1)) -v t="$next" 'BEGIN { for (i = f; i <= t; i++) printf "line %07d of a numbered stream\n", i }' >&7
        n=$next
        echo "$n" >"$W/lines"
        sleep "${2:-0.02}"
    done
}

# Rotations at least a second apart: the generations are named by the second.
rotate() {
    sleep 1.1
    kx_fleet_rotate "$W"
    echo $(($(count rotations) + 1)) >"$W/rotations"
}

central_has() {
    [ "$(kx_fleet_central_count "$W")" -ge "$1" ]
}

current_has() {
    [ "$(wc -l <"$W/log/current")" -ge "$1" ]
}

# wait_until COMMAND...: COMMAND succeeds within 300 s, or a word says not.
wait_until() {
    kx_eventually 300 "$@" || kx_note "gave up waiting for: $*"
}

finish() {
    exec 7>&-
    wait "$(cat "$W/ident-log.pid")"
}

# As near as a process gets to a power loss: the sender killed while the
# central host is away, and its state files emptied, as a power loss leaves a
# state file whose rewriting had not reached the disk.
case_power_loss() {
    local f
    halt central KILL
    write 10000 0.005
    rotate
    write 5000 0.005
    sleep 2
    halt sender KILL
    for f in "$W"/sender/spool/imfile-state:*; do
        : >"$f"
    done
    start sender
    sleep 3
    start central
}

# 30,000 lines and three rotations while the central host is away, then the
# sender killed (crash-outage) or stopped (stop-outage) and started again,
# then the central host back.
case_outage() {
    halt central KILL
    for _ in 1 2 3; do
        write 10000 0.005
        rotate
    done
    sleep 2
    if [ "$1" = crash-outage ]; then halt sender KILL; else halt sender TERM; fi
    start sender
    sleep 3
    start central
}

case_crash_outage() {
    case_outage crash-outage
}

case_stop_outage() {
    case_outage stop-outage
}

case_crash_flow() {
    for _ in 1 2; do
        write 5000 0.01
        halt sender KILL
        start sender
        write 3000 0.01
        rotate
    done
}

case_long_outage() {
    local t0
    halt central KILL
    for _ in $(seq 12); do
        write 12500 0.002
        rotate
    done
    t0=$(kx_now_us)
    start central
    wait_until central_has "$(count lines)"
    extra ", the backlog of $(($(count lines) - 4000)) lines sent in $(kx_elapsed "$t0" 3) s"
}

# A 60,000-line backlog; the central rsyslogd killed twice while it drains,
# each time after 5,000 more lines have arrived.
case_receiver_crash() {
    local was
    halt central KILL
    for _ in 1 2 3; do
        write 20000 0.002
        rotate
    done
    start central
    for _ in 1 2; do
        was=$(kx_fleet_central_count "$W")
        wait_until central_has $((was + 5000))
        extra ", killed at $(kx_fleet_central_count "$W")"
        halt central KILL
        sleep 1
        start central
    done
}

case_rotations() {
    for _ in $(seq 22); do
        write 4500 0.01
        rotate
    done
}

# The central files on a tmpfs of 1 MiB that 30,000 lines fill, grown to
# 16 MiB 10 s after the last line; the central copy repaired afterwards.
case_central_full() {
    local full=$W/central/hosts
    halt central TERM
    mkdir -p "$full"
    mount -t tmpfs -o size=1m fleet-full "$full" || {
        kx_note "central-full: no tmpfs"
        return 1
    }
    start central
    write 30000 0.01
    sleep 10
    extra ", the central file full at $(kx_fleet_central_count "$W") lines"
    mount -o remount,size=16m "$full"
}

# As fast as scrivel writes: scrivel's own rate, and how soon after the
# central file has every line.
case_rate() {
    local t0 t1 t2
    t0=$(kx_now_us)
    awk 'BEGIN { for (i = 4001; i <= 54000; i++) printf "line %07d of a numbered stream\n", i }' >&7
    echo 54000 >"$W/lines"
    wait_until current_has 52000
    t1=$(kx_now_us)
    wait_until central_has 54000
    t2=$(kx_now_us)
    extra "$(awk -v a="$t0" -v b="$t1" -v c="$t2" 'BEGIN { printf ", scrivel alone %.0f lines/s, central complete %.2f s after scrivel: %.0f lines/s",
        50000 / ((b - a) / 1e6), (c - b) / 1e6, 50000 / ((c - a) / 1e6) }')"
}

compared() {
    local lost dup torn
    read -r lost dup torn < <(kx_fleet_compare "$W")
    echo "lost $lost, duplicated $dup, torn $torn"
}

run_case() {
    local begin=$SECONDS name=$1
    setup
    start central
    start sender
    scrivel_start
    write 2000
    rotate
    write 2000
    "case_${name//-/_}" || {
        halt sender TERM
        halt central TERM
        finish
        return 1
    }
    write 1000
    kx_fleet_settle "$W" "$(count lines)" 120
    finish
    kx_fleet_settle "$W" "$(count lines)" 20
    halt sender TERM
    halt central TERM
    echo "$name: $(count lines) lines, $(count rotations) rotations, $(compared)$(count extra), $((SECONDS - begin)) s"
    if [ "$name" = central-full ]; then
        echo "central-full: ident-central-repair: $("$recipes/ident-central-repair" "$W"/central/hosts/*/ident.log "$W"/log/current*), then $(compared)"
        umount "$W/central/hosts"
    fi
}

for ((r = 1; r <= rounds; r++)); do
    for c in $cases; do
        declare -F "case_${c//-/_}" >/dev/null || kx_fail "no case $c"
        run_case "$c"
    done
done
