#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/logger.sh - scrivel side by side with the least work its guarantee
# allows and with the loggers an administrator would pick instead
#
#   bash bench/logger.sh [BUILD_DIR] > logger.md
#
# Prints a Markdown section (machine, tables, the command) on standard output;
# progress goes to standard error. BUILD_DIR holds scrivel (default
# build/default, built with the default preset when missing). Run by hand on
# an otherwise quiet machine; as root it installs the peers it lacks (runit,
# daemontools, s6, strace) from Debian's packages.
#
# Every figure is the median of ROUNDS interleaved rounds (each round runs
# every program once, in turn), and every ratio the median over the rounds of
# a program's time over its reference's time in the same round.
#
# Environment: ROUNDS (5), LINES (1000000), STAMPED_LINES (200000),
# DISK_LINES (20000), TRACE_LINES (10000), LONG_MIB (64; the linearity check
# doubles it), FAST_DIR (a tmpfs; default /dev/shm), DISK_DIR (a disk-backed
# directory; default the build directory).
set -euo pipefail
export LC_ALL=C
source "$(dirname "$0")/common.sh"

rounds=${ROUNDS:-5}
lines=${LINES:-1000000}
stamped_lines=${STAMPED_LINES:-200000}
disk_lines=${DISK_LINES:-20000}
trace_lines=${TRACE_LINES:-10000}
long_mib=${LONG_MIB:-64}

prepare_build "${1:-}"
compile measure
compile gen_input
compile ref_logger -static
need_packages svlogd:runit multilog:daemontools s6-log:s6 strace:strace || note "some peers are missing: their rows are left out"

fast=$(mktemp -d "${FAST_DIR:-/dev/shm}/kestrix-bench.XXXXXX")
disk=$(mktemp -d "${DISK_DIR:-$build}/kestrix-bench-disk.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$fast" "$disk"' EXIT
[ "$(stat -f -c %T "$fast")" = tmpfs ] || note "warning: $fast is not on a tmpfs"
case $(stat -f -c %T "$disk") in
    tmpfs | ramfs | overlayfs) note "warning: $disk is $(stat -f -c %T "$disk"), not a plain disk-backed file system" ;;
esac

note "generating the inputs in $fast"
"$tools/gen_input" lines "$lines" >"$fast/lines"
head -n "$stamped_lines" "$fast/lines" >"$fast/stamped"
head -n "$disk_lines" "$fast/lines" >"$fast/disk"
head -n "$trace_lines" "$fast/lines" >"$fast/trace"
"$tools/gen_input" blob $((long_mib << 20)) >"$fast/long"
"$tools/gen_input" blob $((2 * long_mib << 20)) >"$fast/long2"

have() { command -v "$1" >/dev/null 2>&1; }

# The programs, by label: the command line (with OUT standing for a fresh
# directory of the run) and the name the tables show.
programs() {
    cat <<EOF
scrivel|$build/scrivel OUT/log|scrivel
scrivel-c|$build/scrivel -c OUT/log|scrivel -c
reference|$tools/ref_logger OUT/log|reference
reference-c|$tools/ref_logger -c OUT/log|reference -c
svlogd|svlogd OUT|svlogd (runit)
svlogd-tt|svlogd -tt OUT|svlogd -tt
multilog|multilog s16777215 n100 OUT/ml|multilog (daemontools)
multilog-t|multilog t s16777215 n100 OUT/ml|multilog t
s6-log|s6-log n100 s268435455 OUT/s6|s6-log (s6)
s6-log-T|s6-log T n100 s268435455 OUT/s6|s6-log T
cat|cat|cat >> file
EOF
}

command_of() {
    programs | awk -F'|' -v l="$1" '$1 == l { print $2 }'
}

# The name shown for a label (a label of no program, such as scrivel-2x, as it is).
shown_name() {
    local name
    name=$(programs | awk -F'|' -v l="$1" '$1 == l { print $3 }')
    echo "${name:-$1}"
}

reference_of() {
    case $1 in
        *-2x) echo reference-2x ;;
        *-c | *-tt | *-t | *-T) echo reference-c ;;
        *) echo reference ;;
    esac
}

available() {
    case $1 in
        svlogd*) have svlogd ;;
        multilog*) have multilog ;;
        s6-log*) have s6-log ;;
        *) return 0 ;;
    esac
}

# fresh_command LABEL OUT: makes OUT a fresh output directory for LABEL and
# prints LABEL's command line writing there.
fresh_command() {
    local cmd
    rm -rf "$2"
    mkdir -p "$2"
    case $1 in svlogd*) printf 's0\n' >"$2/config" ;; esac
    cmd=$(command_of "$1")
    echo "${cmd//OUT/$2}"
}

