#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs the deployment recipes of deploy/ end to end against the real peers
# from Debian: tcpserver, runsv and sv, logrotate, systemd-socket-activate and
# systemd-analyze (with setpriv, unshare and strace for what the systemd unit
# asks of the kernel), xinetd. Each case copies the recipe files it needs into a
# fresh directory, puts the test's paths in place of the system paths and a
# free port on 127.0.0.1 in place of 113, runs them, and checks what a client
# and the log see, and how each hoodwain is confined.
#
# Usage: deploy_test.sh CASE SOURCE_DIR SCRIVEL HOODWAIN DEADLINE
# Exit status: 0 passed, 1 failed, 77 skipped (a peer or a privilege that
# this machine does not have).
set -u

case_name=$1
source_dir=$2
scrivel=$3
hoodwain=$4
deadline=$5
# The time limit that the recipes give a connection, in seconds; the cases
# that wait for it put a few seconds in its place.
bound=180
recipes=$source_dir/deploy
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-deploy.XXXXXX") || exit 1
work=$(cd -P "$work" && pwd)
started=()

fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.out "$work"/*.err "$work"/log/current* "$work"/log/xinetd; do
        [ "${f%.gz}" = "$f" ] || continue
        [ -f "$f" ] && { echo "--- $f" >&2; head -c 4000 "$f" >&2; }
    done
    exit 1
}

skip() {
    echo "SKIP: $*" >&2
    exit 77
}

need_root() {
    [ "$(id -u)" -eq 0 ] || skip "needs root (confinement to another user and group)"
}

need() {
    local c
    for c in "$@"; do
        command -v "$c" >/dev/null 2>&1 || skip "$c is not installed"
    done
}

# A process that has ended but is not yet reaped counts as gone.
alive() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
    [ "${state:0:1}" != Z ]
}

# eventually SECONDS COMMAND...: polls COMMAND every 0.05 s until it succeeds.
eventually() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

not() { ! "$@"; }

cleanup() {
    local pid
    for pid in "${started[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${started[@]}"; do
        eventually 5 not alive "$pid" || kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

# True when something listens on this TCP port.
listening() {
    local hex
    hex=$(printf ':%04X' "$1")
    awk -v port="$hex" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
        END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

pick_port() {
    local port i
    for ((i = 0; i < 100; i++)); do
        port=$((20000 + RANDOM % 30000))
        listening "$port" || { echo "$port"; return 0; }
    done
    return 1
}

# The local port of a TCP socket this shell holds on descriptor $1.
local_port() {
    local socket inode
    socket=$(readlink "/proc/$$/fd/$1")
    inode=${socket#socket:\[}
    inode=${inode%\]}
    awk -v inode="$inode" '$10 == inode { sub(/.*:/, "", $2); print $2; exit }' \
        /proc/net/tcp /proc/net/tcp6 | { read -r hex && printf '%d' "0x$hex"; }
}

# install_recipe RECIPE DESTINATION [FROM TO]...: copies a recipe file,
# replacing every FROM by its TO; a FROM that the recipe lacks is a failure,
# so a recipe that changes cannot slip past its test.
install_recipe() {
    local source=$recipes/$1 destination=$2 text from to
    shift 2
    text=$(cat "$source") || fail "recipe $source is missing"
    while [ $# -ge 2 ]; do
        from=$1 to=$2
        shift 2
        [[ $text == *"$from"* ]] || fail "recipe $source no longer holds '$from'"
        text=${text//"$from"/"$to"}
    done
    mkdir -p "$(dirname "$destination")"
    printf '%s\n' "$text" >"$destination"
    [ -x "$source" ] && chmod 0755 "$destination"
    return 0
}

# connect PORT: opens a connection to 127.0.0.1:PORT on descriptor $conn.
connect() {
    exec {conn}<>"/dev/tcp/127.0.0.1/$1" || fail "cannot connect to 127.0.0.1:$1"
}

# ask TEXT LINES: sends TEXT (printf %b escapes) on $conn and reads LINES
# reply lines into $reply, each within 5 seconds.
ask() {
    local line i
    reply=
    printf '%b' "$1" >&"$conn" || fail "cannot send to the responder"
    for ((i = 0; i < $2; i++)); do
        IFS= read -r -t 5 -u "$conn" line || break
        reply+=$line$'\n'
    done
}

hang_up() {
    exec {conn}>&-
}

# True when the peer has closed the connection (end of file within 5 s).
closed_by_peer() {
    local line
    IFS= read -r -t 5 -u "$conn" line
    [ $? -eq 1 ] && [ -z "$line" ]
}

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
    local pid=$1 root
    root=$(readlink "/proc/$pid/root") || fail "hoodwain $pid is not running"
    [ "$root" = "$work/empty" ] || fail "hoodwain $pid has the root $root, not $work/empty"
    awk '$1 == "Uid:" || $1 == "Gid:" { for (i = 2; i <= 5; i++) if ($i != 65534) exit 1 }
        $1 == "Groups:" { if (NF != 2 || $2 != 65534) exit 1 }' "/proc/$pid/status" ||
        fail "hoodwain $pid is not confined to 65534:65534: $(grep -E '^(Uid|Gid|Groups):' "/proc/$pid/status")"
}

hidden_6193_6195=$' 6193 , 23 : ERROR : HIDDEN-USER\r\n 6195 , 25 : ERROR : HIDDEN-USER\r\n'

# One connection through whatever super-server listens on PORT, with LOG as
# hoodwain's connection log: two queries in one packet, their replies, the
# confinement of the process and its log, then a malformed query that ends a
# second connection without a reply.
exercise_responder() {
    local port=$1 log=$2 client_port pid
    connect "$port"
    client_port=$(local_port "$conn")
    ask '6193, 23\r\n6195,25\n' 2
    [ "$reply" = "$hidden_6193_6195" ] || fail "replies were $(printf '%q' "$reply")"
    eventually 5 logged "$log" ": request 6195,25" || fail "the queries were not logged"
    pid=$(pid_of "$log" "$client_port")
    [ -n "$pid" ] || fail "no 'connect from 127.0.0.1 port $client_port' in the log"
    check_confined "$pid"
    logged "$log" "$pid: request 6193,23" || fail "the first query was not logged"
    hang_up
    eventually 5 logged "$log" "$pid: closed" || fail "the end of connection $pid was not logged"
    eventually 5 not alive "$pid" || fail "hoodwain $pid still runs after the peer left"

    connect "$port"
    client_port=$(local_port "$conn")
    ask 'x\n' 0
    closed_by_peer || fail "a query without a comma did not end the connection"
    hang_up
    eventually 5 connection_logged "$log" "$client_port" || fail "the second connection was not logged"
    pid=$(pid_of "$log" "$client_port")
    eventually 5 logged "$log" "$pid: closed" || fail "the end of connection $pid was not logged"
    logged "$log" "$pid: request without comma" || fail "the malformed query was not logged"
}

# The substitutions that make the run script of deploy/ a test's.
install_run_script() {
    install_recipe runit/ident/run "$1" \
        /usr/share/kestrix/empty "$work/empty" \
        " 0 113 " " 127.0.0.1 $2 " \
        "/usr/sbin/kestrix-deadline 180 " "$deadline $bound " \
        /usr/sbin/hoodwain "$hoodwain"
}

# The same for the runit service of deploy/ with its log service.
install_ident_service() {
    local service=$1 port=$2
    install_run_script "$service/run" "$port"
    install_recipe runit/ident/log/run "$service/log/run" \
        /usr/sbin/scrivel "$scrivel" \
        /var/log/ident "$work/log"
}

# Microseconds since the epoch.
now_us() {
    local t=$EPOCHREALTIME
    echo "${t/[^0-9]/}"
}

# answered PORT: one query on a fresh connection gets its reply. A refused
# connection is only a false: the subshell ignores SIGPIPE, the shell not.
answered() {
    reply=$(
        trap '' PIPE
        exec {conn}<>"/dev/tcp/127.0.0.1/$1" && printf '6193, 23\r\n' >&"$conn" &&
            IFS= read -r -t 5 -u "$conn" line && printf '%s' "$line"
    ) 2>/dev/null
    [ "$reply" = $' 6193 , 23 : ERROR : HIDDEN-USER\r' ]
}

# hold_silent PORT COUNT LOG: opens COUNT connections that never send a byte,
# on the descriptors in silent_fds, and waits until each is served; their
# hoodwain processes are silent_pids. Every alarm is armed between held_from
# and held_at.
hold_silent() {
    local port=$1 count=$2 log=$3 fd client_port
    silent_fds=() silent_pids=()
    held_from=$(now_us)
    while [ ${#silent_fds[@]} -lt "$count" ]; do
        exec {fd}<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect to 127.0.0.1:$port"
        silent_fds+=("$fd")
        client_port=$(local_port "$fd")
        eventually 5 connection_logged "$log" "$client_port" ||
            fail "silent peer ${#silent_fds[@]} of $count was not served"
        silent_pids+=("$(pid_of "$log" "$client_port")")
    done
    held_at=$(now_us)
}

# Every silent peer's hoodwain still runs, as it must while the time limit
# has not passed since the first of them connected. (On a machine so loaded
# that holding them took longer than the limit, the first may rightly be
# gone: cut_at_bound then checks when each ended.)
still_held() {
    local pid
    [ "$(now_us)" -lt $((held_from + bound * 1000000)) ] || return 0
    for pid in "${silent_pids[@]}"; do
        alive "$pid" || return 1
    done
}

# cut_at_bound LOG: every silent peer's hoodwain ends at the time limit: none
# is seen gone before $bound seconds have passed since held_from, all are
# gone within 10 seconds after it, each connection is closed without a byte,
# and the log holds no "closed" line for any of them.
cut_at_bound() {
    local log=$1 i now left gone=()
    while :; do
        now=$(now_us)
        left=0
        for i in "${!silent_pids[@]}"; do
            [ -n "${gone[i]:-}" ] && continue
            if alive "${silent_pids[i]}"; then
                left=$((left + 1))
            else
                # Taken after the check: the process ended no later than
                # this, so a time before the limit is surely too early.
                gone[i]=$(now_us)
            fi
        done
        [ "$left" -eq 0 ] && break
        [ "$now" -lt $((held_at + (bound + 10) * 1000000)) ] ||
            fail "$left silent peers' hoodwain still run 10 s after the time limit of $bound s"
        sleep 0.05
    done
    local first=${gone[0]} last=${gone[0]}
    for i in "${!silent_pids[@]}"; do
        [ "${gone[i]}" -lt "$first" ] && first=${gone[i]}
        [ "${gone[i]}" -gt "$last" ] && last=${gone[i]}
        [ "${gone[i]}" -ge $((held_from + bound * 1000000)) ] ||
            fail "hoodwain ${silent_pids[i]} ended $(((gone[i] - held_from) / 1000)) ms after its peer connected, before the time limit of $bound s"
        conn=${silent_fds[i]}
        closed_by_peer || fail "the connection of hoodwain ${silent_pids[i]} is not closed, or not without a byte"
        hang_up
        grep -qE "(^| )${silent_pids[i]}: closed\$" "$log" && fail "hoodwain ${silent_pids[i]} logged its end"
    done
    echo "[figures] $case_name idle bound: ${#silent_pids[@]} silent peers, limit $bound s, gone $(((first - held_from) / 1000)) to $(((last - held_from) / 1000)) ms after the first connected (held $(((held_at - held_from) / 1000)) ms to connect all)"
    return 0
}

stamp='[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9][0-9][0-9][0-9] '

# Every line of a log written by scrivel -c begins with a ctime stamp.
all_stamped() {
    ! grep -v "^$stamp" "$1" >/dev/null
}

# The descriptor scrivel writes to is the file now at PATH.
writes_to() {
    local fd
    for fd in "/proc/$1/fd/"*; do
        [ "$(readlink "$fd")" = "$2" ] && return 0
    done
    return 1
}

start_runsv() {
    runsv "$1" >"$work/runsv.out" 2>&1 &
    runsv_pid=$!
    started+=("$runsv_pid")
}

# sv exit: the service gets SIGTERM, the log service the end of its input,
# and runsv ends once both are down.
stop_runsv() {
    sv exit "$1" >/dev/null 2>&1
    eventually 15 not alive "$runsv_pid" || fail "runsv did not exit after sv exit"
}

case_tcpserver() {
    need_root
    need tcpserver
    local port
    port=$(pick_port) || fail "no free port"
    mkdir -m 0555 "$work/empty"
    bound=8
    install_run_script "$work/run" "$port"
    "$work/run" >"$work/run.out" 2>&1 &
    started+=($!)
    eventually 10 listening "$port" || fail "tcpserver does not listen on $port"
    exercise_responder "$port" "$work/run.out"

    # 19 silent peers leave one of the 20 slots to a client that asks.
    hold_silent "$port" 19 "$work/run.out"
    answered "$port" || fail "a client was not answered beside 19 silent ones: $(printf '%q' "$reply")"
    still_held || fail "a silent peer's hoodwain ended before the time limit"
    cut_at_bound "$work/run.out"
    eventually 5 answered "$port" || fail "no answer after the time limit"
}

case_runit() {
    need_root
    need tcpserver runsv sv
    local port service=$work/service/ident
    port=$(pick_port) || fail "no free port"
    mkdir -m 0555 "$work/empty"
    mkdir "$work/log"
    install_ident_service "$service" "$port"
    start_runsv "$service"
    eventually 10 listening "$port" || fail "the service does not listen on $port"
    exercise_responder "$port" "$work/log/current"
    stop_runsv "$service"
    all_stamped "$work/log/current" || fail "a log line has no time stamp"
    [ "$(grep -c ': connect from 127\.0\.0\.1 port ' "$work/log/current")" -eq 2 ] ||
        fail "the log does not hold exactly the two connections"
    [ "$(grep -c ': closed$' "$work/log/current")" -eq 2 ] ||
        fail "the log does not hold exactly two ends of connection"
}

case_logrotate() {
    need_root
    need tcpserver runsv sv logrotate gzip
    local port service=$work/service/ident logger first second inode
    port=$(pick_port) || fail "no free port"
    mkdir -m 0555 "$work/empty"
    mkdir "$work/log"
    install_ident_service "$service" "$port"
    install_recipe logrotate/ident "$work/logrotate.conf" \
        /var/log/ident "$work/log" \
        "sv hup /etc/service/ident/log" "sv hup $service/log"
    start_runsv "$service"
    eventually 10 listening "$port" || fail "the service does not listen on $port"
    eventually 5 test -s "$service/log/supervise/pid" || fail "runsv did not start the log service"
    logger=$(cat "$service/log/supervise/pid")

    connect "$port"
    first=$(local_port "$conn")
    ask '1,2\n' 1
    hang_up
    eventually 5 logged "$work/log/current" ": closed" || fail "the first connection was not logged"

    inode=$(stat -c %i "$work/log/current")
    logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" >"$work/logrotate.out" 2>&1 ||
        fail "logrotate failed"
    # Renamed, not copied: a copy misses what is written while it is made.
    [ "$(stat -c %i "$work/log/current.1" 2>/dev/null)" = "$inode" ] ||
        fail "logrotate did not rename the log to current.1"
    [ "$(stat -c %i "$work/log/current")" != "$inode" ] || fail "logrotate did not create a new log"
    [ "$(stat -c '%a %U %G' "$work/log/current")" = "644 root root" ] ||
        fail "the new log is $(stat -c '%a %U %G' "$work/log/current"), not 644 root root"
    eventually 5 writes_to "$logger" "$work/log/current" ||
        fail "scrivel did not reopen the log after sv hup"

    connect "$port"
    second=$(local_port "$conn")
    ask '3,4\n' 1
    hang_up
    eventually 5 logged "$work/log/current" ": closed" || fail "the second connection was not logged"
    grep -q "port $first\$" "$work/log/current.1" || fail "the first connection is not in the rotated log"
    grep -q "port $second\$" "$work/log/current.1" && fail "the second connection went to the rotated log"
    grep -q "port $first\$" "$work/log/current" && fail "the first connection is also in the new log"

    # The next rotation compresses the one before: nothing is compressed
    # while scrivel may still be writing to it.
    logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" >>"$work/logrotate.out" 2>&1 ||
        fail "the second logrotate failed"
    eventually 5 writes_to "$logger" "$work/log/current" ||
        fail "scrivel did not reopen the log after the second sv hup"
    gzip -dc "$work/log/current.2.gz" | grep -q "port $first\$" ||
        fail "the first connection is not in current.2.gz"
    grep -q "port $second\$" "$work/log/current.1" || fail "the second connection is not in current.1"
    stop_runsv "$service"
    [ -s "$work/log/current" ] && fail "the newest log is not empty"
    return 0
}

# syscall_group GROUP: the system calls of a systemd system call group, the
# groups inside it expanded.
syscall_group() {
    local name
    for name in $(systemd-analyze syscall-filter "$1" | sed -n '2,$s/^ *\([-@a-z0-9_]\{1,\}\)$/\1/p'); do
        case $name in
        @*) syscall_group "$name" ;;
        *) echo "$name" ;;
        esac
    done
}

# allowed_syscalls UNIT: the system calls that the SystemCallFilter= lines of
# UNIT let through, one a line, sorted; the first line must be an allow list.
allowed_syscalls() {
    local line deny names name calls first=1 allowed=
    while IFS= read -r line; do
        deny=
        if [ "${line:0:1}" = '~' ]; then
            [ "$first" = 0 ] || fail "SystemCallFilter= begins with a deny list, not an allow list"
            deny=1 line=${line#\~}
        fi
        read -ra names <<<"$line"
        for name in "${names[@]}"; do
            case $name in
            @*) calls=$(syscall_group "$name") ;;
            *) calls=$name ;;
            esac
            if [ -n "$deny" ]; then
                allowed=$(comm -23 <(printf '%s\n' "$allowed") <(sort -u <<<"$calls"))
            else
                allowed=$(sort -u <<<"$allowed"$'\n'"$calls")
            fi
        done
        first=0
    done < <(sed -n 's/^SystemCallFilter=//p' "$1")
    [ "$first" = 0 ] || fail "the service has no SystemCallFilter="
    printf '%s\n' "$allowed" | sed '/^$/d'
}

# activate PORT NAME COMMAND...: systemd-socket-activate accepting on
# 127.0.0.1:PORT, one COMMAND per connection, given the service's environment
# and the peer 192.0.2.7 port 40312 (systemd sets REMOTE_ADDR and REMOTE_PORT
# for an Accept=yes service; systemd-socket-activate does not). Its log and
# that of every command go to $work/NAME.err.
activate() {
    local port=$1 name=$2
    shift 2
    systemd-socket-activate --accept --inetd -l "127.0.0.1:$port" "${environment[@]}" \
        -E REMOTE_ADDR=192.0.2.7 -E REMOTE_PORT=40312 "$@" >"$work/$name.out" 2>"$work/$name.err" &
    started+=($!)
    eventually 10 listening "$port" || fail "systemd-socket-activate does not listen on $port"
}

# One connection to PORT with two queries; sets pid to the confined hoodwain
# that answered them and logged to LOG, and leaves the connection open.
activated_query() {
    local port=$1 log=$2
    connect "$port"
    ask '6193, 23\r\n6195,25\n' 2
    [ "$reply" = "$hidden_6193_6195" ] || fail "replies were $(printf '%q' "$reply")"
    eventually 5 logged "$log" ": request 6195,25" || fail "the queries were not logged"
    pid=$(grep -o '[0-9][0-9]*: connect from 192\.0\.2\.7 port 40312$' "$log" | tail -n 1 | cut -d: -f1)
    [ -n "$pid" ] || fail "REMOTE_ADDR and REMOTE_PORT did not reach hoodwain"
    check_confined "$pid"
}

case_systemd() {
    need systemd-analyze systemd-socket-activate
    local units=$work/units socket service line execstart environment=() port pid
    local exposure caps=() bounding=-all cap wrap=() tracer
    mkdir "$units"
    cp "$recipes/systemd/ident.socket" "$recipes/systemd/ident@.service" "$units/"
    socket=$units/ident.socket
    service=$units/ident@.service

    # The units as systemd itself reads them (the manual page they name is
    # not installed here).
    timeout 30 systemd-analyze verify --man=no "$socket" "$service" >"$work/verify.out" 2>&1 ||
        fail "systemd-analyze verify rejects the units"
    # PollLimitIntervalSec= came with systemd 255; an older one says it
    # ignores the key, and nothing else.
    if [ "$(systemd-analyze --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')" -lt 255 ]; then
        grep -v "ident\.socket:[0-9]*: Unknown key.*PollLimitIntervalSec.*ignoring" "$work/verify.out" >"$work/verify.rest"
        mv "$work/verify.rest" "$work/verify.out"
    fi
    [ -s "$work/verify.out" ] && fail "systemd-analyze verify complains about the units: $(cat "$work/verify.out")"
    grep -qx 'Accept=yes' "$socket" || fail "the socket unit lacks Accept=yes"
    grep -qx 'MaxConnections=20' "$socket" || fail "the socket unit lacks MaxConnections=20"
    grep -qx 'MaxConnectionsPerSource=[1-9][0-9]*' "$socket" || fail "the socket unit lacks MaxConnectionsPerSource="
    grep -qx 'TriggerLimitIntervalSec=0' "$socket" || fail "the socket unit keeps a trigger limit, which a burst turns into a failed socket"
    grep -qx 'PollLimitIntervalSec=0' "$socket" || fail "the socket unit keeps a poll limit, which holds every connection back after a burst"
    grep -qx 'StandardInput=socket' "$service" || fail "the service lacks StandardInput=socket"
    grep -qx 'StandardOutput=socket' "$service" || fail "the service lacks StandardOutput=socket"
    grep -qx 'RuntimeMaxSec=180' "$service" || fail "the service lacks RuntimeMaxSec=180"

    # systemd's own measure of what the service is exposed to: 0 to 10.
    exposure=$(timeout 30 systemd-analyze security --offline=true "$service" 2>"$work/security.err" |
        tee "$work/security.out" | sed -n 's/.*Overall exposure level for [^ ]*: \([0-9][0-9.]*\) .*/\1/p')
    [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level"
    echo "[figures] systemd exposure: $exposure"
    awk -v x="$exposure" 'BEGIN { exit !(x <= 1.5) }' || fail "the exposure $exposure is above 1.5"

    need_root
    need setpriv unshare strace
    # What runs is the unit's own ExecStart, "$$" read back as "$" as
    # systemd does.
    line=$(sed -n 's/^ExecStart=//p' "$service")
    execstart=${line//'$$'/'$'}
    [[ $execstart == *"/usr/sbin/hoodwain"* ]] || fail "ExecStart does not run /usr/sbin/hoodwain"
    execstart=${execstart//\/usr\/sbin\/hoodwain/$hoodwain}
    eval "execstart=($execstart)"
    for line in $(sed -n 's/^Environment=//p' "$service"); do
        environment+=(-E "${line//\/usr\/share\/kestrix\/empty/$work/empty}")
    done
    [ ${#environment[@]} -eq 6 ] || fail "the service does not set ROOT, GID and UID"
    mkdir -m 0555 "$work/empty"

    # The command as it is: replies, confinement, log.
    port=$(pick_port) || fail "no free port"
    activate "$port" activate "${execstart[@]}"
    activated_query "$port" "$work/activate.err"
    hang_up
    eventually 5 logged "$work/activate.err" "$pid: closed" || fail "the end of connection $pid was not logged"

    # The same command under the kernel mechanisms behind the unit's
    # CapabilityBoundingSet=, NoNewPrivileges= and PrivateNetwork=, and
    # traced, to hold its system calls against SystemCallFilter=.
    read -ra caps <<<"$(sed -n 's/^CapabilityBoundingSet=//p' "$service")"
    [ ${#caps[@]} -gt 0 ] || fail "the service has no CapabilityBoundingSet="
    for cap in "${caps[@]}"; do
        cap=${cap#CAP_}
        bounding+=,+${cap,,}
    done
    grep -qx 'PrivateNetwork=yes' "$service" || fail "the service lacks PrivateNetwork=yes"
    grep -qx 'NoNewPrivileges=yes' "$service" || fail "the service lacks NoNewPrivileges=yes"
    wrap=(unshare --net setpriv --bounding-set "$bounding" --inh-caps -all --no-new-privs
        strace -f -qq -o "$work/strace.out")
    port=$(pick_port) || fail "no free port"
    activate "$port" confined "${wrap[@]}" "${execstart[@]}"
    activated_query "$port" "$work/confined.err"
    awk '$1 == "CapBnd:" { bnd = $2 } $1 == "NoNewPrivs:" { nnp = $2 }
        $1 ~ /^Cap(Inh|Prm|Eff|Amb):$/ && $2 != "0000000000000000" { held = 1 }
        END { exit !(bnd == "00000000000400c0" && nnp == 1 && !held) }' "/proc/$pid/status" ||
        fail "hoodwain $pid is not bounded to CAP_SYS_CHROOT CAP_SETGID CAP_SETUID without new privileges, or holds a capability: $(grep -E '^(Cap|NoNewPrivs)' "/proc/$pid/status")"
    [ "$(readlink "/proc/$pid/ns/net")" != "$(readlink /proc/self/ns/net)" ] ||
        fail "hoodwain $pid shares the test's network namespace"
    tracer=$(awk '$1 == "TracerPid:" { print $2 }' "/proc/$pid/status")
    [ "${tracer:-0}" != 0 ] || fail "hoodwain $pid is not traced"
    # What systemd does to a connection at RuntimeMaxSec=: SIGTERM. The log
    # keeps the connection and its queries, without an end.
    kill -TERM "$pid"
    closed_by_peer || fail "the connection stayed open after SIGTERM"
    eventually 5 not alive "$pid" || fail "hoodwain $pid still runs after SIGTERM"
    eventually 5 not alive "$tracer" || fail "strace $tracer still runs after hoodwain ended"
    hang_up
    logged "$work/confined.err" "$pid: request 6193,23" || fail "the first query was not logged"
    logged "$work/confined.err" "$pid: closed" && fail "a connection ended by SIGTERM was logged as closed"
    allowed_syscalls "$service" >"$work/allowed.out"
    comm -23 <(sed -n 's/^[0-9][0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$work/strace.out" | sort -u) \
        "$work/allowed.out" >"$work/denied.out"
    [ -s "$work/denied.out" ] &&
        fail "SystemCallFilter= denies what the service calls: $(tr '\n' ' ' <"$work/denied.out")"
    grep -q '^[0-9][0-9]* *setuid(65534)' "$work/strace.out" || fail "the trace does not hold hoodwain's setuid"
    return 0
}

case_xinetd() {
    need_root
    need xinetd tcpclient
    local port
    port=$(pick_port) || fail "no free port"
    mkdir -m 0555 "$work/empty"
    mkdir "$work/log"
    bound=8
    install_recipe xinetd/hoodwain-xinetd "$work/hoodwain-xinetd" \
        "/usr/sbin/kestrix-deadline 180 " "$deadline $bound " \
        /usr/sbin/hoodwain "$hoodwain" \
        /usr/sbin/scrivel "$scrivel" \
        /var/log/ident "$work/log"
    install_recipe xinetd/ident "$work/ident.service" \
        "= 113" "= $port"$'\n'"    bind            = 127.0.0.1" \
        /usr/local/sbin/hoodwain-xinetd "$work/hoodwain-xinetd" \
        /usr/share/kestrix/empty "$work/empty"
    {
        printf 'defaults\n{\n    log_type = FILE %s\n}\n\n' "$work/xinetd.out"
        cat "$work/ident.service"
    } >"$work/xinetd.conf"
    xinetd -dontfork -f "$work/xinetd.conf" -pidfile "$work/xinetd.pid" >"$work/xinetd.err" 2>&1 &
    started+=($!)
    eventually 10 listening "$port" || fail "xinetd does not listen on $port"
    exercise_responder "$port" "$work/log/xinetd"

    # per_source = 4: four silent peers from 127.0.0.1 shut out a fifth from
    # there, not a client from 127.0.0.2.
    hold_silent "$port" 4 "$work/log/xinetd"
    connect "$port"
    closed_by_peer || fail "a fifth connection from 127.0.0.1 was not refused"
    hang_up
    reply=$(timeout 10 tcpclient -H -R -l 0 -i 127.0.0.2 127.0.0.1 "$port" \
        sh -c 'printf "6193, 23\r\n" >&7; head -n 1 <&6')
    [ "$reply" = $' 6193 , 23 : ERROR : HIDDEN-USER\r' ] ||
        fail "127.0.0.2 was not answered beside the silent peers: $(printf '%q' "$reply")"
    eventually 5 logged "$work/log/xinetd" ": request 6193,23" || fail "the query from 127.0.0.2 was not logged"
    grep -q ': connect from 127\.0\.0\.2 port [1-9][0-9]*$' "$work/log/xinetd" ||
        fail "no connection from 127.0.0.2 in the log"
    still_held || fail "a silent peer's hoodwain ended before the time limit"
    cut_at_bound "$work/log/xinetd"
    # xinetd counts a peer's slot free once it has reaped the wrapper.
    eventually 5 answered "$port" || fail "127.0.0.1 was not answered after the time limit"
    all_stamped "$work/log/xinetd" || fail "a log line has no time stamp"
}

# The numbered lines of the fleet case: mostly plain, every 1000th with
# leading spaces, a tab, a carriage return, UTF-8 and trailing spaces, and a
# few longer than rsyslog's default message size of 8 KiB.
fleet_lines() {
    awk -v from="$1" -v to="$2" 'BEGIN {
        for (long = "x"; length(long) < 10000;) long = long long
        long = substr(long, 1, 10000)
        for (i = from; i <= to; i++) {
            if (i % 25000 == 0) printf "fleet %06d long %s\n", i, long
            else if (i % 1000 == 0) printf "   fleet %06d\tspaced  out,\rcarriage, caf\303\251  \n", i
            else printf "fleet %06d of a numbered stream\n", i
        }
    }'
}

# What the host around the test runs must stay as it was: its log socket,
# its rsyslogd pid file, and every rsyslogd that runs on the system's
# configuration (one without -f).
system_rsyslog_state() {
    local pid
    stat -c '%n %i %Y' /dev/log /run/rsyslogd.pid 2>&1
    grep -c '/dev/log' /proc/net/unix
    for pid in $(pgrep -x rsyslogd); do
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- ' -f' || echo "rsyslogd $pid"
    done
}

# fleet_rsyslogd NAME: starts rsyslogd in the foreground on $work/NAME's
# configuration, work directory and pid file; the sender after the command
# that the recipe's systemd drop-in runs before each start.
fleet_rsyslogd() {
    rm -f "$work/$1/rsyslogd.pid"
    if [ "$1" = sender ]; then
        "${fleet_rewind[@]}" >>"$work/rewind.out" 2>&1 || fail "ident-forward-rewind failed: $(cat "$work/rewind.out")"
    fi
    rsyslogd -n -f "$work/$1/rsyslog.conf" -i "$work/$1/rsyslogd.pid" >>"$work/$1.out" 2>&1 &
    started+=($!)
    eval "$1_pid=$!"
    # Killed on purpose: no word from the shell about it.
    disown $!
}

# fleet_halt NAME SIGNAL: sends SIGNAL to that rsyslogd and waits for its end.
fleet_halt() {
    local pid
    eval "pid=\$${1}_pid"
    kill "-$2" "$pid"
    eventually 30 not alive "$pid" || fail "the $1 rsyslogd survived $2"
}

# One host's scrivel log followed by rsyslog's imfile and sent over RELP to a
# central rsyslogd, which writes it one file per host and program. Lines
# flow while logrotate rotates the log; the sending rsyslogd is killed in
# steady flow, the central one is killed and started again, then stays away
# while the sending one is killed and then stopped; at the end every line
# scrivel wrote must be in the central file, byte for byte, and lines twice
# only within the bounds of RELP's window and of what the rewind reads
# again.
case_fleet() {
    need_root
    need rsyslogd logrotate gzip awk pgrep
    local total=100000 chunk=200 rotations=24 port k f rotated=0 restarts=0 crashes=0 stops=0
    # sender_pid and central_pid are set and read through eval, by name.
    # shellcheck disable=SC2034
    local sender_pid central_pid scrivel_pid before begin=$SECONDS files central count last
    local lost dup torn deadline second=0 waited=0 most
    port=$(pick_port) || fail "no free port"
    mkdir -p "$work/log" "$work/sender/spool" "$work/central/spool"
    install_recipe rsyslog/ident-forward.conf "$work/sender/ident-forward.conf" \
        /var/log/ident/current "$work/log/current" \
        'target="logs.example.org" port="2514"' "target=\"127.0.0.1\" port=\"$port\""
    install_recipe rsyslog/central.conf "$work/central/central.conf" \
        /var/log/hosts "$work/central/hosts" \
        'port="2514"' "port=\"$port\" address=\"127.0.0.1\""
    # Every generation is kept, to compare the central file with all that
    # scrivel wrote.
    install_recipe rsyslog/logrotate-ident "$work/logrotate.conf" \
        /var/log/ident "$work/log" \
        "rotate 14" "rotate 1000" \
        /run/ident-log.pid "$work/ident-log.pid"
    # The drop-in's ExecStartPre= command, on the test's paths.
    install_recipe rsyslog/ident-forward-rewind "$work/ident-forward-rewind"
    install_recipe rsyslog/rsyslog-rewind.conf "$work/rsyslog-rewind.conf" \
        /usr/local/sbin/ident-forward-rewind "$work/ident-forward-rewind" \
        /var/spool/rsyslog "$work/sender/spool" \
        /var/log/ident/current "$work/log/current"
    read -r -a fleet_rewind < <(sed -n 's/^ExecStartPre=//p' "$work/rsyslog-rewind.conf")
    [ "${#fleet_rewind[@]}" -eq 4 ] || fail "the drop-in has no ExecStartPre= command of four words"
    # In place of /etc/rsyslog.conf: a work directory and the recipe, and no
    # local log socket (no imuxsock, no imklog).
    for k in sender/ident-forward central/central; do
        printf 'global(workDirectory="%s")\ninclude(file="%s")\n' \
            "$work/${k%/*}/spool" "$work/$k.conf" >"$work/${k%/*}/rsyslog.conf"
        k=${k%/*}
        rsyslogd -N1 -f "$work/$k/rsyslog.conf" >"$work/$k.check" 2>&1 || {
            grep -q 'could not load module' "$work/$k.check" && skip "rsyslog-relp is not installed"
            fail "rsyslogd rejects the $k configuration: $(cat "$work/$k.check")"
        }
    done
    before=$(system_rsyslog_state)

    fleet_rsyslogd central
    eventually 10 listening "$port" || fail "the central rsyslogd does not listen on $port"
    fleet_rsyslogd sender

    # The service: numbered lines in chunks, with a pause after each.
    {
        for ((k = 1; k <= total; k += chunk)); do
            fleet_lines "$k" $((k + chunk - 1)) || exit 1
            echo $((k + chunk - 1)) >"$work/progress"
            sleep 0.05
        done
    } | "$scrivel" -c "$work/log/current" 2>"$work/scrivel.err" &
    scrivel_pid=$!
    started+=("$scrivel_pid")
    echo "$scrivel_pid" >"$work/ident-log.pid"

    # Rotations spread over the stream, in different seconds (a generation is
    # named by the second of its rotation). The sending rsyslogd is killed
    # after the 4th and the 12th; the central one killed after the 8th and
    # started again a second later, killed again after the 16th and kept away
    # until the 22nd, while the sending one is killed after the 18th and
    # stopped after the 20th, each started again at once.
    for ((k = 1; k <= rotations; k++)); do
        eventually 120 fleet_progress_past $((k * total / (rotations + 1))) ||
            fail "the service stalled before $((k * total / (rotations + 1))) lines"
        alive "$scrivel_pid" || fail "scrivel is gone"
        eventually 3 fleet_new_second "$second" || fail "the clock stands still"
        second=$(date +%s)
        logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" >>"$work/logrotate.out" 2>&1 ||
            fail "logrotate failed: $(cat "$work/logrotate.out")"
        rotated=$((rotated + 1))
        case $k in
        4 | 12 | 18)
            [ "$k" -ne 18 ] || waited=$(fleet_waiting)
            fleet_halt sender KILL
            fleet_rsyslogd sender
            crashes=$((crashes + 1))
            ;;
        20)
            fleet_halt sender TERM
            fleet_rsyslogd sender
            stops=$((stops + 1))
            ;;
        8 | 16)
            fleet_halt central KILL
            if [ "$k" -eq 8 ]; then
                sleep 1
                fleet_rsyslogd central
                eventually 10 listening "$port" || fail "the central rsyslogd did not come back on $port"
                restarts=$((restarts + 1))
            fi
            ;;
        22)
            fleet_rsyslogd central
            eventually 10 listening "$port" || fail "the central rsyslogd did not come back on $port"
            restarts=$((restarts + 1))
            ;;
        esac
        [ "$k" -gt 1 ] || [ "$(system_rsyslog_state)" = "$before" ] ||
            fail "the system's rsyslog changed: $before / $(system_rsyslog_state)"
    done
    fleet_progress_past "$total" && fail "the stream ended before the last rotation"
    eventually 120 not alive "$scrivel_pid" || fail "scrivel did not finish the stream"
    wait "$scrivel_pid" || fail "scrivel exited with status $?"

    # Everything scrivel wrote, in every generation.
    for f in "$work"/log/current*; do
        case $f in *.gz) gzip -dc "$f" ;; *) cat "$f" ;; esac
    done >"$work/written"
    count=$(wc -l <"$work/written")
    [ "$count" -eq "$total" ] || fail "scrivel wrote $count lines, not $total"
    all_stamped "$work/written" || fail "a line that scrivel wrote has no time stamp"

    # The central file fills up; it is complete once it holds as many lines
    # as scrivel wrote and no more arrive for 2 s.
    files=("$work"/central/hosts/*/*)
    central=${files[0]}
    [ ${#files[@]} -eq 1 ] && [ "${central##*/}" = ident.log ] ||
        fail "the central host wrote ${files[*]}, not one file HOST/ident.log"
    last=-1
    deadline=$((SECONDS + 120))
    while count=$(wc -l <"$central") && { [ "$count" -lt "$total" ] || [ "$count" -ne "$last" ]; }; do
        [ "$SECONDS" -lt "$deadline" ] || break
        last=$count
        sleep 2
    done
    for k in sender central; do
        fleet_halt "$k" TERM
    done

    read -r lost dup torn < <(LC_ALL=C awk 'NR == FNR { want[$0] = 1; next }
        { if ($0 in want) seen[$0]++; else torn++ }
        END { for (l in want) if (!(l in seen)) lost++; else dup += seen[l] - 1
              print lost + 0, dup + 0, torn + 0 }' "$work/written" "$central")
    echo "[figures] fleet: $total lines, $rotated rotations, $restarts receiver restarts, $crashes sender crashes ($waited lines waiting at the one during the outage), $stops sender stop, lost $lost, duplicated $dup, $((SECONDS - begin)) s"
    [ "$(system_rsyslog_state)" = "$before" ] ||
        fail "the system's rsyslog changed: $before / $(system_rsyslog_state)"
    [ "$lost" -eq 0 ] || fail "$lost lines are not in the central file"
    [ "$torn" -eq 0 ] || fail "$torn lines in the central file are not as scrivel wrote them"
    # Lines twice: up to 100 at each rotation (imfile's position of the
    # renamed generation is written every 100 lines), up to 132 in each of
    # two generations at each start of the sender (the position written up
    # to 100 lines back, then the rewind's 32), up to RELP's window of 16 at
    # each receiver crash, and a generation read again from its start at each
    # crash of the sender (when the kill cuts the writing of a state file).
    # A generation read twice at every rotation is a fault.
    most=$((rotated * 100 + (crashes + stops) * 2 * 132 + restarts * 16 + crashes * total / (rotations + 1)))
    [ "$dup" -le "$most" ] || fail "$dup lines were duplicated, more than the $most accounted for"

    # The administrator's count agrees; a central copy that lacks lines is
    # repaired with those lines alone.
    install_recipe rsyslog/ident-central-repair "$work/ident-central-repair"
    f=$("$work/ident-central-repair" -n "$central" "$work"/log/current*) || fail "ident-central-repair -n failed"
    [ "$f" = "lost 0, duplicated $dup, not in these files 0" ] || fail "ident-central-repair counts '$f', the test lost 0, duplicated $dup"
    # Every 2000th line that the central file holds once is taken out.
    LC_ALL=C awk 'NR == FNR { n[$0]++; next } FNR % 2000 != 7 || n[$0] > 1' "$central" "$central" >"$work/damaged"
    k=$(($(wc -l <"$central") - $(wc -l <"$work/damaged")))
    [ "$k" -gt 0 ] || fail "no line was taken out of the copy"
    f=$("$work/ident-central-repair" "$work/damaged" "$work"/log/current*) || fail "ident-central-repair failed"
    [ "$f" = "lost $k, duplicated $dup, not in these files 0" ] ||
        fail "ident-central-repair counts '$f' in a copy that lacks $k lines"
    cmp -s <(LC_ALL=C sort "$central") <(LC_ALL=C sort "$work/damaged") || fail "the repaired copy is not the central file"
    return 0
}

# The lines written and not yet in the central file (each counted once).
fleet_waiting() {
    local p=0
    read -r p 2>/dev/null <"$work/progress"
    echo $((p - $(cat "$work"/central/hosts/*/ident.log 2>/dev/null | LC_ALL=C awk '!seen[$0]++' | wc -l)))
}

fleet_new_second() {
    [ "$(date +%s)" -gt "$1" ]
}

fleet_progress_past() {
    local p=0
    read -r p 2>/dev/null <"$work/progress"
    [ "${p:-0}" -ge "$1" ]
}

# Every recipe file is shown in docs/DEPLOY.md exactly as it is shipped.
case_docs() {
    local file text doc
    doc=$(cat "$source_dir/docs/DEPLOY.md") || fail "docs/DEPLOY.md is missing"
    while IFS= read -r file; do
        text=$(cat "$file")
        [[ $doc == *"$text"* ]] || fail "docs/DEPLOY.md does not show ${file#"$recipes"/} as it is"
        case $(head -c 2 "$file") in
        '#!')
            [ -x "$file" ] || fail "${file#"$recipes"/} is not executable"
            sh -n "$file" || fail "${file#"$recipes"/} is not valid sh"
            ;;
        esac
    done < <(find "$recipes" -type f | sort)
}

case $case_name in
tcpserver | runit | logrotate | systemd | xinetd | fleet | docs) "case_$case_name" ;;
*) fail "unknown case $case_name" ;;
esac
exit 0
