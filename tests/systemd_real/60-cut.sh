# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# A silent peer is cut at RuntimeMaxSec=, here scaled down to 5 s by a
# drop-in, and its service instance goes away; no failed unit piles up.
case_cut() {
    local cut failed
    reach socket
    kx_container_run sh -c 'mkdir -p /run/systemd/system/ident@.service.d &&
        printf "[Service]\nRuntimeMaxSec=5\n" >/run/systemd/system/ident@.service.d/bound.conf &&
        systemctl daemon-reload' || kx_fail "cannot scale RuntimeMaxSec= down"
    cut=$(kx_container_net bash -c 'exec 3<>/dev/tcp/127.0.0.1/113 || exit 1
        start=$(date +%s.%N)
        timeout 60 cat <&3 >/dev/null
        echo "$start $(date +%s.%N)"' | awk '{ printf "%.1f", $2 - $1 }')
    [ -n "$cut" ] || kx_fail "no silent connection could be made"
    awk -v c="$cut" 'BEGIN { exit !(c >= 4.5 && c <= 15) }' || kx_fail "a silent peer was cut after $cut s, not 5 s"
    kx_eventually 20 no_instances ||
        kx_fail "the cut service stays: $(kx_container_run systemctl list-units --all --no-legend 'ident@*')"
    failed=$(kx_container_run systemctl list-units --failed --no-legend --plain)
    [ -z "$failed" ] || kx_fail "failed units pile up: $failed"
    kx_container_run sh -c 'rm -r /run/systemd/system/ident@.service.d && systemctl daemon-reload'
    figure "silent peer cut after $cut s (RuntimeMaxSec=5)"
}