# run_one LABEL INPUT DIR: one timed run; prints "seconds rss status cpu" and
# leaves the output under DIR/out. A run whose output is not every line of
# the input exactly once gets status 99.
run_one() {
    local label=$1 input=$2 out=$3/out cmd result
    cmd=$(fresh_command "$label" "$out")
    if [ "$label" = cat ]; then
        result=$("$tools/measure" -i "$input" -a "$out/log" -- cat)
    else
        # shellcheck disable=SC2086
        result=$("$tools/measure" -i "$input" -- $cmd)
    fi
    local t rss status cpu
    read -r t rss status cpu <<<"$result"
    if [ "$status" = 0 ] && ! output_is_right "$label" "$input" "$out"; then
        status=99
    fi
    echo "$t $rss $status $cpu"
}

output_is_right() {
    local label=$1 input=$2 out=$3 want got
    case $label in
        cat) cmp -s "$input" "$out/log" ;;
        scrivel | reference)
            if [ "$(tail -c 1 "$input" | od -An -c | tr -d ' ')" = '\n' ]; then
                cmp -s "$input" "$out/log"
            else
                [ "$(stat -c %s "$out/log")" = $(($(stat -c %s "$input") + 1)) ]
            fi
            ;;
        *)
            want=$(wc -l <"$input")
            got=$(find "$out" -type f \( -name current -o -name 'log' -o -name '@*' \) -exec cat {} + | wc -l)
            [ "$got" = "$want" ]
            ;;
    esac
}

# series NAME INPUT DIR LABEL...: ROUNDS interleaved rounds into
# $fast/results.NAME. A label ending in -2x runs its program on INPUT2.
series() {
    local name=$1 input=$2 dir=$3 round label
    shift 3
    : >"$fast/results.$name"
    for round in $(seq "$rounds"); do
        for label in "$@"; do
            available "$label" || continue
            note "$name: round $round of $rounds: $label"
            case $label in
                *-2x) echo "$round $label $(reference_of "$label") $(run_one "${label%-2x}" "${input}2" "$dir")" ;;
                *) echo "$round $label $(reference_of "$label") $(run_one "$label" "$input" "$dir")" ;;
            esac >>"$fast/results.$name"
        done
    done
    rm -rf "$dir/out"
}

# pair_ratio NAME A B: the median over the rounds of A's time over B's.
pair_ratio() {
    awk -v a="$2" -v b="$3" '
        { t[$1, $2] = $4; rounds[$1] = 1 }
        END {
            n = 0
            for (r in rounds) if ((r, a) in t && (r, b) in t && t[r, b] > 0) v[++n] = t[r, a] / t[r, b]
            for (i = 2; i <= n; i++) { x = v[i]; for (j = i - 1; j >= 1 && v[j] > x; j--) v[j + 1] = v[j]; v[j + 1] = x }
            if (n) printf "%.2f", n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        }' "$fast/results.$1"
}

guarantee() {
    case $1 in
        scrivel* | reference*) echo "every record O_SYNC" ;;
        cat) echo "none (floor)" ;;
        *) echo "buffered, no sync per line" ;;
    esac
}

# line_table NAME COUNT: the Markdown table of a series of line inputs.
line_table() {
    local name=$1 count=$2 label t ratio rss st cpu best
    printf '| Program | Guarantee | Lines/s | Median wall (s) | Time / reference | CPU time / reference | Fastest / fastest reference | Peak RSS (KiB) |\n'
    printf '|---|---|---:|---:|---:|---:|---:|---:|\n'
    while read -r label t ratio rss st cpu best; do
        local flag=""
        [ "$st" = ok ] || flag=" **($st)**"
        printf '| %s%s | %s | %s | %.3f | %s | %s | %s | %s |\n' "$(shown_name "$label")" "$flag" "$(guarantee "$label")" \
            "$(awk -v n="$count" -v t="$t" 'BEGIN { printf "%d", n / t }')" "$t" "$ratio" "$cpu" "$best" "$rss"
    done < <(summarize "$fast/results.$name")
}

plain=(scrivel reference scrivel-c reference-c svlogd multilog s6-log cat)
stamped=(scrivel-c reference-c svlogd-tt multilog-t s6-log-T)

series fast_lines "$fast/lines" "$fast" "${plain[@]}"
series fast_stamped "$fast/stamped" "$fast" "${stamped[@]}"
series disk_lines "$fast/disk" "$disk" "${plain[@]}"
series long "$fast/long" "$fast" scrivel reference cat scrivel-2x reference-2x cat-2x

