#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/accept.sh - kestrix-accept against tcpserver -c 20 -H -R -l 0, both
# running the same hoodwain -n on 127.0.0.1, and the loop's resident size
# over many connections
#
#   bash bench/accept.sh [BUILD_DIR] > accept.md
#
# kestrix-accept is given its socket by systemd-socket-activate, as a socket
# unit with Accept=no gives it. ident_client seq makes the connections one
# after another. Every round runs both servers, in alternating order; a
# ratio is tcpserver's time over kestrix-accept's in the same round (above 1:
# kestrix-accept is faster), and the table gives the medians. Processor time
# is that of the server and its children (hoodwain included), per connection.
#
# Environment: ROUNDS (7), CONNECTIONS (2000), MEMORY_CONNECTIONS (100000),
# PORT (the first of two free ports; 21500).
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd)
rounds=${ROUNDS:-7}
connections=${CONNECTIONS:-2000}
memory_connections=${MEMORY_CONNECTIONS:-100000}
port=${PORT:-21500}
note() { printf 'bench: %s\n' "$*" >&2; }

for program in kestrix-accept hoodwain; do
    [ -x "$build/$program" ] || { note "no $program in $build"; exit 2; }
done
for command in tcpserver systemd-socket-activate cc; do
    command -v "$command" >/dev/null || { note "$command is missing"; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-accept-bench.XXXXXX")
servers=()
cleanup() {
    local pid
    for pid in "${servers[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
cc -O2 -o "$work/ident_client" "$root/bench/ident_client.c"

listening() {
    local _
    for _ in $(seq 50); do
        (: </dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
        sleep 0.1
    done
    note "nothing listens on port $1"
    exit 2
}
for p in "$port" $((port + 1)); do
    if (: </dev/tcp/127.0.0.1/"$p") 2>/dev/null; then
        note "port $p is in use: set PORT to the first of two free ports"
        exit 2
    fi
done
systemd-socket-activate -l "127.0.0.1:$port" "$build/kestrix-accept" -c 20 "$build/hoodwain" -n 2>/dev/null &
servers+=($!)
tcpserver -c 20 -H -R -l 0 127.0.0.1 $((port + 1)) "$build/hoodwain" -n 2>/dev/null &
servers+=($!)
listening "$port"
listening $((port + 1))
# Without --accept, systemd-socket-activate becomes kestrix-accept.
loop=${servers[0]}
[ "$(cat "/proc/$loop/comm")" = kestrix-accept ] || { note "kestrix-accept did not start"; exit 2; }
declare -A pid_of=([accept]=$loop [tcpserver]=${servers[1]}) port_of=([accept]=$port [tcpserver]=$((port + 1)))

# Processor time of a process and its reaped children, in clock ticks.
ticks() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$1/stat"; }
rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status"; }

# run NAME COUNT: one series; prints "seconds ticks".
run() {
    local before t got
    before=$(ticks "${pid_of[$1]}")
    read -r t got < <("$work/ident_client" seq 127.0.0.1 "${port_of[$1]}" "$2")
    [ "$got" = "$2" ] || { note "$1: $got replies of $2"; exit 1; }
    echo "$t $(($(ticks "${pid_of[$1]}") - before))"
}

: >"$work/rounds"
for round in $(seq "$rounds"); do
    order=(accept tcpserver)
    [ $((round % 2)) -eq 0 ] && order=(tcpserver accept)
    declare -A time_of=() cpu_of=()
    for name in "${order[@]}"; do
        note "round $round of $rounds: $name"
        read -r "time_of[$name]" "cpu_of[$name]" < <(run "$name" "$connections")
    done
    echo "${time_of[accept]} ${time_of[tcpserver]} ${cpu_of[accept]} ${cpu_of[tcpserver]}" >>"$work/rounds"
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v c="$1" '{ print $c }' "$work/rounds" | median; }
hz=$(getconf CLK_TCK)
accept_time=$(column 1)
tcpserver_time=$(column 2)
ratio=$(awk '{ print $2 / $1 }' "$work/rounds" | median)
cpu_ratio=$(awk '$3 > 0 { print $4 / $3 }' "$work/rounds" | median)

note "resident size: $memory_connections connections"
rss_start=$(rss_kb "$loop")
run accept 1000 >/dev/null
rss_1000=$(rss_kb "$loop")
run accept $((memory_connections - 1000)) >/dev/null
rss_end=$(rss_kb "$loop")

echo "## kestrix-accept against tcpserver"
echo
echo "$(uname -srm), $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg) at the end;" \
    "$rounds rounds of $connections connections (ident_client seq), hoodwain -n behind both."
echo
echo "| Server | Connections/s | ms per connection | Processor ms per connection |"
echo "|---|---:|---:|---:|"
for name in accept tcpserver; do
    t=$([ "$name" = accept ] && echo "$accept_time" || echo "$tcpserver_time")
    c=$(column "$([ "$name" = accept ] && echo 3 || echo 4)")
    label=$([ "$name" = accept ] && echo "kestrix-accept -c 20 (systemd-socket-activate)" || echo "tcpserver -c 20 -H -R -l 0")
    awk -v l="$label" -v t="$t" -v c="$c" -v n="$connections" -v hz="$hz" \
        'BEGIN { printf "| %s | %d | %.3f | %.3f |\n", l, n / t, t / n * 1000, c / hz / n * 1000 }'
done
echo
echo "Medians, round by round: kestrix-accept's rate over tcpserver's **$(printf '%.2f' "$ratio")x**;" \
    "tcpserver's processor time per connection over kestrix-accept's $(printf '%.2f' "$cpu_ratio")x."
echo
echo "Resident size of the loop: $rss_start kB at the start, $rss_1000 kB after 1,000 connections," \
    "$rss_end kB after $(printf "%'d" "$memory_connections" 2>/dev/null || echo "$memory_connections")."
echo
echo "Command: \`bash bench/accept.sh\` (ROUNDS=$rounds CONNECTIONS=$connections MEMORY_CONNECTIONS=$memory_connections)"
