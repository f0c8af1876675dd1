# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ident-tcpsvd.service of the examples, with the release's ipsvd, in place of
# the socket: a query, 100 in turn; then ident.socket beside it on IPv6 alone
# (the drop-in of the examples): ::1 is answered through the socket,
# 127.0.0.1 still by tcpsvd alone.
case_tcpsvd() {
    local reply seconds replies before
    reach socket
    start_tcpsvd
    reply=$(query "" 127.0.0.1)
    [ "$reply" = "$answer" ] || kx_fail "tcpsvd: a query got '$reply'"
    read -r seconds replies < <(kx_container_net "$client" seq 127.0.0.1 113 100)
    [ "$replies" -eq 100 ] || kx_fail "tcpsvd: 100 queries in a row got $replies replies"
    figure "tcpsvd recipe: $(awk -v s="$seconds" 'BEGIN { printf "%.0f", 100 / s }') queries/s (100 in a row)"

    kx_container_run sh -c 'mkdir /etc/systemd/system/ident.socket.d &&
        cp /usr/share/doc/kestrix/examples/systemd/ident-ipv6-only.conf /etc/systemd/system/ident.socket.d/ipv6-only.conf &&
        systemctl daemon-reload && systemctl start ident.socket' >"$work/ipv6.out" 2>&1 ||
        kx_fail "ident.socket on IPv6 alone does not start beside tcpsvd: $(cat "$work/ipv6.out")"
    before=$(accepted)
    reply=$(query "" ::1)
    [ "$reply" = "$answer" ] || kx_fail "beside tcpsvd, a query over ::1 got '$reply'"
    [ "$(accepted)" -eq $((before + 1)) ] || kx_fail "the query over ::1 did not pass through ident.socket"
    reply=$(query "" 127.0.0.1)
    [ "$reply" = "$answer" ] || kx_fail "beside the IPv6 socket, a query over 127.0.0.1 got '$reply'"
    [ "$(accepted)" -eq $((before + 1)) ] || kx_fail "a query over 127.0.0.1 passed through ident.socket, not tcpsvd"
    kx_container_run sh -c 'systemctl stop ident.socket && rm -r /etc/systemd/system/ident.socket.d && systemctl daemon-reload' ||
        kx_fail "cannot take the IPv6 socket away"
}

accepted() {
    kx_container_run systemctl show -p NAccepted --value ident.socket
}
