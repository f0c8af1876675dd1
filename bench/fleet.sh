#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/fleet.sh - the rsyslog recipes of deploy/rsyslog under failures, run by
# hand as root: one host's scrivel log followed by a sending rsyslogd and sent
# over RELP to a central rsyslogd on 127.0.0.1, with the real logrotate, each
# in its own work directory, pid file and port. Every line of every generation
# that scrivel wrote is then compared with the central file.
#
# Usage: bash bench/fleet.sh DIR [BUILD_DIR [ROUNDS [CASES]]]
#   DIR        where the logs, spools and central files go (a tmpfs, or the
#              disk to measure); emptied first
#   CASES      any of: crash-outage stop-outage crash-flow long-outage
#              receiver-crash rotations rate central-full power-loss
#              (default: all)
# Prints one line per case and round:
#   CASE: N lines, R rotations, lost L, duplicated D, ... s
set -u
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
base=${1:?usage: fleet.sh DIR [BUILD_DIR [ROUNDS [CASES]]]}
build=${2:-$root/build/default}
rounds=${3:-1}
cases=${4:-crash-outage stop-outage crash-flow long-outage receiver-crash rotations rate central-full power-loss}
scrivel=$build/scrivel
# RECIPES: another directory of the three rsyslog recipe files, to compare.
recipes=${RECIPES:-$root/deploy/rsyslog}
[ -x "$scrivel" ] || { echo "no $scrivel: build it first" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "run as root" >&2; exit 1; }

listening() {
    local hex
    hex=$(printf ':%04X' "$1")
    awk -v port="$hex" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
        END { exit !found }' /proc/net/tcp 2>/dev/null
}

setup() {
    W=$base/fleet
    rm -rf "$W"
    mkdir -p "$W/log" "$W/sender/spool" "$W/central/spool"
    port=$((20000 + RANDOM % 30000))
    while listening "$port"; do port=$((20000 + RANDOM % 30000)); done
    sed -e "s#/var/log/ident#$W/log#g" \
        -e "s#target=\"logs.example.org\" port=\"2514\"#target=\"127.0.0.1\" port=\"$port\"#" \
        "$recipes/ident-forward.conf" >"$W/sender/forward.conf"
    sed -e "s#/var/log/hosts#$W/central/hosts#g" -e "s#port=\"2514\"#port=\"$port\" address=\"127.0.0.1\"#" \
        "$recipes/central.conf" >"$W/central/central.conf"
    sed -e "s#/var/log/ident#$W/log#g" -e "s#rotate 14#rotate 1000#" -e "s#/run/ident-log.pid#$W/ident-log.pid#" \
        "$recipes/logrotate-ident" >"$W/logrotate.conf"
    printf 'global(workDirectory="%s")\nmodule(load="impstats" interval="1" log.file="%s" format="json")\ninclude(file="%s")\n' \
        "$W/sender/spool" "$W/sender/impstats" "$W/sender/forward.conf" >"$W/sender/rsyslog.conf"
    printf 'global(workDirectory="%s")\ninclude(file="%s")\n' \
        "$W/central/spool" "$W/central/central.conf" >"$W/central/rsyslog.conf"
    mkfifo "$W/fifo"
    n=0 rotations=0
}

# start sender|central: the sender after ident-forward-rewind, as the
# systemd drop-in runs it.
start() {
    if [ "$1" = sender ] && [ -x "$recipes/ident-forward-rewind" ]; then
        "$recipes/ident-forward-rewind" "$W/sender/spool" "$W/log/current" 32 || echo "ident-forward-rewind failed" >&2
    fi
    rsyslogd -n -f "$W/$1/rsyslog.conf" -i "$W/$1/pid" >>"$W/$1.out" 2>&1 7>&- &
    eval "${1}_pid=$!"
    disown $!
    if [ "$1" = central ]; then
        for _ in $(seq 100); do listening "$port" && break; sleep 0.1; done
    fi
}

# halt sender|central SIGNAL
halt() {
    local pid
    eval "pid=\$${1}_pid"
    kill "-$2" "$pid"
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    echo "the $1 rsyslogd did not stop on $2" >&2
    kill -KILL "$pid"
}

scrivel_start() {
    rm -f "$W/log/current"
    "$scrivel" -c "$W/log/current" <"$W/fifo" 2>"$W/scrivel.err" &
    scrivel_pid=$!
    echo "$scrivel_pid" >"$W/ident-log.pid"
    exec 7>"$W/fifo"
}

# write COUNT [PAUSE]: COUNT more numbered lines, 200 at a time, PAUSE
# seconds after each 200.
write() {
    local to=$((n + $1)) next
    while [ "$n" -lt "$to" ]; do
        next=$((n + 200 < to ? n + 200 : to))
        awk -v f=$((n + 1)) -v t="$next" 'BEGIN { for (i = f; i <= t; i++) printf "line %07d of a numbered stream\n", i }' >&7
        n=$next
        sleep "${2:-0.02}"
    done
}

# Rotations at least a second apart: the generations are named by the second.
rotate() {
    sleep 1.1
    logrotate -f -s "$W/logrotate.state" "$W/logrotate.conf" >>"$W/logrotate.out" 2>&1 || cat "$W/logrotate.out" >&2
    rotations=$((rotations + 1))
}

