# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# MaxConnections=: twenty connections held from five addresses; the 21st is
# refused (systemd accepts and closes it at once), and is answered again once
# one ends; the services go with their connections.
case_limit() {
    local source reply
    reach socket
    for source in 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5; do
        hold "$source" 4
    done
    kx_eventually 10 running_instances_at_least 20 || kx_fail "20 held connections do not run 20 services"
    reply=$(query 127.0.0.6 127.0.0.1)
    [ "$reply" = "$empty" ] || kx_fail "the 21st connection got '$reply'"
    kx_stop "${holders[0]}"
    kx_eventually 10 answered_from 127.0.0.6 ||
        kx_fail "no answer after a held connection ended: '$(query 127.0.0.6 127.0.0.1)'"
    release_holders
    kx_eventually 20 no_instances || kx_fail "services outlive their connections: $(instances)"
    socket_not_failed || kx_fail "ident.socket failed"
}