# Peak RSS against the number of lines: one run each, the resident set does
# not depend on timing.
rss_of() {
    local input=$1
    rm -rf "$fast/out"
    mkdir -p "$fast/out"
    "$tools/measure" -i "$input" -- "$build/scrivel" "$fast/out/log" | cut -d' ' -f2
}
head -n $((lines / 10)) "$fast/lines" >"$fast/tenth"
rss_trace=$(rss_of "$fast/trace")
rss_tenth=$(rss_of "$fast/tenth")
rss_all=$(rss_of "$fast/lines")

# System calls per record, counted by strace on the smaller input.
trace_calls() {
    local label=$1 via=$2 cmd out=$fast/out
    cmd=$(fresh_command "$label" "$out")
    if [ "$label" = cat ]; then
        strace -c -f -o "$fast/strace" cat <"$fast/trace" >>"$out/log"
    elif [ "$via" = pipe ]; then
        # $cmd is a command line of words; the input must be a pipe, not the file.
        # shellcheck disable=SC2086,SC2002
        cat "$fast/trace" | strace -c -f -o "$fast/strace" $cmd
    else
        # shellcheck disable=SC2086
        strace -c -f -o "$fast/strace" $cmd <"$fast/trace"
    fi
    awk -v records="$trace_lines" -v bytes="$(stat -c %s "$fast/trace")" '
        $1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { calls[$NF] = $4; total += $4 }
        END {
            per = ""
            polls = calls["poll"] + calls["ppoll"]
            reads = calls["read"] + calls["readv"]
            writes = calls["write"] + calls["writev"]
            for (name in calls)
                if (name !~ /^(read|readv|write|writev|poll|ppoll)$/ && calls[name] >= records / 20) {
                    per = per sprintf("%s%s %.2f", per == "" ? "" : ", ", name, calls[name] / records)
                    rest -= calls[name]
                }
            rest += total - reads - writes - polls
            printf "| %.3f | %.2f | %.2f | %s | %d |\n", writes / records, reads / (bytes / 4096),
                reads ? polls / reads : 0, per == "" ? "none" : per, rest
        }' "$fast/strace"
}

trace_table() {
    have strace || { echo "(strace is not installed)"; return; }
    printf '| Program | Input | Writes per record | Reads per 4 KiB of input | Polls per read | Other calls per record | Other calls in all |\n'
    printf '|---|---|---:|---:|---:|---|---:|\n'
    local row label via
    for row in scrivel:file scrivel:pipe scrivel-c:file reference:file reference-c:file svlogd:file multilog:file s6-log:file cat:file; do
        label=${row%%:*}
        via=${row#*:}
        available "$label" || continue
        note "strace: $label from a $via"
        printf '| %s | %s ' "$(shown_name "$label")" "$via"
        trace_calls "$label" "$via"
    done
}

# Instructions per line under callgrind, free of the machine's noise.
profile_table() {
    have_callgrind || { echo "(valgrind is not installed: no instruction counts)"; return; }
    printf '| Function | Instructions per line |\n|---|---:|\n'
    local label cmd
    for label in scrivel reference scrivel-c reference-c; do
        note "callgrind: $label"
        cmd=$(fresh_command "$label" "$fast/out")
        # shellcheck disable=SC2086
        callgrind_rows "$(shown_name "$label")" "$trace_lines" "$fast/trace" "$([ "${label%-c}" = "$label" ] && echo 12 || echo 4)" \
            $cmd
    done
}

long_table() {
    printf '| Program | %d MiB (s) | Time / reference | %d MiB (s) | Time / reference | %d MiB / %d MiB | Peak RSS %d MiB (KiB) | Peak RSS %d MiB (KiB) |\n' \
        "$long_mib" "$((2 * long_mib))" "$((2 * long_mib))" "$long_mib" "$long_mib" "$((2 * long_mib))"
    printf '|---|---:|---:|---:|---:|---:|---:|---:|\n'
    summarize "$fast/results.long" >"$fast/long.summary"
    local label t1 r1 m1 s1 t2 r2 m2 s2
    for label in scrivel reference cat; do
        read -r _ t1 r1 m1 s1 _ < <(awk -v l="$label" '$1 == l' "$fast/long.summary")
        read -r _ t2 r2 m2 s2 _ < <(awk -v l="$label-2x" '$1 == l' "$fast/long.summary")
        local flag=""
        [ "$s1" = ok ] && [ "$s2" = ok ] || flag=" **($s1/$s2)**"
        printf '| %s%s | %.3f | %s | %.3f | %s | %s | %s | %s |\n' "$(shown_name "$label")" "$flag" "$t1" "$r1" "$t2" "$r2" \
            "$(pair_ratio long "$label-2x" "$label")" "$m1" "$m2"
    done
}

ratio_of() { summarize "$fast/results.$1" | awk -v l="$2" '$1 == l { print $3 }'; }
cpu_ratio_of() { summarize "$fast/results.$1" | awk -v l="$2" '$1 == l { print $6 }'; }
best_ratio_of() { summarize "$fast/results.$1" | awk -v l="$2" '$1 == l { print $7 }'; }
measured() { echo "$(ratio_of "$1" "$2") (CPU time $(cpu_ratio_of "$1" "$2"), fastest runs $(best_ratio_of "$1" "$2"))"; }
verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v != "" && v != "-" && v + 0 <= limit + 0) ? "met" : "**not met**" }'; }

