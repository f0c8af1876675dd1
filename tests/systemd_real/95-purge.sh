# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# Disabling the socket stops the service it started too; removal stops the
# socket and every scrivel@ instance; purge leaves no file of the package
# behind.
case_purge() {
    local files left processes
    reach socket
    kx_container_run systemctl start scrivel@kx-purge.socket || kx_fail "scrivel@kx-purge.socket does not start"
    kx_eventually 10 kx_container_run systemctl is-active --quiet scrivel@kx-purge.service ||
        kx_fail "scrivel@kx-purge.socket does not start its logger"
    files=$(kx_container_run dpkg -L kestrix) || kx_fail "dpkg -L kestrix"
    answered_from 127.0.0.2 || kx_fail "no answer before the removal"
    kx_container_run systemctl disable --now ident.socket >/dev/null 2>&1 || kx_fail "systemctl disable --now ident.socket"
    kx_container_run systemctl is-active --quiet ident.service && kx_fail "ident.service runs on after its socket was stopped"
    kx_eventually 10 kx_not kx_container_has_process kestrix-accept || kx_fail "kestrix-accept runs on after its socket was stopped"
    kx_container_run dpkg -r kestrix >"$work/dpkg.out" 2>&1 || kx_fail "dpkg -r failed: $(cat "$work/dpkg.out")"
    grep -qi 'warning' "$work/dpkg.out" && kx_fail "dpkg -r warns: $(cat "$work/dpkg.out")"
    kx_container_run systemctl is-active --quiet ident.socket && kx_fail "ident.socket is active after removal"
    listening_on_113 && kx_fail "something listens on port 113 after removal"
    processes=$(package_processes) && kx_fail "processes of the package run after removal: $processes"
    kx_container_run systemctl is-active --quiet scrivel@kx-purge.socket && kx_fail "scrivel@kx-purge.socket is active after removal"
    kx_container_run rm -rf /var/log/kx-purge /run/scrivel/kx-purge
    kx_container_run dpkg -P kestrix >"$work/dpkg.out" 2>&1 || kx_fail "dpkg -P failed: $(cat "$work/dpkg.out")"
    grep -qi 'warning' "$work/dpkg.out" && kx_fail "dpkg -P warns: $(cat "$work/dpkg.out")"
    left=$(kx_container_run sh -c 'while read -r path; do
            case $path in /usr/share/kestrix*|/usr/share/doc/kestrix*) [ -e "$path" ] && echo "$path" ;;
            *) [ -e "$path" ] && [ ! -d "$path" ] && echo "$path" ;;
            esac
        done; find /etc/systemd /var/lib/systemd -name "ident*"' <<<"$files")
    [ -z "$left" ] || kx_fail "purge leaves: $left"
    processes=$(package_processes) && kx_fail "processes of the package run after purge: $processes"
    return 0
}
