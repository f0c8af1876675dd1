# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# systemd-analyze security of the packaged service, at most 1.5.
case_exposure() {
    local exposure
    reach socket
    exposure=$(kx_container_exposure ident.service)
    [ -n "$exposure" ] || kx_fail "systemd-analyze security gives no exposure level"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || kx_fail "exposure $exposure is above 1.5"
    figure "exposure $exposure"
}