fast_fs=$(fs_of "$fast")
disk_fs=$(fs_of "$disk")
long_lin=$(pair_ratio long scrivel-2x scrivel)
ref_lin=$(pair_ratio long reference-2x reference)
fastest() { awk -v a="$1" '$2 == a && (m == "" || $4 + 0 < m) { m = $4 + 0 } END { print m }' "$fast/results.long"; }
long_lin_best=$(awk -v a="$(fastest scrivel-2x)" -v b="$(fastest scrivel)" 'BEGIN { printf "%.2f", a / b }')
lin_verdict=$(awk -v v="$long_lin" -v r="$ref_lin" 'BEGIN { print v + 0 <= 2.0 ? "met" : (v + 0 <= r + 0 ? "met (no worse than the reference, which is linear by construction)" : "**not met**") }')

cat <<EOF
### Logger: scrivel

$(machine_table)
| Fast directory | $fast_fs |
| Disk-backed directory | $disk_fs |

Regenerate with \`bash bench/logger.sh${1:+ $1}\` (ROUNDS=$rounds LINES=$lines STAMPED_LINES=$stamped_lines
DISK_LINES=$disk_lines TRACE_LINES=$trace_lines LONG_MIB=$long_mib). Every time is the median of $rounds
interleaved rounds; every ratio is the median over the rounds of the program's time over its reference's
time in the same round (plain programs against \`reference\`, stamping ones against \`reference -c\`); the
processor time (user and system, from the child's rusage) and the ratio of the fastest runs are given
beside it, as checks on the noise of a shared machine. The
reference (bench/ref_logger.c, linked statically as scrivel is) makes only the system calls the guarantee
needs, holding a long line in a buffer that doubles as it grows: reads of 4096 bytes, one
O_APPEND|O_SYNC write per non-empty line, \`ctime\` per line under -c. svlogd, multilog and s6-log buffer
their output and never sync a line: the gap between them and the reference is what the per-record guarantee
costs. Inputs: lines of 60 to 100 bytes (newline included) from bench/gen_input.c, the same bytes on every
machine.

#### $lines lines on tmpfs

$(line_table fast_lines "$lines")

#### $stamped_lines lines on tmpfs, each record stamped

$(line_table fast_stamped "$stamped_lines")

#### $disk_lines lines on a disk-backed file system (each O_SYNC record is a flush)

$(line_table disk_lines "$disk_lines")

#### One line without a newline

$(long_table)

#### System calls ($trace_lines lines, strace -c -f)

$(trace_table)

Reading from a pipe, scrivel waits in \`poll\` (on its input and the pipe its signal handlers write to)
before each read, so that a signal can wake it: one poll per read of up to 4096 bytes, never one per line.
Under -c, \`ctime\` itself stats /etc/localtime for every record when TZ is unset (glibc checks whether the
zone changed); the reference pays the same.

#### Instructions per line ($trace_lines lines on tmpfs, valgrind --tool=callgrind)

$(profile_table)

#### Peak RSS of scrivel against the number of lines

| Lines | $trace_lines | $((lines / 10)) | $lines |
|---|---:|---:|---:|
| Peak RSS (KiB) | $rss_trace | $rss_tenth | $rss_all |

#### Targets

| Target | Measured | |
|---|---|---|
| scrivel, $lines lines on tmpfs: time at most 1.10 x the reference | $(measured fast_lines scrivel) | $(verdict "$(ratio_of fast_lines scrivel)" 1.10) |
| scrivel -c, $lines lines on tmpfs: time at most 1.10 x the reference -c | $(measured fast_lines scrivel-c) | $(verdict "$(ratio_of fast_lines scrivel-c)" 1.10) |
| scrivel -c, $stamped_lines lines on tmpfs: time at most 1.10 x the reference -c | $(measured fast_stamped scrivel-c) | $(verdict "$(ratio_of fast_stamped scrivel-c)" 1.10) |
| $long_mib MiB line: time at most 1.5 x the reference | $(measured long scrivel) | $(verdict "$(ratio_of long scrivel)" 1.5) |
| Doubling the line at most doubles the time (reference: $ref_lin) | $long_lin (fastest runs $long_lin_best) | $lin_verdict |
| Peak RSS under 4 MiB for $lines lines | $rss_all KiB | $(verdict "$rss_all" 4096) |
EOF
