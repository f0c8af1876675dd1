#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Runs the deployment recipes of deploy/ end to end against the real peers
# from Debian: tcpserver, runsv and sv, logrotate, systemd-socket-activate and
# systemd-analyze, xinetd. Each case copies the recipe files it needs into a
# fresh directory, puts the test's paths in place of the system paths and a
# free port on 127.0.0.1 in place of 113, runs them, and checks what a client
# and the log see, and how each hoodwain is confined.
#
# Usage: deploy_test.sh CASE SOURCE_DIR SCRIVEL HOODWAIN
# Exit status: 0 passed, 1 failed, 77 skipped (a peer or a privilege that
# this machine does not have).
set -u

case_name=$1
source_dir=$2
scrivel=$3
hoodwain=$4
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

# The substitutions that make the runit service of deploy/ a test service.
install_ident_service() {
    local service=$1 port=$2
    install_recipe runit/ident/run "$service/run" \
        /usr/share/kestrix/empty "$work/empty" \
        " 0 113 " " 127.0.0.1 $port " \
        /usr/sbin/hoodwain "$hoodwain"
    install_recipe runit/ident/log/run "$service/log/run" \
        /usr/sbin/scrivel "$scrivel" \
        /var/log/ident "$work/log"
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
    install_recipe runit/ident/run "$work/run" \
        /usr/share/kestrix/empty "$work/empty" \
        " 0 113 " " 127.0.0.1 $port " \
        /usr/sbin/hoodwain "$hoodwain"
    "$work/run" >"$work/run.out" 2>&1 &
    started+=($!)
    eventually 10 listening "$port" || fail "tcpserver does not listen on $port"
    exercise_responder "$port" "$work/run.out"
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

case_systemd() {
    need systemd-analyze systemd-socket-activate
    local units=$work/units socket service line execstart environment=() port pid
    mkdir "$units"
    cp "$recipes/systemd/ident.socket" "$recipes/systemd/ident@.service" "$units/"
    socket=$units/ident.socket
    service=$units/ident@.service

    # The units as systemd itself reads them.
    timeout 30 systemd-analyze verify "$socket" "$service" >"$work/verify.out" 2>&1 ||
        fail "systemd-analyze verify rejects the units"
    [ -s "$work/verify.out" ] && fail "systemd-analyze verify complains about the units"
    grep -qx 'Accept=yes' "$socket" || fail "the socket unit lacks Accept=yes"
    grep -qx 'StandardInput=socket' "$service" || fail "the service lacks StandardInput=socket"
    grep -qx 'StandardOutput=socket' "$service" || fail "the service lacks StandardOutput=socket"

    need_root
    # systemd puts the peer in REMOTE_ADDR and REMOTE_PORT for an Accept=yes
    # service; systemd-socket-activate does not, so the test sets them. What
    # runs is the unit's own ExecStart, "$$" read back as "$" as systemd does.
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
    port=$(pick_port) || fail "no free port"
    systemd-socket-activate --accept --inetd -l "127.0.0.1:$port" "${environment[@]}" \
        -E REMOTE_ADDR=192.0.2.7 -E REMOTE_PORT=40312 "${execstart[@]}" \
        >"$work/activate.out" 2>"$work/activate.err" &
    started+=($!)
    eventually 10 listening "$port" || fail "systemd-socket-activate does not listen on $port"
    connect "$port"
    ask '6193, 23\r\n6195,25\n' 2
    [ "$reply" = "$hidden_6193_6195" ] || fail "replies were $(printf '%q' "$reply")"
    eventually 5 logged "$work/activate.err" ": request 6195,25" || fail "the queries were not logged"
    pid=$(grep -o '[0-9][0-9]*: connect from 192\.0\.2\.7 port 40312$' "$work/activate.err" | cut -d: -f1)
    [ -n "$pid" ] || fail "REMOTE_ADDR and REMOTE_PORT did not reach hoodwain"
    check_confined "$pid"
    hang_up
    eventually 5 logged "$work/activate.err" "$pid: closed" || fail "the end of connection $pid was not logged"
}

case_xinetd() {
    need_root
    need xinetd
    local port
    port=$(pick_port) || fail "no free port"
    mkdir -m 0555 "$work/empty"
    mkdir "$work/log"
    install_recipe xinetd/hoodwain-xinetd "$work/hoodwain-xinetd" \
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
# configuration, work directory and pid file.
fleet_rsyslogd() {
    rm -f "$work/$1/rsyslogd.pid"
    rsyslogd -n -f "$work/$1/rsyslog.conf" -i "$work/$1/rsyslogd.pid" >>"$work/$1.out" 2>&1 &
    started+=($!)
    eval "$1_pid=$!"
    # Killed on purpose: no word from the shell about it.
    disown $!
}

# One host's scrivel log followed by rsyslog's imfile and sent over RELP to a
# central rsyslogd, which writes it one file per host and program. Lines
# flow while logrotate rotates the log and the central rsyslogd is killed
# and restarted; at the end every line scrivel wrote must be in the central
# file exactly once and byte for byte.
case_fleet() {
    need_root
    need rsyslogd logrotate gzip awk pgrep
    local total=100000 chunk=200 rotations=24 port k f rotated=0 restarts=0
    local sender_pid central_pid scrivel_pid before begin=$SECONDS files central count last
    local lost dup torn pid deadline
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

    # Rotations spread over the stream; the receiver killed after the 8th and
    # the 16th and started again a second later.
    for ((k = 1; k <= rotations; k++)); do
        eventually 120 fleet_progress_past $((k * total / (rotations + 1))) ||
            fail "the service stalled before $((k * total / (rotations + 1))) lines"
        alive "$scrivel_pid" || fail "scrivel is gone"
        logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" >>"$work/logrotate.out" 2>&1 ||
            fail "logrotate failed: $(cat "$work/logrotate.out")"
        rotated=$((rotated + 1))
        if [ $((k % 8)) -eq 0 ] && [ "$k" -lt "$rotations" ]; then
            kill -KILL "$central_pid"
            eventually 10 not alive "$central_pid" || fail "the central rsyslogd survived SIGKILL"
            sleep 1
            fleet_rsyslogd central
            eventually 10 listening "$port" || fail "the central rsyslogd did not come back on $port"
            restarts=$((restarts + 1))
        fi
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
        eval "pid=\$${k}_pid"
        kill -TERM "$pid"
        eventually 30 not alive "$pid" || fail "the $k rsyslogd does not stop"
    done

    read -r lost dup torn < <(LC_ALL=C awk 'NR == FNR { want[$0] = 1; next }
        { if ($0 in want) seen[$0]++; else torn++ }
        END { for (l in want) if (!(l in seen)) lost++; else dup += seen[l] - 1
              print lost + 0, dup + 0, torn + 0 }' "$work/written" "$central")
    echo "[figures] fleet: $total lines, $rotated rotations, $restarts receiver restarts, lost $lost, duplicated $dup, $((SECONDS - begin)) s"
    [ "$(system_rsyslog_state)" = "$before" ] ||
        fail "the system's rsyslog changed: $before / $(system_rsyslog_state)"
    [ "$lost" -eq 0 ] || fail "$lost lines are not in the central file"
    [ "$torn" -eq 0 ] || fail "$torn lines in the central file are not as scrivel wrote them"
    return 0
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
