# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_hoodwain_under_xinetd
# deploy/xinetd: the service and its wrapper under xinetd, logging through
# scrivel: replies, confinement and log; four silent peers from 127.0.0.1
# shut out a fifth from there, not a client from 127.0.0.2, until the time
# limit cuts them; deploy/logrotate/ident-xinetd rotates the log with no
# signal, the next connection logging into the new file.
case_xinetd() {
    kx_need_root "confinement to another user and group"
    kx_need xinetd tcpclient logrotate
    local port reply conn
    port=$(kx_pick_port) || kx_fail "no free port"
    mkdir -m 0555 "$work/empty"
    mkdir "$work/log"
    bound=8
    start_xinetd "$port"
    exercise_responder "$port" "$work/log/xinetd"

    # per_source = 4
    hold_silent "$port" 4 "$work/log/xinetd"
    exec {conn}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
    kx_closed_by_peer "$conn" || kx_fail "a fifth connection from 127.0.0.1 was not refused"
    exec {conn}>&-
    kx_eventually 5 grep -q 'FAIL: ident per_source_limit from=127\.0\.0\.1$' "$work/xinetd.out" ||
        kx_fail "xinetd did not log the refusal (its log_type): $(cat "$work/xinetd.out")"
    reply=$(timeout 10 tcpclient -H -R -l 0 -i 127.0.0.2 127.0.0.1 "$port" \
        sh -c 'printf "6193, 23\r\n" >&7; head -n 1 <&6')
    [ "$reply" = "$hidden_6193" ] ||
        kx_fail "127.0.0.2 was not answered beside the silent peers: $(printf '%q' "$reply")"
    kx_eventually 5 logged "$work/log/xinetd" ": request 6193,23" || kx_fail "the query from 127.0.0.2 was not logged"
    grep -q ': connect from 127\.0\.0\.2 port [1-9][0-9]*$' "$work/log/xinetd" ||
        kx_fail "no connection from 127.0.0.2 in the log"
    still_held || kx_fail "a silent peer's hoodwain ended before the time limit"
    cut_at_bound "$work/log/xinetd"
    # xinetd counts a peer's slot free once it has reaped the wrapper.
    kx_eventually 5 answered "$port" || kx_fail "127.0.0.1 was not answered after the time limit"
    kx_all_stamped "$work/log/xinetd" || kx_fail "a log line has no time stamp"

    kx_install_recipe "$recipes/logrotate/ident-xinetd" "$work/logrotate.conf" /var/log/ident "$work/log"
    logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf" >"$work/logrotate.out" 2>&1 ||
        kx_fail "logrotate failed: $(cat "$work/logrotate.out")"
    grep -q ': connect from 127\.0\.0\.2 ' "$work/log/xinetd.1" || kx_fail "the log was not renamed to xinetd.1"
    [ "$(stat -c '%a %U:%G %s' "$work/log/xinetd")" = "644 root:root 0" ] ||
        kx_fail "the new log is $(stat -c '%a %U:%G, %s bytes' "$work/log/xinetd")"
    answered "$port" || kx_fail "no answer after the rotation"
    kx_eventually 5 logged "$work/log/xinetd" ": closed" || kx_fail "the connection after the rotation is not in the new log"
    [ "$(grep -c ': connect from ' "$work/log/xinetd")" -eq 1 ] || kx_fail "the new log holds older connections"
}

# start_xinetd PORT: xinetd in the foreground on the recipe's service and
# wrapper, on 127.0.0.1:PORT, its log_type pointed at $work/xinetd.out.
start_xinetd() {
    local port=$1
    kx_install_recipe "$recipes/xinetd/hoodwain-xinetd" "$work/hoodwain-xinetd" \
        "/usr/sbin/kestrix-deadline 180 " "$deadline $bound " \
        /usr/sbin/hoodwain "$hoodwain" \
        /usr/sbin/scrivel "$scrivel" \
        /var/log/ident "$work/log"
    kx_install_recipe "$recipes/xinetd/ident" "$work/ident.service" \
        "= 113" "= $port"$'\n'"    bind            = 127.0.0.1" \
        "SYSLOG daemon info" "FILE $work/xinetd.out" \
        /usr/local/sbin/hoodwain-xinetd "$work/hoodwain-xinetd" \
        /usr/share/kestrix/empty "$work/empty"
    xinetd -dontfork -f "$work/ident.service" -pidfile "$work/xinetd.pid" >"$work/xinetd.err" 2>&1 &
    kx_track $!
    kx_eventually 10 kx_listening "$port" || kx_fail "xinetd does not listen on $port"
}
