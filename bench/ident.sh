#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/ident.sh - hoodwain under tcpserver side by side with a minimal static
# C responder of the same behaviour and with /bin/true, and the cost of the
# time limit: hoodwain behind kestrix-deadline and behind coreutils timeout
#
#   bash bench/ident.sh [BUILD_DIR [DYNAMIC_BUILD_DIR]] > ident.md
#
# Prints a Markdown section (machine, tables, the command) on standard output;
# progress goes to standard error. BUILD_DIR holds the programs as the default
# preset links them (statically; default build/default, built when missing);
# DYNAMIC_BUILD_DIR the dynamically linked ones (default build/dynamic, built
# with the dynamic preset when missing). As root it installs ucspi-tcp when
# tcpserver is missing. Only 127.0.0.1 is used.
#
# Every figure is the median of ROUNDS interleaved rounds, every ratio the
# median over the rounds of the reference's time over the program's time in
# the same round (so a rate ratio: above 1 is faster than the reference).
#
# Environment: ROUNDS (5), CONNECTIONS (2000), QUERIES (100000), SPAWNS
# (2000), PORT (first of seven consecutive ports; 41300), PROFILE_QUERIES
# (20000; instruction counts under valgrind when it is installed, 0 to skip),
# PACKAGED_HOODWAIN (a path, such as /usr/sbin/hoodwain from the Debian
# package: adds its row to the connections).
set -euo pipefail
export LC_ALL=C
source "$(dirname "$0")/common.sh"

rounds=${ROUNDS:-5}
connections=${CONNECTIONS:-2000}
queries=${QUERIES:-100000}
spawns=${SPAWNS:-2000}
port=${PORT:-41300}
profile_queries=${PROFILE_QUERIES:-20000}
packaged=${PACKAGED_HOODWAIN:-}
if [ -n "$packaged" ] && [ ! -x "$packaged" ]; then
    note "PACKAGED_HOODWAIN=$packaged is not an executable file"
    exit 2
fi

prepare_build "${1:-}"
static_build=$(built "$build" default kestrix-deadline)
dynamic_build=$(built "${2:-$root/build/dynamic}" dynamic scrivel hoodwain)
need_packages tcpserver:ucspi-tcp || { note "tcpserver is missing"; exit 2; }
timeout_program=$(command -v timeout) || { note "coreutils timeout is missing"; exit 2; }
compile ident_client
compile ref_ident -static -g
cp "$root/bench/ref_ident.c" "$tools/ref_ident_dynamic.c"
cc -O2 -g -Wall -Wextra -o "$tools/ref_ident_dynamic" "$tools/ref_ident_dynamic.c"

work=$(mktemp -d "${FAST_DIR:-/dev/shm}/kestrix-bench.XXXXXX")
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

# The programs, by label, as tcpserver starts them.
program_of() {
    case $1 in
        hoodwain) echo "$static_build/hoodwain" ;;
        hoodwain-dynamic) echo "$dynamic_build/hoodwain" ;;
        hoodwain-packaged) echo "$packaged" ;;
        reference) echo "$tools/ref_ident" ;;
        reference-dynamic) echo "$tools/ref_ident_dynamic" ;;
        true) echo /bin/true ;;
        scrivel) echo "$static_build/scrivel" ;;
        scrivel-dynamic) echo "$dynamic_build/scrivel" ;;
    esac
}

shown_name() {
    case $1 in
        hoodwain) echo "hoodwain (static)" ;;
        hoodwain-dynamic) echo "hoodwain (dynamic)" ;;
        hoodwain-deadline) echo "hoodwain (static) behind kestrix-deadline 180" ;;
        hoodwain-timeout) echo "hoodwain (static) behind timeout 180" ;;
        hoodwain-packaged) echo "hoodwain (Debian package, dynamic)" ;;
        reference) echo "reference (static C)" ;;
        reference-dynamic) echo "reference (dynamic C)" ;;
        true) echo "/bin/true (dynamic)" ;;
        scrivel) echo "scrivel (static)" ;;
        scrivel-dynamic) echo "scrivel (dynamic)" ;;
    esac
}

# The command line tcpserver runs for a label, in cmd.
command_of() {
    case $1 in
        hoodwain-deadline) cmd=("$static_build/kestrix-deadline" 180 "$static_build/hoodwain") ;;
        hoodwain-timeout) cmd=("$timeout_program" 180 "$static_build/hoodwain") ;;
        *) cmd=("$(program_of "$1")") ;;
    esac
}

