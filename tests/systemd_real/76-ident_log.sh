# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ident's connection log through scrivel@ident with the package's drop-in
# for ident.service: a burst of 200 connections from each of five addresses;
# every connection that was answered has its connect, request and closed
# lines in /var/log/ident/current, stamped, and no other has any; the log's
# descriptor in kestrix-accept and in a serving hoodwain is write-only.
case_ident_log() {
    local service=ident.service source answered=0 a r f pids pid lines bursts=()
    reach socket
    kx_container_run rm -rf "/run/systemd/system/$service.d"
    forget_scrivel ident
    log_through_scrivel "$service" ident
    # The next connection starts the service with the drop-in.
    kx_container_run systemctl stop "$service" 2>/dev/null || kx_fail "systemctl stop $service"
    for source in 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5; do
        IDENT_SOURCE=$source kx_container_net "$client" burst 127.0.0.1 113 200 >"$work/burst.$source" 2>&1 &
        bursts+=($!)
    done
    wait "${bursts[@]}"
    for source in 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5; do
        read -r _ a r f <"$work/burst.$source" || kx_fail "no result of the burst from $source: $(cat "$work/burst.$source")"
        if [ $((a + r)) -ne 200 ] || [ "$f" -ne 0 ]; then
            kx_fail "of the burst's 200 connections from $source, $a were answered, $r refused and $f failed"
        fi
        answered=$((answered + a))
    done
    [ "$answered" -ge 5 ] || kx_fail "only $answered connections of the burst were answered"
    kx_eventually 30 closed_lines_at_least "$answered" ||
        kx_fail "$answered connections answered, $(closed_lines) closed lines in the log"
    kx_container_run cat /var/log/ident/current >"$work/ident.log"
    kx_all_stamped "$work/ident.log" || kx_fail "a line of ident's log has no time stamp"
    pids=$(sed -n 's/^.\{25\}\([0-9]*\): connect from 127\.0\.0\.[1-5] port [0-9]*$/\1/p' "$work/ident.log" | sort -u)
    [ "$(grep -c . <<<"$pids")" -eq "$answered" ] ||
        kx_fail "$answered connections answered, $(grep -c . <<<"$pids") connected in the log"
    for pid in $pids; do
        lines=$(grep -c -E "^.{25}$pid: (connect from 127\.0\.0\.[1-5] port [0-9]+|request [0-9]+,[0-9]+|closed)\$" "$work/ident.log")
        [ "$lines" -eq 3 ] || kx_fail "connection $pid has $lines of its three lines: $(grep "^.\{25\}$pid: " "$work/ident.log")"
    done
    hold 127.0.0.9 1
    kx_eventually 10 kx_container_has_process hoodwain || kx_fail "no hoodwain serves the held connection"
    pid=$(kx_container_run pgrep -x -o hoodwain)
    write_only "$pid" 2 || kx_fail "hoodwain's log descriptor is not write-only: $(kx_container_run cat "/proc/$pid/fdinfo/2")"
    pid=$(main_pid "$service") || kx_fail "$service does not run"
    write_only "$pid" 2 || kx_fail "kestrix-accept's log descriptor is not write-only: $(kx_container_run cat "/proc/$pid/fdinfo/2")"
    release_holders
    rm -f "$work"/burst.* "$work/ident.log"
    # Back to the journal; the socket's stop takes the service with it.
    kx_container_run sh -c "rm -r /run/systemd/system/$service.d && systemctl daemon-reload"
    forget_scrivel ident
    figure "ident's log through scrivel@ident: $answered connections of a burst of 1000 from five addresses answered, each with its three lines"
}

closed_lines() {
    kx_container_run sh -c 'grep -c ": closed$" /var/log/ident/current 2>/dev/null || :'
}

closed_lines_at_least() {
    [ "$(closed_lines)" -ge "$1" ]
}
