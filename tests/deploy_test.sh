#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs the deployment recipes of deploy/ end to end against the real peers
# from Debian: tcpserver, runsv and sv, logrotate, systemd-socket-activate and
# systemd-analyze (with setpriv, unshare and strace for what the systemd unit
# asks of the kernel), xinetd, rsyslog. Each case copies the recipe files it
# needs into a fresh directory, puts the test's paths in place of the system
# paths and a free port on 127.0.0.1 in place of 113, runs them, and checks
# what a client and the log see, and how each hoodwain is confined.
#
# A case is the file tests/deploy/CASE.sh, which defines case_CASE; its line
# "# ctest: NAME" names its CTest test (and "# timeout: SECONDS" its time
# limit, 90 by default). This file holds what several cases share.
#
# Usage: deploy_test.sh CASE SOURCE_DIR SCRIVEL HOODWAIN DEADLINE ACCEPT
#        deploy_test.sh --list        the cases
# Exit status: 0 passed, 1 failed, 77 skipped (a peer or a privilege that
# this machine does not have).
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/sh/kx.sh
. "$here/../scripts/sh/kx.sh"

if [ "${1:-}" = --list ]; then
    for f in "$here"/deploy/*.sh; do
        f=${f##*/}
        echo "${f%.sh}"
    done
    exit 0
fi
[ $# -eq 6 ] || {
    echo "usage: deploy_test.sh CASE SOURCE_DIR SCRIVEL HOODWAIN DEADLINE ACCEPT" >&2
    exit 2
}
case_name=$1
source_dir=$2
scrivel=$3
hoodwain=$4
deadline=$5
# shellcheck disable=SC2034 # read by the cases
accept=$6
recipes=$source_dir/deploy
work=$(kx_mktemp deploy) || exit 1
remove_work() {
    rm -rf "$work"
}
kx_at_exit remove_work

