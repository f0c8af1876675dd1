# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# The shell library of kestrix's tests, benchmarks and scripts. Sourced, never
# run:   . "$(dirname "$0")/../scripts/sh/kx.sh"
#
# Every helper is named kx_*, is written here once, and gives its result on
# standard output or in its status, never in a variable of its caller. The
# library keeps only its own state: kx_root (the source tree it belongs to)
# and the lists behind kx_track, kx_at_exit and kx_on_fail. Sourcing it sets
# an EXIT trap that stops the tracked processes, then runs the kx_at_exit
# functions, the last registered first; INT and TERM end the script with
# status 1 through that trap. The booted systems are in booted.sh, the rsyslog
# fleet in fleet.sh, beside this file.
#
# Reporting
#   kx_fail TEXT...            "FAIL: TEXT" on standard error, then every
#                              kx_on_fail function; exit 1
#   kx_skip TEXT...            "SKIP: TEXT"; exit 77 (CTest's skip status here)
#   kx_note TEXT...            a progress line on standard error
#   kx_need COMMAND...         skipped unless every COMMAND is installed
#   kx_need_root WHY           skipped unless root
#   kx_on_fail FUNCTION        FUNCTION tells more on a failure (its output
#                              goes to standard error)
# Processes and time
#   kx_eventually SECONDS COMMAND...   COMMAND succeeds within SECONDS; tried
#                                      every 0.05 s
#   kx_not COMMAND...          COMMAND fails
#   kx_alive PID               PID runs (one that has ended but is not reaped
#                              counts as gone)
#   kx_track PID...            PID is stopped when the script ends
#   kx_stop PID...             SIGTERM; SIGKILL after 5 s; reaped
#   kx_at_exit FUNCTION        FUNCTION runs when the script ends
#   kx_now_us                  microseconds since the epoch
#   kx_elapsed START_US [DIGITS]   seconds since START_US
# TCP on this machine
#   kx_listening PORT [RUNNER...]  something listens on TCP PORT; with RUNNER
#                              (such as kx_container_net), in the network that
#                              RUNNER enters
#   kx_pick_port               a port from 20000 to 49999 that nothing listens on
#   kx_local_port FD           the local port of the TCP socket on descriptor FD
#   kx_ask FD TEXT LINES [SECONDS]  sends TEXT (printf %b escapes) on FD, then
#                              prints up to LINES reply lines, each read within
#                              SECONDS (5); status 1 if TEXT could not be sent
#   kx_closed_by_peer FD       end of file on FD within 5 s, not a byte before
# Files
#   kx_mktemp NAME             makes ${TMPDIR:-/tmp}/kestrix-NAME.XXXXXX and
#                              prints its real path
#   kx_install_recipe FILE DESTINATION [FROM TO]...   FILE copied to
#                              DESTINATION with every FROM replaced by its TO;
#                              a FROM that FILE lacks fails the script, so a
#                              changed recipe cannot slip past; executable if
#                              FILE is
#   kx_copy_tree SOURCE DESTINATION   the source tree SOURCE without build/,
#                              .git and obj-*, as a package build takes it
#   kx_package_version SOURCE  the version of the Debian package of the
#                              source tree SOURCE (debian/changelog)
#   kx_doc_pages               the pages of docs/ installed in
#                              share/doc/kestrix, one a line
#   kx_generations FILE...     every FILE's lines, a .gz one uncompressed
#   kx_compare_lines WANTED GOT...   "LOST DUPLICATED TORN": the lines of
#                              WANTED missing from the GOT files, those there
#                              more than once (each extra copy), and the lines
#                              of GOT that are not lines of WANTED
#   kx_writes_to PID PATH      a descriptor of PID is the file now at PATH
#   kx_all_stamped FILE...     every line of every FILE begins with the
#                              ctime stamp and the space of scrivel -c
# Reports of other tools
#   kx_lintian OUT CHANGES [RUNNER...]   lintian --pedantic of CHANGES (with
#                              RUNNER, run by it), its report in OUT; lintian's
#                              status
#   kx_lintian_count OUT TAG   how many tags of kind TAG (E, W, I, ...) OUT holds
#   kx_exposure_level          the level that systemd-analyze security prints
#                              on standard input
#   kx_proc_fields PID [RUNNER...]   /proc/PID/status as "Name value..." lines,
#                              white space folded, and "Root PATH"
#   kx_field NAME              the value of NAME in kx_proc_fields lines on
#                              standard input
#   kx_confined_to_nobody FIELDS ROOT   FIELDS (kx_proc_fields) say nobody and
#                              nogroup alone and the root directory ROOT; if
#                              not, says what differs, status 1

# shellcheck disable=SC2034 # read by the scripts and by booted.sh
kx_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
kx_exit_functions=()
kx_fail_functions=()
kx_tracked=()

kx_note() {
    printf '%s\n' "${0##*/}: $*" >&2
}

kx_on_fail() {
    kx_fail_functions+=("$1")
}

kx_fail() {
    local f
    echo "FAIL: $*" >&2
    for f in "${kx_fail_functions[@]}"; do
        "$f" >&2
    done
    exit 1
}

kx_skip() {
    echo "SKIP: $*"
    exit 77
}

kx_need() {
    local c
    for c in "$@"; do
        command -v "$c" >/dev/null 2>&1 || kx_skip "$c is not installed (scripts/deps.sh installs it)"
    done
}

kx_need_root() {
    [ "$(id -u)" -eq 0 ] || kx_skip "needs root ($1)"
}

kx_now_us() {
    echo "${EPOCHREALTIME/[^0-9]/}"
}

kx_elapsed() {
    awk -v s="$1" -v e="$(kx_now_us)" -v d="${2:-2}" 'BEGIN { printf "%.*f", d, (e - s) / 1e6 }'
}

