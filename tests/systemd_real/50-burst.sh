# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# A burst of 1000 connections from one address, opened in under a second:
# the socket never fails (systemd's default trigger limit would fail it for
# good), and another address is answered within 5 s of the burst's end.
case_burst() {
    local again opened answered refused reply
    reach socket
    again=$(burst "") || exit 1
    awk -v a="$again" 'BEGIN { exit !(a <= 5) }' || kx_fail "the first answer after a burst of 1000 connections came after $again s"
    read -r opened answered refused <"$work/burst.out"
    awk -v o="$opened" 'BEGIN { exit !(o < 1) }' || kx_fail "the burst took $opened s to open, not under 1 s: $(cat "$work/burst.out")"
    [ $((answered + refused)) -eq 1000 ] || kx_fail "of the burst's 1000 connections, $answered were answered and $refused refused"
    [ "$answered" -ge 4 ] || kx_fail "only $answered of the burst's connections were answered"
    socket_not_failed || kx_fail "ident.socket failed after a burst"
    [ "$(kx_container_run systemctl show -p Result --value ident.socket)" = success ] ||
        kx_fail "ident.socket's result after a burst: $(kx_container_run systemctl show -p Result --value ident.socket)"
    reply=$(query 127.0.0.1 127.0.0.1)
    [ "$reply" = "$answer" ] || kx_fail "the burst's own address is not answered after it: '$reply'"
    kx_eventually 20 no_instances || kx_fail "services outlive the burst: $(instances)"
    figure "burst of 1000 opened in $(awk -v o="$opened" 'BEGIN { printf "%.3f", o }') s ($answered answered, $refused refused)," \
        "another address answered $again s after it"
}
