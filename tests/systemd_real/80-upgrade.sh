# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# The upgrade from the package of $old_commit (ident.socket with Accept=yes,
# an ident@.service for each connection): with ident.socket not running, it
# stays so and nothing starts; with it enabled and serving, a connection held
# through the upgrade, ident answers IPv4 and IPv6 through kestrix-accept
# right after dpkg -i, with no step in between; the socket stays enabled,
# the held connection is served to its end, and no unit is left failed.
case_upgrade() {
    local address reply processes failed
    reach bare
    install_old
    install_package
    listening_on_113 && kx_fail "the upgrade of an installed, stopped ident.socket made something listen on 113"
    processes=$(package_processes) && kx_fail "the upgrade of a stopped ident.socket started: $processes"
    purge_package

    install_old
    start_socket
    answered_from 127.0.0.2 || kx_fail "the package of $old_commit does not answer: '$(query 127.0.0.2 127.0.0.1)'"
    [ "$(kx_container_run systemctl show -p Accept --value ident.socket)" = yes ] ||
        kx_fail "the package of $old_commit has no ident.socket with Accept=yes"
    hold 127.0.0.1 1
    kx_eventually 10 hoodwains_at_least 1 || kx_fail "the held connection is not served before the upgrade"
    install_package
    for address in 127.0.0.1 ::1; do
        reply=$(query "" "$address")
        [ "$reply" = "$answer" ] || kx_fail "after the upgrade, a query over $address got '$reply'"
    done
    [ "$(kx_container_run systemctl show -p Accept --value ident.socket)" = no ] ||
        kx_fail "after the upgrade, ident.socket still accepts each connection itself"
    kx_container_run systemctl is-active --quiet ident.service || kx_fail "after the upgrade, ident.service does not serve"
    [ "$(kx_container_run systemctl is-enabled ident.socket)" = enabled ] || kx_fail "the upgrade left ident.socket not enabled"
    kx_container_has_process hoodwain || kx_fail "the connection held through the upgrade was cut"
    release_holders
    kx_eventually 10 no_hoodwain || kx_fail "the connection held through the upgrade is still served after it ended"
    kx_eventually 10 no_old_units || kx_fail "units of the old package stay: $(old_units)"
    failed=$(kx_container_run systemctl list-units --failed --no-legend --plain)
    [ -z "$failed" ] || kx_fail "the upgrade leaves failed units: $failed"
    figure "upgrade from the package of $old_commit ($old_deb): answered over IPv4 and IPv6 right after dpkg -i"
}

install_old() {
    kx_container_run dpkg -i "/kestrix-test/old/$old_deb" >"$work/dpkg.out" 2>&1 ||
        kx_fail "dpkg -i $old_deb failed: $(cat "$work/dpkg.out")"
}

old_units() {
    kx_container_run systemctl list-units --all --no-legend --plain 'ident@*'
}

no_old_units() {
    [ -z "$(old_units)" ]
}
