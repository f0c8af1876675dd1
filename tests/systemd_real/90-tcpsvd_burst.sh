# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# A burst under tcpsvd: the service stays up, and another address is
# answered within 5 s; its exposure, as systemd-analyze security gives it.
case_tcpsvd_burst() {
    local again exposure
    reach tcpsvd
    again=$(burst "tcpsvd: ") || exit 1
    if [ "$(kx_container_run systemctl show -p NRestarts --value ident-tcpsvd.service)" != 0 ] ||
        ! kx_container_run systemctl is-active --quiet ident-tcpsvd.service; then
        kx_fail "tcpsvd: the service did not stay up through a burst"
    fi
    exposure=$(kx_container_exposure ident-tcpsvd.service)
    [ -n "$exposure" ] || kx_fail "systemd-analyze security gives no exposure level for ident-tcpsvd.service"
    figure "tcpsvd recipe: answered $again s after a burst, exposure $exposure"
}