# On a failure, the start of every log of the case.
show_logs() {
    local f
    for f in "$work"/*.out "$work"/*.err "$work"/log/current* "$work"/log/xinetd; do
        [ "${f%.gz}" = "$f" ] || continue
        [ -f "$f" ] && { echo "--- $f"; head -c 4000 "$f"; }
    done
}
kx_on_fail show_logs

# The time limit that the recipes give a connection, in seconds; the cases
# that wait for it put a few seconds in its place.
bound=180
hidden_6193=' 6193 , 23 : ERROR : HIDDEN-USER'$'\r'
hidden_6193_6195=$hidden_6193$'\n'' 6195 , 25 : ERROR : HIDDEN-USER'$'\r'

# pid_of LOG PORT: the process id that logged the connection from PORT.
pid_of() {
    grep -o "[0-9][0-9]*: connect from 127\.0\.0\.1 port $2\$" "$1" 2>/dev/null | cut -d: -f1
}

connection_logged() {
    [ -n "$(pid_of "$1" "$2")" ]
}

logged() {
    grep -q -- "$2\$" "$1" 2>/dev/null
}

# Every hoodwain must run in the empty directory as nobody:nogroup.
check_confined() {
    local fields why
    fields=$(kx_proc_fields "$1") || kx_fail "hoodwain $1 is not running"
    why=$(kx_confined_to_nobody "$fields" "$work/empty") || kx_fail "hoodwain $1 is not confined: $why"
}

# answered PORT: one query on a fresh connection gets its reply. A refused
# connection is only a false: the subshell ignores SIGPIPE, the shell not.
answered() {
    local reply
    reply=$(
        trap '' PIPE
        exec {conn}<>"/dev/tcp/127.0.0.1/$1" && kx_ask "$conn" '6193, 23\r\n' 1
    ) 2>/dev/null
    [ "$reply" = "$hidden_6193" ]
}

# One connection through whatever super-server listens on PORT, with LOG as
# hoodwain's connection log: two queries in one packet, their replies, the
# confinement of the process and its log, then a malformed query that ends a
# second connection without a reply.
exercise_responder() {
    local port=$1 log=$2 conn client_port pid reply
    exec {conn}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
    client_port=$(kx_local_port "$conn")
    reply=$(kx_ask "$conn" '6193, 23\r\n6195,25\n' 2) || kx_fail "cannot send to the responder"
    [ "$reply" = "$hidden_6193_6195" ] || kx_fail "replies were $(printf '%q' "$reply")"
    kx_eventually 5 logged "$log" ": request 6195,25" || kx_fail "the queries were not logged"
    pid=$(pid_of "$log" "$client_port")
    [ -n "$pid" ] || kx_fail "no 'connect from 127.0.0.1 port $client_port' in the log"
    check_confined "$pid"
    logged "$log" "$pid: request 6193,23" || kx_fail "the first query was not logged"
    exec {conn}>&-
    kx_eventually 5 logged "$log" "$pid: closed" || kx_fail "the end of connection $pid was not logged"
    kx_eventually 5 kx_not kx_alive "$pid" || kx_fail "hoodwain $pid still runs after the peer left"

    exec {conn}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
    client_port=$(kx_local_port "$conn")
    kx_ask "$conn" 'x\n' 0 || kx_fail "cannot send to the responder"
    kx_closed_by_peer "$conn" || kx_fail "a query without a comma did not end the connection"
    exec {conn}>&-
    kx_eventually 5 connection_logged "$log" "$client_port" || kx_fail "the second connection was not logged"
    pid=$(pid_of "$log" "$client_port")
    kx_eventually 5 logged "$log" "$pid: closed" || kx_fail "the end of connection $pid was not logged"
    logged "$log" "$pid: request without comma" || kx_fail "the malformed query was not logged"
}

# The substitutions that make the run script of deploy/ a test's.
install_run_script() {
    kx_install_recipe "$recipes/runit/ident/run" "$1" \
        /usr/share/kestrix/empty "$work/empty" \
        " 0 113 " " 127.0.0.1 $2 " \
        "/usr/sbin/kestrix-deadline 180 " "$deadline $bound " \
        /usr/sbin/hoodwain "$hoodwain"
}

# The same for the runit service of deploy/ with its log service.
install_ident_service() {
    local service=$1 port=$2
    install_run_script "$service/run" "$port"
    kx_install_recipe "$recipes/runit/ident/log/run" "$service/log/run" \
        /usr/sbin/scrivel "$scrivel" \
        /var/log/ident "$work/log"
}

# start_runsv SERVICE: runsv on SERVICE, its process id in $work/runsv.pid.
start_runsv() {
    runsv "$1" >"$work/runsv.out" 2>&1 &
    kx_track $!
    echo $! >"$work/runsv.pid"
}

# sv exit: the service gets SIGTERM, the log service the end of its input,
# and runsv ends once both are down.
stop_runsv() {
    sv exit "$1" >/dev/null 2>&1
    kx_eventually 15 kx_not kx_alive "$(cat "$work/runsv.pid")" || kx_fail "runsv did not exit after sv exit"
}

# hold_silent PORT COUNT LOG: opens COUNT connections that never send a byte
# and waits until each is served. $work/silent holds "FROM AT", the times
# (kx_now_us) between which every alarm was armed, then a line "FD PID" for
# each, its descriptor and the hoodwain process that serves it.
hold_silent() {
    local port=$1 count=$2 log=$3 fd client_port i peers=
    local from
    from=$(kx_now_us)
    for ((i = 1; i <= count; i++)); do
        exec {fd}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
        client_port=$(kx_local_port "$fd")
        kx_eventually 5 connection_logged "$log" "$client_port" || kx_fail "silent peer $i of $count was not served"
        peers+="$fd $(pid_of "$log" "$client_port")"$'\n'
    done
    printf '%s %s\n%s' "$from" "$(kx_now_us)" "$peers" >"$work/silent"
}

# Every silent peer's hoodwain still runs, as it must while the time limit
# has not passed since the first of them connected. (On a machine so loaded
# that holding them took longer than the limit, the first may rightly be
# gone: cut_at_bound then checks when each ended.)
still_held() {
    local from fd pid
    {
        read -r from _
        [ "$(kx_now_us)" -lt $((from + bound * 1000000)) ] || return 0
        while read -r fd pid; do
            kx_alive "$pid" || return 1
        done
    } <"$work/silent"
}

# silent_ends: waits until every silent peer's hoodwain has ended, 10 s past
# the time limit at the most, and prints "FD PID GONE" for each, GONE taken
# just after it was seen gone: it ended no later than that.
silent_ends() {
    local from at fd pid now left peer peers=()
    local -A gone=()
    {
        read -r from at
        mapfile -t peers
    } <"$work/silent"
    while :; do
        now=$(kx_now_us)
        left=0
        for peer in "${peers[@]}"; do
            read -r fd pid <<<"$peer"
            [ -n "${gone[$pid]:-}" ] && continue
            if kx_alive "$pid"; then
                left=$((left + 1))
            else
                gone[$pid]=$(kx_now_us)
            fi
        done
        [ "$left" -eq 0 ] && break
        [ "$now" -lt $((at + (bound + 10) * 1000000)) ] ||
            kx_fail "$left silent peers' hoodwain still run 10 s after the time limit of $bound s"
        sleep 0.05
    done
    for peer in "${peers[@]}"; do
        read -r fd pid <<<"$peer"
        echo "$fd $pid ${gone[$pid]}"
    done
}

# cut_at_bound LOG: every silent peer's hoodwain ends at the time limit: none
# is seen gone before $bound seconds have passed since the first connected,
# all are gone within 10 seconds after it, each connection is closed without
# a byte, and the log holds no "closed" line for any of them.
cut_at_bound() {
    local log=$1 from at fd pid gone first='' last='' ends count=0
    read -r from at <"$work/silent"
    ends=$(silent_ends) || exit 1
    while read -r fd pid gone; do
        count=$((count + 1))
        [ -z "$first" ] || [ "$gone" -lt "$first" ] && first=$gone
        [ -z "$last" ] || [ "$gone" -gt "$last" ] && last=$gone
        [ "$gone" -ge $((from + bound * 1000000)) ] ||
            kx_fail "hoodwain $pid ended $(((gone - from) / 1000)) ms after its peer connected, before the time limit of $bound s"
        kx_closed_by_peer "$fd" || kx_fail "the connection of hoodwain $pid is not closed, or not without a byte"
        exec {fd}>&-
        grep -qE "(^| )$pid: closed\$" "$log" && kx_fail "hoodwain $pid logged its end"
    done <<<"$ends"
    echo "[figures] $case_name idle bound: $count silent peers, limit $bound s, gone $(((first - from) / 1000)) to $(((last - from) / 1000)) ms after the first connected (held $(((at - from) / 1000)) ms to connect all)"
}

[ -f "$here/deploy/$case_name.sh" ] || kx_fail "unknown case $case_name"
# shellcheck source=/dev/null
. "$here/deploy/$case_name.sh"
"case_$case_name"
exit 0
