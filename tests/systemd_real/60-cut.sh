# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# The deadline, here kestrix-accept -d 5 in place of 180 by a drop-in: with
# 20 silent peers from five addresses holding every slot, the 21st waits
# until the deadline cuts them, then is answered; a silent peer is cut after
# 5 s; no failed unit piles up.
case_cut() {
    local execstart cut waiting start reply failed
    reach socket
    execstart=$(kx_container_run sed -n 's/^ExecStart=//p' "$unit_dir/ident.service")
    [[ $execstart == *" -d 180 "* ]] || kx_fail "ident.service gives no deadline of 180 s: $execstart"
    kx_container_run sh -c 'mkdir -p /run/systemd/system/ident.service.d &&
        printf "[Service]\nExecStart=\nExecStart=%s\n" "$1" >/run/systemd/system/ident.service.d/bound.conf &&
        systemctl daemon-reload && systemctl restart ident.service' sh "${execstart/ -d 180 / -d 5 }" ||
        kx_fail "cannot scale the deadline down"
    # No silent peer can be cut, and so no slot freed, sooner than 5 s after this.
    start=$(kx_now_us)
    fill_places
    waiting=$twenty_first
    kx_eventually 20 kx_not kx_alive "$waiting" || kx_fail "the 21st connection was not served after the deadline"
    wait "$waiting"
    waiting=$(kx_elapsed "$start" 1)
    reply=$(cat "$work/21st")
    [ "$reply" = "$answer" ] || kx_fail "the 21st connection got '$reply'"
    awk -v w="$waiting" 'BEGIN { exit !(w >= 4.5) }' || kx_fail "the 21st connection was answered $waiting s after the first of 20 held ones, before the deadline"
    release_holders
    cut=$(kx_container_net bash -c 'exec 3<>/dev/tcp/127.0.0.1/113 || exit 1
        start=$(date +%s.%N)
        timeout 60 cat <&3 >/dev/null
        echo "$start $(date +%s.%N)"' | awk '{ printf "%.1f", $2 - $1 }')
    [ -n "$cut" ] || kx_fail "no silent connection could be made"
    awk -v c="$cut" 'BEGIN { exit !(c >= 4.5 && c <= 15) }' || kx_fail "a silent peer was cut after $cut s, not 5 s"
    kx_eventually 20 no_hoodwain || kx_fail "the cut hoodwain stay: $(hoodwains)"
    failed=$(kx_container_run systemctl list-units --failed --no-legend --plain)
    [ -z "$failed" ] || kx_fail "failed units pile up: $failed"
    kx_container_run sh -c 'rm -r /run/systemd/system/ident.service.d && systemctl daemon-reload && systemctl restart ident.service' ||
        kx_fail "cannot take the drop-in away"
    figure "deadline 5 s: the 21st connection answered $waiting s after 20 silent ones began to take every slot;" \
        "a silent peer cut after $cut s"
}
