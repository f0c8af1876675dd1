# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_hoodwain_under_runsv_logging_through_scrivel
# The runit service of deploy/runit/ident under runsv, its connection log
# through the log service (scrivel -c): replies, confinement, a stamped log
# with exactly the two connections, and sv exit ending both.
case_runit() {
    kx_need_root "confinement to another user and group"
    kx_need tcpserver runsv sv
    local port service=$work/service/ident
    port=$(kx_pick_port) || kx_fail "no free port"
    mkdir -m 0555 "$work/empty"
    mkdir "$work/log"
    install_ident_service "$service" "$port"
    start_runsv "$service"
    kx_eventually 10 kx_listening "$port" || kx_fail "the service does not listen on $port"
    exercise_responder "$port" "$work/log/current"
    stop_runsv "$service"
    kx_all_stamped "$work/log/current" || kx_fail "a log line has no time stamp"
    [ "$(grep -c ': connect from 127\.0\.0\.1 port ' "$work/log/current")" -eq 2 ] ||
        kx_fail "the log does not hold exactly the two connections"
    [ "$(grep -c ': closed$' "$work/log/current")" -eq 2 ] ||
        kx_fail "the log does not hold exactly two ends of connection"
}
