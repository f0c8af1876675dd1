# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# kestrix-accept -c 20: twenty connections held from five addresses; the
# 21st waits in the socket's backlog, connected but unanswered, and is
# answered once a held one ends; the loop says when it is full and when it
# accepts again; the processes go with their connections.
case_limit() {
    local mark waiting reply line
    reach socket
    mark=$(journal_mark)
    fill_places
    waiting=$twenty_first
    sleep 1
    kx_alive "$waiting" || kx_fail "the 21st connection was not kept waiting: '$(cat "$work/21st")'"
    [ "$(hoodwains)" -eq 20 ] || kx_fail "$(hoodwains) hoodwain run at the limit of 20"
    kx_stop "${holders[0]}"
    kx_eventually 10 kx_not kx_alive "$waiting" || kx_fail "the 21st connection was not served after a held one ended"
    wait "$waiting"
    reply=$(cat "$work/21st")
    [ "$reply" = "$answer" ] || kx_fail "the 21st connection got '$reply' after a held one ended"
    release_holders
    kx_eventually 20 no_hoodwain || kx_fail "hoodwain outlive their connections: $(hoodwains)"
    for line in '^kestrix-accept: full: 20 of 20 connections alive, waiting for one to end$' \
        '^kestrix-accept: accepting again: 1[0-9] of 20 connections alive$'; do
        kx_eventually 10 journal_since_has "$mark" "$line" ||
            kx_fail "no line '$line' in the journal: $(journal_since "$mark" | grep kestrix-accept)"
    done
    socket_not_failed || kx_fail "ident.socket failed"
}

journal_since_has() {
    journal_since "$1" | grep -q "$2"
}
