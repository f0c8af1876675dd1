# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# bench/common.sh - what the two benchmark scripts share (sourced, not run)
#
# Sets root, build and tools (the compiled helpers), and defines: note (a
# progress line on stderr), need_packages (installs missing Debian packages),
# machine_table (Markdown lines describing the machine) and summarize (medians
# of interleaved runs).

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

note() { printf '%s\n' "bench: $*" >&2; }

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

# need_packages COMMAND:PACKAGE ...: installs the package of every command
# that is missing (as root, or with sudo); returns 1 if any is still missing.
need_packages() {
    local missing=() pair
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    note "installing ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 ||
        { DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get update -q >&2 &&
            DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2; } ||
        note "could not install ${missing[*]}"
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || return 1
    done
}

# built DIR PRESET PROGRAM...: prints the full path of DIR once it holds every
# PROGRAM; a missing one is built with PRESET when DIR is build/PRESET, and
# ends the benchmark (status 2) otherwise.
built() {
    local dir=$1 preset=$2 program
    shift 2
    dir=$(cd "$root" && mkdir -p "$dir" && cd "$dir" && pwd)
    for program in "$@"; do
        [ -x "$dir/$program" ] && continue
        if [ "$dir" != "$root/build/$preset" ]; then
            note "no $* in $dir"
            exit 2
        fi
        note "building the $preset preset"
        bash "$root/scripts/deps.sh" >&2
        (cd "$root" && cmake --preset "$preset" >&2 && cmake --build --preset "$preset" --target "$@" >&2)
        break
    done
    echo "$dir"
}

# The programs under test: the build directory given, else build/default,
# configured and built with the default preset when it is missing.
prepare_build() {
    build=$(built "${1:-$root/build/default}" default scrivel hoodwain)
    need_packages cc:gcc >/dev/null || { note "no C compiler"; exit 2; }
    tools=$build/bench
    mkdir -p "$tools"
}

# compile NAME [FLAGS]: bench/NAME.c into $tools/NAME.
compile() {
    local name=$1
    shift
    cc -O2 -g -Wall -Wextra "$@" -o "$tools/$name" "$root/bench/$name.c"
}

# fs_of DIR: "type (device)", the file system that holds DIR.
fs_of() {
    printf '%s (%s)' "$(stat -f -c %T "$1")" "$(df -P "$1" | awk 'NR == 2 { print $1 }')"
}

machine_table() {
    local cpu
    cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    printf '| Machine | |\n|---|---|\n'
    printf '| CPUs (nproc) | %s |\n' "$(nproc)"
    printf '| CPU model | %s |\n' "${cpu:-unknown}"
    printf '| Kernel | %s |\n' "$(uname -sr)"
    printf '| libc | %s |\n' "$(ldd --version 2>/dev/null | head -1 | sed 's/^ldd //')"
    printf '| Compiler | %s |\n' "$(g++ --version 2>/dev/null | head -1)"
    printf '| Memory | %s |\n' "$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
    printf '| Load average (1, 5, 15 min) at start / at end | %s / %s |\n' "$load_at_start" "$(cut -d' ' -f1-3 /proc/loadavg)"
}

# summarize FILE: FILE holds lines "round label reference seconds rss status
# [cpu-seconds]". For every label, in first-seen order, prints
#   label median-seconds median-ratio max-rss statuses median-cpu-ratio best-ratio
# where median-ratio is the median over rounds of seconds / the seconds of
# the row's reference label in the same round (1 for the reference itself,
# "-" when there is none), median-cpu-ratio the same for processor time, and
# best-ratio the label's fastest run over the reference's fastest run.
summarize() {
    awk '
        function median(list,   n, a, i, j, t) {
            n = split(list, a, " ")
            for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        {
            if (!($2 in seen)) { seen[$2] = 1; order[++labels] = $2; ref[$2] = $3 }
            t[$1, $2] = $4; times[$2] = times[$2] " " $4; rounds[$1] = 1
            if (!($2 in best) || $4 + 0 < best[$2]) best[$2] = $4 + 0
            if (NF >= 7) c[$1, $2] = $7
            if ($5 + 0 > rss[$2]) rss[$2] = $5 + 0
            if ($6 != 0) bad[$2] = bad[$2] ":" $6
        }
        END {
            for (k = 1; k <= labels; k++) {
                l = order[k]; r = ref[l]; ratios = ""; cpus = ""
                for (round in rounds) {
                    if ((round, l) in t && (round, r) in t && t[round, r] > 0) ratios = ratios " " t[round, l] / t[round, r]
                    if ((round, l) in c && (round, r) in c && c[round, r] > 0) cpus = cpus " " c[round, l] / c[round, r]
                }
                printf "%s %.6f %s %d %s %s %s\n", l, median(times[l]), ratios == "" ? "-" : sprintf("%.3f", median(ratios)), rss[l],
                    bad[l] == "" ? "ok" : "exit" bad[l], cpus == "" ? "-" : sprintf("%.3f", median(cpus)),
                    (r in best && best[r] > 0) ? sprintf("%.3f", best[l] / best[r]) : "-"
            }
        }' "$1"
}

have_callgrind() {
    command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1
}

# callgrind_rows WHO N INPUT ROWS COMMAND...: runs COMMAND under callgrind,
# which counts instructions exactly, with INPUT as standard input; prints
# Markdown rows: the instructions per unit (N units in INPUT) in all, then in
# each function that takes at least 5 per unit, at most ROWS of them, the
# largest first.
callgrind_rows() {
    local who=$1 n=$2 input=$3 rows=$4 out
    shift 4
    out=$(mktemp)
    valgrind -q --tool=callgrind --callgrind-out-file="$out" "$@" <"$input" >/dev/null 2>&1
    callgrind_annotate --auto=no "$out" 2>/dev/null | awk -v n="$n" -v who="$who" -v rows="$rows" '
        /PROGRAM TOTALS/ { gsub(",", "", $1); printf "| **%s, all** | **%.0f** |\n", who, $1 / n; next }
        $1 ~ /^[0-9,]+$/ && /%\)/ && shown < rows {
            count = $1; gsub(",", "", count)
            if (count / n < 5) next
            line = $0; sub(/^[^)]*\) +/, "", line)
            file = line; sub(/:.*$/, "", file); sub(/^.*\//, "", file)
            if (file == "???") file = "C library"
            name = line; sub(/^[^:]*:/, "", name); sub(/ \[.*$/, "", name); sub(/^void /, "", name)
            gsub(/kestrix::|\(anonymous namespace\)::/, "", name); sub(/\(.*$/, "", name)
            printf "| %s: %s (%s) | %.0f |\n", who, name, file, count / n; shown++
        }'
    rm -f "$out"
}
