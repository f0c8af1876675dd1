# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# A burst of 1000 connections from one address, opened in under a second:
# none fails (each is made, then answered or closed by kestrix-accept), at
# most 4 from that address are served at once (the order of the journal's
# "connect from" and "closed" lines, written in that order by each hoodwain,
# tells), another address is answered within 5 s of the burst's end, and
# the socket and the service stay up.
case_burst() {
    local mark again opened answered refused failed reply most loop
    reach socket
    answered_from 127.0.0.2 || kx_fail "no answer before the burst"
    loop=$(loop_pid)
    mark=$(journal_mark)
    again=$(burst "") || exit 1
    awk -v a="$again" 'BEGIN { exit !(a <= 5) }' || kx_fail "the first answer after a burst of 1000 connections came after $again s"
    read -r opened answered refused failed <"$work/burst.out"
    awk -v o="$opened" 'BEGIN { exit !(o < 1) }' || kx_fail "the burst took $opened s to open, not under 1 s: $(cat "$work/burst.out")"
    if [ "$failed" -ne 0 ] || [ $((answered + refused)) -ne 1000 ]; then
        kx_fail "of the burst's 1000 connections, $answered were answered, $refused closed and $failed failed"
    fi
    [ "$answered" -ge 4 ] || kx_fail "only $answered of the burst's connections were answered"
    most=$(journal_since "$mark" | awk '/: connect from 127\.0\.0\.1 port / { from[$1] = 1; if (++alive > most) most = alive }
        /: closed$/ && ($1 in from) { delete from[$1]; alive-- } END { print most + 0 }')
    [ "$most" -le 4 ] || kx_fail "$most connections from the burst's address were served at once"
    socket_not_failed || kx_fail "ident.socket failed after a burst"
    [ "$(kx_container_run systemctl show -p Result --value ident.socket)" = success ] ||
        kx_fail "ident.socket's result after a burst: $(kx_container_run systemctl show -p Result --value ident.socket)"
    [ "$(loop_pid)" = "$loop" ] || kx_fail "ident.service did not stay up through the burst"
    reply=$(query 127.0.0.1 127.0.0.1)
    [ "$reply" = "$answer" ] || kx_fail "the burst's own address is not answered after it: '$reply'"
    kx_eventually 20 no_hoodwain || kx_fail "hoodwain outlive the burst: $(hoodwains)"
    figure "burst of 1000 opened in $(awk -v o="$opened" 'BEGIN { printf "%.3f", o }') s ($answered answered, at most $most at once;" \
        "$refused closed, $failed failed), another address answered $again s after it"
}
