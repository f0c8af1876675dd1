# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_scrivel_log_rotated_by_logrotate_and_sv_hup
# deploy/logrotate/ident rotating the runit service's log: renamed, not
# copied; scrivel reopens it on sv hup; each connection in its generation;
# the one before compressed at the next rotation. Then the stanza of the
# rsyslog recipe on the same runit service.
case_logrotate() {
    kx_need_root "confinement to another user and group"
    kx_need tcpserver runsv sv logrotate gzip
    local port service=$work/service/ident logger first second
    port=$(kx_pick_port) || kx_fail "no free port"
    mkdir -m 0555 "$work/empty"
    mkdir "$work/log"
    install_ident_service "$service" "$port"
    kx_install_recipe "$recipes/logrotate/ident" "$work/logrotate.conf" \
        /var/log/ident "$work/log" \
        "sv hup /etc/service/ident/log" "sv hup $service/log"
    start_runsv "$service"
    kx_eventually 10 kx_listening "$port" || kx_fail "the service does not listen on $port"
    kx_eventually 5 test -s "$service/log/supervise/pid" || kx_fail "runsv did not start the log service"
    logger=$(cat "$service/log/supervise/pid")

    first=$(logged_query "$port" '1,2\n') || kx_fail "the first connection was not logged"
    rotate_renaming "$logger"
    second=$(logged_query "$port" '3,4\n') || kx_fail "the second connection was not logged"
    grep -q "port $first\$" "$work/log/current.1" || kx_fail "the first connection is not in the rotated log"
    grep -q "port $second\$" "$work/log/current.1" && kx_fail "the second connection went to the rotated log"
    grep -q "port $first\$" "$work/log/current" && kx_fail "the first connection is also in the new log"

    # The next rotation compresses the one before: nothing is compressed
    # while scrivel may still be writing to it.
    logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" >>"$work/logrotate.out" 2>&1 ||
        kx_fail "the second logrotate failed"
    kx_eventually 5 kx_writes_to "$logger" "$work/log/current" ||
        kx_fail "scrivel did not reopen the log after the second sv hup"
    gzip -dc "$work/log/current.2.gz" | grep -q "port $first\$" ||
        kx_fail "the first connection is not in current.2.gz"
    grep -q "port $second\$" "$work/log/current.1" || kx_fail "the second connection is not in current.1"
    rotate_for_rsyslog "$service" "$port" "$logger"
    stop_runsv "$service"
    [ "$(wc -l <"$work/log/current")" -eq 3 ] || kx_fail "the newest log holds more than the last connection's three lines"
}

# rotate_for_rsyslog SERVICE PORT LOGGER: the stanza of the rsyslog recipe on
# the same service. No scrivel@ident.socket is active, so its postrotate
# tells the runit log service (sv hup); the log keeps its inode under the
# name of its rotation, and scrivel, not logrotate, makes the new one.
rotate_for_rsyslog() {
    local service=$1 port=$2 logger=$3 inode third generation
    kx_install_recipe "$recipes/rsyslog/logrotate-ident" "$work/logrotate-rsyslog.conf" \
        /var/log/ident "$work/log" \
        "sv hup /etc/service/ident/log" "sv hup $service/log"
    third=$(logged_query "$port" '5,6\n') || kx_fail "the third connection was not logged"
    inode=$(stat -c %i "$work/log/current")
    logrotate -f -s "$work/logrotate-rsyslog.state" "$work/logrotate-rsyslog.conf" >>"$work/logrotate.out" 2>&1 ||
        kx_fail "logrotate failed on the rsyslog recipe's stanza"
    generation=$(find "$work/log" -name 'current-[0-9]*-[0-9]*' -inum "$inode")
    [ -n "$generation" ] || kx_fail "the log was not renamed to current-DAY-SECOND: $(ls "$work/log")"
    kx_eventually 5 kx_writes_to "$logger" "$work/log/current" ||
        kx_fail "scrivel did not reopen the log after the rsyslog stanza's postrotate"
    grep -q "port $third\$" "$generation" || kx_fail "the third connection is not in ${generation##*/}"
    logged_query "$port" '7,8\n' >/dev/null || kx_fail "a connection after the rsyslog stanza's rotation was not logged"
}

# logged_query PORT TEXT: one connection that sends TEXT, reads a reply and
# ends, logged to the end; prints its client port.
logged_query() {
    local conn client_port
    exec {conn}<>"/dev/tcp/127.0.0.1/$1" || return 1
    client_port=$(kx_local_port "$conn")
    kx_ask "$conn" "$2" 1 >/dev/null
    exec {conn}>&-
    kx_eventually 5 logged "$work/log/current" "port $client_port" &&
        kx_eventually 5 logged "$work/log/current" ": closed" || return 1
    echo "$client_port"
}

# rotate_renaming LOGGER: logrotate renames the log (a copy would miss what is
# written while it is made), creates the new one 644 root root, and the
# logger, told by sv hup, writes to it.
rotate_renaming() {
    local inode
    inode=$(stat -c %i "$work/log/current")
    logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" >"$work/logrotate.out" 2>&1 ||
        kx_fail "logrotate failed"
    [ "$(stat -c %i "$work/log/current.1" 2>/dev/null)" = "$inode" ] ||
        kx_fail "logrotate did not rename the log to current.1"
    [ "$(stat -c %i "$work/log/current")" != "$inode" ] || kx_fail "logrotate did not create a new log"
    [ "$(stat -c '%a %U %G' "$work/log/current")" = "644 root root" ] ||
        kx_fail "the new log is $(stat -c '%a %U %G' "$work/log/current"), not 644 root root"
    kx_eventually 5 kx_writes_to "$1" "$work/log/current" ||
        kx_fail "scrivel did not reopen the log after sv hup"
}