served=(hoodwain hoodwain-dynamic hoodwain-deadline hoodwain-timeout reference true)
[ -n "$packaged" ] && served+=(hoodwain-packaged)
declare -A port_of
start_server() {
    local label=$1 p=$2 cmd
    if (: </dev/tcp/127.0.0.1/"$p") 2>/dev/null; then
        note "port $p is in use: set PORT to the first of ${#served[@]} free ports"
        exit 2
    fi
    command_of "$label"
    tcpserver -H -R -l 0 127.0.0.1 "$p" "${cmd[@]}" 2>/dev/null &
    servers+=($!)
    port_of[$label]=$p
    for _ in $(seq 50); do
        (: </dev/tcp/127.0.0.1/"$p") 2>/dev/null && return 0
        sleep 0.1
    done
    note "tcpserver for $label did not listen on port $p"
    exit 2
}
for i in "${!served[@]}"; do
    start_server "${served[$i]}" $((port + i))
done

# series NAME REFERENCE MODE COUNT LABEL...: rounds into $work/results.NAME;
# a run whose count of replies (or clean exits) is wrong gets status 99.
series() {
    local name=$1 reference=$2 mode=$3 count=$4 round label t got want status
    shift 4
    : >"$work/results.$name"
    for round in $(seq "$rounds"); do
        for label in "$@"; do
            note "$name: round $round of $rounds: $label"
            local args=()
            [ "${label%-dynamic}" = scrivel ] && args=("$work/spawn.log")
            case $mode in
                spawn) read -r t got < <(TCPREMOTEIP=127.0.0.1 TCPREMOTEPORT=4711 \
                    "$tools/ident_client" spawn "$count" "$(program_of "$label")" "${args[@]}") ;;
                *) read -r t got < <("$tools/ident_client" "$mode" 127.0.0.1 "${port_of[$label]}" "$count") ;;
            esac
            want=$count
            [ "$label" = true ] && [ "$mode" != spawn ] && want=0
            status=0
            [ "$got" = "$want" ] || status=99
            echo "$round $label $reference $t 0 $status" >>"$work/results.$name"
        done
    done
}

series seq reference seq "$connections" "${served[@]}"
series pipe reference pipe "$queries" hoodwain hoodwain-dynamic reference
series spawn reference spawn "$spawns" hoodwain hoodwain-dynamic reference reference-dynamic true scrivel scrivel-dynamic

# The time limit's cost: every round's time behind kestrix-deadline or timeout
# over hoodwain's alone in the same round.
bound_table() {
    local label t ratio alone
    awk '$2 == "hoodwain" || $2 == "hoodwain-deadline" || $2 == "hoodwain-timeout" { $3 = "hoodwain"; print }' \
        "$work/results.seq" >"$work/results.bound"
    alone=$(summarize "$work/results.bound" | awk '$1 == "hoodwain" { print $2 }')
    printf '| Program | Connections/s | Rate / hoodwain alone | Added per connection (us) |\n|---|---:|---:|---:|\n'
    while read -r label t ratio _; do
        printf '| %s | %d | %s | %.0f |\n' "$(shown_name "$label")" "$(awk -v n="$connections" -v t="$t" 'BEGIN { printf "%d", n / t }')" \
            "$(awk -v r="$ratio" 'BEGIN { printf "%.3f", 1 / r }')" "$(awk -v t="$t" -v a="$alone" -v n="$connections" 'BEGIN { print (t - a) / n * 1e6 }')"
    done < <(summarize "$work/results.bound")
}

linking() {
    if file -L "$1" 2>/dev/null | grep -q 'statically linked'; then echo static; else echo dynamic; fi
}

rate_table() {
    local name=$1 count=$2 unit=$3 label t ratio st
    printf '| Program | %s/s | Median wall (s) | Rate / reference | Fastest rate / fastest reference |\n|---|---:|---:|---:|---:|\n' "$unit"
    while read -r label t ratio _ st _ best; do
        local flag=""
        [ "$st" = ok ] || flag=" **($st)**"
        printf '| %s%s | %d | %.3f | %s | %s |\n' "$(shown_name "$label")" "$flag" "$(awk -v n="$count" -v t="$t" 'BEGIN { printf "%d", n / t }')" \
            "$t" "$(awk -v r="$ratio" 'BEGIN { printf "%.3f", 1 / r }')" "$(awk -v r="$best" 'BEGIN { printf "%.3f", 1 / r }')"
    done < <(summarize "$work/results.$name")
}

spawn_table() {
    local label t ratio st path
    printf '| Program | Linking | Size (bytes) | Start-up: fork+exec+exit (us) | Time / reference (static C) |\n'
    printf '|---|---|---:|---:|---:|\n'
    while read -r label t ratio _ st _; do
        path=$(program_of "$label")
        local flag=""
        [ "$st" = ok ] || flag=" **($st)**"
        printf '| %s%s | %s | %s | %.0f | %s |\n' "$(shown_name "$label")" "$flag" "$(linking "$path")" "$(stat -L -c %s "$path")" \
            "$(awk -v t="$t" -v n="$spawns" 'BEGIN { print t / n * 1e6 }')" "$ratio"
    done < <(summarize "$work/results.spawn")
}

