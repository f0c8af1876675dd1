# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_hoodwain_under_tcpserver_from_a_run_script
# The run script of deploy/runit/ident/run on its own: replies, confinement
# and log; 19 silent peers leave the 20th slot to a client that asks, until
# the time limit cuts them.
case_tcpserver() {
    kx_need_root "confinement to another user and group"
    kx_need tcpserver
    local port
    port=$(kx_pick_port) || kx_fail "no free port"
    mkdir -m 0555 "$work/empty"
    bound=8
    install_run_script "$work/run" "$port"
    "$work/run" >"$work/run.out" 2>&1 &
    kx_track $!
    kx_eventually 10 kx_listening "$port" || kx_fail "tcpserver does not listen on $port"
    exercise_responder "$port" "$work/run.out"

    hold_silent "$port" 19 "$work/run.out"
    answered "$port" || kx_fail "a client was not answered beside 19 silent ones"
    still_held || kx_fail "a silent peer's hoodwain ended before the time limit"
    cut_at_bound "$work/run.out"
    kx_eventually 5 answered "$port" || kx_fail "no answer after the time limit"
}
