# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# Installed, the package starts nothing and opens no port; enabled, the
# first connection starts ident.service, whose kestrix-accept serves IPv4
# and IPv6 on the one socket, and logs to the journal.
case_install() {
    local address reply line seconds replies processes program
    reach bare
    install_package
    grep -qi 'warning' "$work/dpkg.out" && kx_fail "dpkg -i warns: $(cat "$work/dpkg.out")"
    kx_container_run dpkg -S "$unit_dir/ident.socket" | grep -q '^kestrix:' ||
        kx_fail "dpkg -S knows no owner of $unit_dir/ident.socket"
    [ "$(kx_container_run systemctl is-enabled ident.socket)" = disabled ] || kx_fail "ident.socket is enabled on install"
    listening_on_113 && kx_fail "something listens on port 113 after the install"
    processes=$(package_processes) && kx_fail "processes of the package run after the install: $processes"

    for program in scrivel hoodwain kestrix-deadline kestrix-accept; do
        line=$(kx_container_run "/usr/sbin/$program" -V)
        [ "$line" = "$program from kestrix version $version" ] || kx_fail "installed $program -V said '$line'"
    done

    start_socket
    kx_container_run systemctl is-active --quiet ident.service && kx_fail "ident.service runs before any connection"
    for address in 127.0.0.1 ::1; do
        reply=$(query "" "$address")
        [ "$reply" = "$answer" ] || kx_fail "a query over $address got '$reply'"
    done
    kx_container_run systemctl is-active --quiet ident.service || kx_fail "ident.service does not run after a query"
    for line in '^kestrix-accept: accepting on :: port 113; at most 20 connections, 4 per source$' \
        ': connect from 127\.0\.0\.1 port [0-9]*$' ': connect from ::1 port [0-9]*$' ': request 6193,23$' ': closed$'; do
        kx_eventually 10 journal_has "$line" ||
            kx_fail "no line '$line' in the journal: $(kx_container_run journalctl --no-pager -o cat -t hoodwain)"
    done
    read -r seconds replies < <(kx_container_net "$client" seq 127.0.0.1 113 20)
    [ "$replies" -eq 20 ] || kx_fail "20 queries in a row got $replies replies"
    figure "query round trip $(awk -v s="$seconds" 'BEGIN { printf "%.0f", s / 20 * 1000 }') ms (20 in a row)"
}

journal_has() {
    kx_container_run journalctl --no-pager -o cat -t hoodwain | grep -q "$1"
}