kx_eventually() {
    local until=$((${EPOCHREALTIME/[^0-9]/} + $1 * 1000000))
    shift
    until "$@"; do
        [ "${EPOCHREALTIME/[^0-9]/}" -lt "$until" ] || return 1
        sleep 0.05
    done
}

kx_not() {
    ! "$@"
}

kx_alive() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
    [ "${state:0:1}" != Z ]
}

kx_track() {
    kx_tracked+=("$@")
}

kx_stop() {
    local pid
    for pid in "$@"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "$@"; do
        kx_eventually 5 kx_not kx_alive "$pid" || kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    return 0
}

kx_at_exit() {
    kx_exit_functions+=("$1")
}

kx_finish() {
    local status=$? i
    set +e
    trap - EXIT
    kx_stop "${kx_tracked[@]}"
    for ((i = ${#kx_exit_functions[@]} - 1; i >= 0; i--)); do
        "${kx_exit_functions[i]}"
    done
    exit "$status"
}
trap kx_finish EXIT
trap 'exit 1' INT TERM

kx_listening() {
    local hex
    hex=$(printf ':%04X' "$1")
    shift
    { "$@" cat /proc/net/tcp /proc/net/tcp6 2>/dev/null || :; } |
        awk -v port="$hex" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 } END { exit !found }'
}

kx_pick_port() {
    local port i
    for ((i = 0; i < 100; i++)); do
        port=$((20000 + RANDOM % 30000))
        kx_listening "$port" || {
            echo "$port"
            return 0
        }
    done
    return 1
}

kx_local_port() {
    local socket inode
    socket=$(readlink "/proc/$BASHPID/fd/$1")
    inode=${socket#socket:\[}
    inode=${inode%\]}
    awk -v inode="$inode" '$10 == inode { sub(/.*:/, "", $2); print $2; exit }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null | { read -r hex && printf '%d' "0x$hex"; }
}

kx_ask() {
    local fd=$1 lines=$3 seconds=${4:-5} line i
    printf '%b' "$2" >&"$fd" || return 1
    for ((i = 0; i < lines; i++)); do
        IFS= read -r -t "$seconds" -u "$fd" line || break
        printf '%s\n' "$line"
    done
}

kx_closed_by_peer() {
    local line status=0
    IFS= read -r -t 5 -u "$1" line || status=$?
    [ "$status" -eq 1 ] && [ -z "$line" ]
}

kx_mktemp() {
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-$1.XXXXXX") && cd -P "$dir" && pwd
}

kx_install_recipe() {
    local source=$1 destination=$2 text from to
    shift 2
    text=$(cat "$source") || kx_fail "recipe $source is missing"
    while [ $# -ge 2 ]; do
        from=$1 to=$2
        shift 2
        [[ $text == *"$from"* ]] || kx_fail "recipe $source no longer holds '$from'"
        text=${text//"$from"/"$to"}
    done
    if ! mkdir -p "$(dirname "$destination")" || ! printf '%s\n' "$text" >"$destination"; then
        kx_fail "cannot write $destination"
    fi
    if [ -x "$source" ]; then
        chmod 0755 "$destination"
    fi
}

kx_copy_tree() {
    (
        set -o pipefail
        mkdir -p "$2" &&
            tar -C "$1" --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$2" -xf -
    )
}

kx_package_version() {
    dpkg-parsechangelog -l "$1/debian/changelog" -S Version
}

kx_doc_pages() {
    printf '%s\n' ident-systemd.md ident-runit.md ident-xinetd.md scrivel-logging.md central-logging.md \
        REFERENCE.md PERFORMANCE.md
}

kx_generations() {
    local f
    for f in "$@"; do
        case $f in
        *.gz) gzip -dc "$f" ;;
        *) cat "$f" ;;
        esac
    done
}

kx_compare_lines() {
    LC_ALL=C awk 'NR == FNR { want[$0] = 1; next }
        { if ($0 in want) seen[$0]++; else torn++ }
        END {
            for (l in want) if (!(l in seen)) lost++; else dup += seen[l] - 1
            print lost + 0, dup + 0, torn + 0
        }' "$@"
}

kx_writes_to() {
    local fd
    for fd in "/proc/$1/fd/"*; do
        [ "$(readlink "$fd")" = "$2" ] && return 0
    done
    return 1
}

kx_all_stamped() {
    ! grep -hv '^[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9][0-9][0-9][0-9] ' "$@" >/dev/null
}

kx_lintian() {
    local out=$1 changes=$2
    shift 2
    "$@" lintian --pedantic -I -E --show-overrides "$changes" >"$out" 2>&1
}

kx_lintian_count() {
    grep -c "^$2: " "$1" || :
}

kx_exposure_level() {
    sed -n 's/.*Overall exposure level for [^ ]*: \([0-9][0-9.]*\) .*/\1/p'
}

kx_proc_fields() {
    local pid=$1 status root
    shift
    status=$("$@" cat "/proc/$pid/status") && root=$("$@" readlink "/proc/$pid/root") || return 1
    awk '{ name = $1; sub(/:$/, "", name); $1 = name; print }' <<<"$status"
    echo "Root $root"
}

kx_field() {
    awk -v name="$1" '$1 == name { sub(/^[^ ]* ?/, ""); print; exit }'
}

kx_confined_to_nobody() {
    local fields=$1 root=$2 name want got
    for name in Uid Gid Groups Root; do
        case $name in
        Uid | Gid) want="65534 65534 65534 65534" ;;
        Groups) want=65534 ;;
        Root) want=$root ;;
        esac
        got=$(kx_field "$name" <<<"$fields")
        [ "$got" = "$want" ] || {
            echo "$name: '$got', not '$want'"
            return 1
        }
    done
}