# Instructions per query under callgrind, which counts them exactly: where the
# time of a pipelined query goes, free of the machine's noise.
profile_table() {
    if [ "$profile_queries" = 0 ] || ! have_callgrind; then
        echo "(valgrind is not installed, or PROFILE_QUERIES=0: no instruction counts)"
        return
    fi
    awk -v n="$profile_queries" 'BEGIN { for (i = 0; i < n; i++) printf "%d,%d\r\n", i % 65535 + 1, (i * 7919) % 65535 + 1 }' >"$work/queries"
    local label
    printf '| Function | Instructions per request |\n|---|---:|\n'
    for label in hoodwain reference; do
        note "callgrind: $label"
        TCPREMOTEIP=127.0.0.1 TCPREMOTEPORT=4711 callgrind_rows "$(shown_name "$label")" "$profile_queries" "$work/queries" 12 \
            "$(program_of "$label")"
    done
}

# System calls per request, counted by strace with the requests read from a
# file (so reads are as large as the request limit allows).
trace_table() {
    if ! command -v strace >/dev/null 2>&1; then
        echo "(strace is not installed)"
        return
    fi
    local n=10000 label
    awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) printf "%d,%d\r\n", i % 65535 + 1, (i * 7919) % 65535 + 1 }' >"$work/trace"
    printf '| Program | Writes per request | Reads per 1000 bytes of requests | Other calls in all |\n|---|---:|---:|---:|\n'
    for label in hoodwain reference; do
        TCPREMOTEIP=127.0.0.1 TCPREMOTEPORT=4711 strace -c -o "$work/strace" "$(program_of "$label")" <"$work/trace" >/dev/null 2>&1
        awk -v n="$n" -v bytes="$(stat -c %s "$work/trace")" -v who="$(shown_name "$label")" '
            $1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { calls[$NF] = $4; total += $4 }
            END { printf "| %s | %.3f | %.2f | %d |\n", who, calls["write"] / n, calls["read"] / (bytes / 1000), total - calls["write"] - calls["read"] }' "$work/strace"
    done
}

ratio_of() { summarize "$work/results.$1" | awk -v l="$2" '$1 == l { printf "%.3f", 1 / $3 }'; }
best_ratio_of() { summarize "$work/results.$1" | awk -v l="$2" '$1 == l { printf "%.3f", 1 / $7 }'; }
verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v != "" && v + 0 >= limit + 0) ? "met" : "**not met**" }'; }

cat <<EOF
### Ident responder: hoodwain

$(machine_table)
| Work directory | $(fs_of "$work") |

Regenerate with \`bash bench/ident.sh${1:+ $1}${2:+ $2}\` (${packaged:+PACKAGED_HOODWAIN=$packaged }ROUNDS=$rounds CONNECTIONS=$connections QUERIES=$queries
SPAWNS=$spawns). tcpserver (ucspi-tcp) runs each program as \`tcpserver -H -R -l 0 127.0.0.1 PORT program\`,
with the programs' standard error (the connection log) going to /dev/null. bench/ident_client.c makes the
connections: one request each, a half-close, then it reads to the end of the connection, which comes when
the responder exits; or one connection carrying all the requests without waiting for the replies. The
reference (bench/ref_ident.c, linked statically) behaves the same on the wire and in the log: one write per
log line and per reply, reads of at most the room left below the 1000-byte request limit. Every time is the
median of $rounds interleaved rounds; "Rate / reference" is the median over the rounds of the reference's
time over the program's.

#### $connections connections in turn, one request each

$(rate_table seq "$connections" Connections)

#### The time limit: $connections connections in turn, each under a 180-second bound

The same rounds as above: hoodwain started through \`kestrix-deadline 180\` (an alarm left pending, then an exec)
and through coreutils \`timeout 180\` (which stays as hoodwain's parent for the whole connection), each round's
time over that of hoodwain alone in the same round.

$(bound_table)

#### One connection, $queries pipelined requests

$(rate_table pipe "$queries" Requests)

#### Start-up alone ($spawns runs; standard descriptors on /dev/null, so hoodwain logs its connection, reads end of input and exits)

$(spawn_table)

#### System calls per request (strace -c, 10000 requests from a file)

$(trace_table)

#### Instructions per pipelined request (valgrind --tool=callgrind, $profile_queries requests from a file)

$(profile_table)

#### Targets

| Target | Measured | |
|---|---|---|
| Connections per second under tcpserver at least 0.90 x the reference | $(ratio_of seq hoodwain) (fastest runs $(best_ratio_of seq hoodwain)) | $(verdict "$(ratio_of seq hoodwain)" 0.90) |
| Pipelined requests per second at least 0.90 x the reference | $(ratio_of pipe hoodwain) (fastest runs $(best_ratio_of pipe hoodwain)) | $(verdict "$(ratio_of pipe hoodwain)" 0.90) |
EOF