central_count() { cat "$W"/central/hosts/*/ident.log 2>/dev/null | wc -l; }

# until_true COMMAND...: polls COMMAND every 0.05 s for at most 300 s.
until_true() {
    local deadline=$((SECONDS + 300))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "gave up waiting for: $*" >&2; return 1; }
        sleep 0.05
    done
}
central_has() { [ "$(central_count)" -ge "$1" ]; }
current_has() { [ "$(wc -l <"$W/log/current")" -ge "$1" ]; }

# Until the central file holds every line written, and 2 s more of quiet.
settle() {
    local last=-1 c deadline=$((SECONDS + $1))
    while [ "$SECONDS" -lt "$deadline" ]; do
        c=$(central_count)
        [ "$c" -ge "$n" ] && [ "$c" -eq "$last" ] && return 0
        last=$c
        sleep 2
    done
}

finish() {
    exec 7>&-
    wait "$scrivel_pid"
}

compare() {
    local f
    for f in "$W"/log/current*; do
        case $f in *.gz) gzip -dc "$f" ;; *) cat "$f" ;; esac
    done >"$W/written"
    LC_ALL=C awk 'NR == FNR { want[$0]++; next }
        { if ($0 in want) seen[$0]++; else torn++ }
        END { for (l in want) if (!(l in seen)) lost++; else dup += seen[l] - 1
              printf "lost %d, duplicated %d, torn %d", lost, dup, torn }' "$W/written" "$W"/central/hosts/*/ident.log
}

run_case() {
    local begin=$SECONDS t0 t1 extra=
    setup
    start central
    start sender
    scrivel_start
    write 2000
    rotate
    write 2000
    case $1 in
    power-loss)
        # As near as a process gets: the sender killed while the central
        # host is away, and its state files emptied, as a power loss leaves
        # a state file whose rewriting had not reached the disk.
        halt central KILL
        write 10000 0.005
        rotate
        write 5000 0.005
        sleep 2
        halt sender KILL
        for f in "$W"/sender/spool/imfile-state:*; do : >"$f"; done
        start sender
        sleep 3
        start central
        ;;
    crash-outage | stop-outage)
        # 30,000 lines and three rotations while the central host is away,
        # then the sender killed (or stopped) and started again, then the
        # central host back.
        halt central KILL
        for _ in 1 2 3; do write 10000 0.005; rotate; done
        sleep 2
        if [ "$1" = crash-outage ]; then halt sender KILL; else halt sender TERM; fi
        start sender
        sleep 3
        start central
        ;;
    crash-flow)
        for _ in 1 2; do
            write 5000 0.01
            halt sender KILL
            start sender
            write 3000 0.01
            rotate
        done
        ;;
    long-outage)
        halt central KILL
        for _ in $(seq 12); do write 12500 0.002; rotate; done
        t0=$(date +%s.%N)
        start central
        until_true central_has "$n"
        t1=$(date +%s.%N)
        extra=", the backlog of $((n - 4000)) lines sent in $(echo "$t1 - $t0" | bc) s"
        ;;
    receiver-crash)
        # A 60,000-line backlog; the central rsyslogd killed twice while it
        # drains, each time after 5,000 more lines have arrived.
        halt central KILL
        for _ in 1 2 3; do write 20000 0.002; rotate; done
        start central
        for _ in 1 2; do
            local was
            was=$(central_count)
            until_true central_has $((was + 5000))
            extra="$extra, killed at $(central_count)"
            halt central KILL
            sleep 1
            start central
        done
        ;;
    rotations)
        for _ in $(seq 22); do write 4500 0.01; rotate; done
        ;;
    central-full)
        # The central files on a tmpfs of 1 MiB that 30,000 lines fill,
        # grown to 16 MiB 10 s after the last line; then the central copy
        # repaired from the host's generations.
        full=$W/central/hosts
        halt central TERM
        mkdir -p "$full"
        mount -t tmpfs -o size=1m fleet-full "$full" || { echo "central-full: no tmpfs" >&2; halt sender TERM; finish; return 1; }
        start central
        write 30000 0.01
        sleep 10
        extra=", the central file full at $(central_count) lines"
        mount -o remount,size=16m "$full"
        ;;
    rate)
        # As fast as scrivel writes: scrivel's own rate, and how soon after
        # the central file has every line.
        t0=$(date +%s.%N)
        awk 'BEGIN { for (i = 4001; i <= 54000; i++) printf "line %07d of a numbered stream\n", i }' >&7
        n=54000
        until_true current_has 52000
        t1=$(date +%s.%N)
        until_true central_has "$n"
        extra=$(echo "$t0 $t1 $(date +%s.%N)" |
            awk '{ printf ", scrivel alone %.0f lines/s, central complete %.2f s after scrivel: %.0f lines/s", 50000 / ($2 - $1), $3 - $2, 50000 / ($3 - $1) }')
        ;;
    esac
    write 1000
    settle 120
    finish
    settle 20
    halt sender TERM
    halt central TERM
    echo "$1: $n lines, $rotations rotations, $(compare)$extra, $((SECONDS - begin)) s"
    if [ "$1" = central-full ]; then
        echo "central-full: ident-central-repair: $("$recipes/ident-central-repair" "$W"/central/hosts/*/ident.log "$W"/log/current*), then $(compare)"
        umount "$full"
    fi
}

for ((r = 1; r <= rounds; r++)); do
    for c in $cases; do
        run_case "$c"
    done
done
