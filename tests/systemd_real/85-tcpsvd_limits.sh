# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# tcpsvd's limits: -C 4 per address, and 24 held from six addresses of which
# 20 are served at once (-c 20); the serving process confined as under the
# socket, except that the bounding set may also hold CAP_NET_BIND_SERVICE
# (10), which tcpsvd keeps to bind port 113: with no capability in effect or
# permitted and no new privileges, it cannot be used.
case_tcpsvd_limits() {
    local source
    reach tcpsvd
    per_source "tcpsvd: " hoodwains_at_least
    confined "tcpsvd: " $((1 << 10))
    for source in 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 127.0.0.6; do
        hold "$source" 4
    done
    kx_eventually 10 hoodwains_at_least 20 || kx_fail "tcpsvd: 24 held connections do not run 20 hoodwain"
    sleep 1
    [ "$(kx_container_run pgrep -c -x hoodwain)" -eq 20 ] ||
        kx_fail "tcpsvd: $(kx_container_run pgrep -c -x hoodwain) hoodwain run at once"
}
