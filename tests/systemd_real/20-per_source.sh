# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# kestrix-accept -C 4: four silent connections from one address shut out a
# fifth from there, closed at once, not another address.
case_per_source() {
    local reply
    reach socket
    hold 127.0.0.1 4
    kx_eventually 10 hoodwains_at_least 4 || kx_fail "4 held connections are not served"
    reply=$(query 127.0.0.1 127.0.0.1)
    [ "$reply" = "$empty" ] || kx_fail "a fifth connection from one address got '$reply'"
    answered_from 127.0.0.2 || kx_fail "another address got '$(query 127.0.0.2 127.0.0.1)' while one held 4 connections"
    [ "$(hoodwains)" -eq 4 ] || kx_fail "$(hoodwains) hoodwain run for 4 held connections"
}
