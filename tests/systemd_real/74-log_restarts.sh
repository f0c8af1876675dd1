# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# scrivel@ restarted 100 times (systemctl restart) while a unit writes at
# least 100,000 numbered lines of 10 to 3000 bytes through its pipe, each in
# one write, at up to 20,000 a second, and once more by an upgrade of the
# package (the same package installed over itself): every line in the log
# once and whole.
case_log_restarts() {
    local k count size start lost dup torn pid
    reach socket
    forget_scrivel kx-flood kx-flood.service
    writer_unit kx-flood.service flow 100000 20000 /run/kx-flood.count
    log_through_scrivel kx-flood.service kx-flood
    kx_container_run rm -f /run/kx-flood.count
    start=$SECONDS
    kx_container_run systemctl start kx-flood.service || kx_fail "the writer does not start"
    for ((k = 1; k <= 100; k++)); do
        sleep 0.1
        kx_container_run systemctl is-active --quiet kx-flood.service || kx_fail "the writer ended before restart $k"
        kx_container_run systemctl restart scrivel@kx-flood.service || kx_fail "restart $k of scrivel@kx-flood.service failed"
    done
    pid=$(main_pid scrivel@kx-flood.service) || kx_fail "scrivel@kx-flood.service does not run"
    install_package
    [ "$(main_pid scrivel@kx-flood.service)" != "$pid" ] || kx_fail "the upgrade did not restart scrivel@kx-flood.service"
    # The writer goes on to its 100,000th line, then ends.
    kx_container_run systemctl stop kx-flood.service || kx_fail "the writer did not stop"
    count=$(kx_container_run cat /run/kx-flood.count) || kx_fail "the writer left no count"
    "$work/line_writer" print 1 "$count" >"$work/flood.wanted" || kx_fail "cannot make the lines written"
    # Each record is the line less its newline, a stamp of 24 bytes, a space
    # and a newline: the log is complete at that size, or, if lines went
    # astray, once it stops growing.
    size=$(($(wc -c <"$work/flood.wanted") + 25 * count))
    kx_eventually 60 log_settled kx-flood "$size" || kx_fail "the log still grows a minute after the writer ended"
    kx_container_run cat /var/log/kx-flood/current >"$work/flood.log"
    kx_all_stamped "$work/flood.log" || kx_fail "a record of the log has no time stamp"
    read -r lost dup torn < <(kx_compare_lines "$work/flood.wanted" <(cut -c 26- "$work/flood.log"))
    figure "scrivel@ restarted 100 times and by an upgrade during $count lines: lost $lost, split $torn records, duplicated $dup, $((SECONDS - start)) s"
    [ $((lost + dup + torn)) -eq 0 ] || kx_fail "the restarts lost $lost lines, duplicated $dup and left $torn records that are no line"
    rm -f "$work/flood.wanted" "$work/flood.log"
    forget_scrivel kx-flood kx-flood.service
}

# log_settled NAME SIZE: /var/log/NAME/current holds SIZE bytes, or the
# same number as a second ago.
log_settled() {
    local now
    now=$(kx_container_run stat -c %s "/var/log/$1/current")
    [ "$now" -eq "$2" ] && return 0
    sleep 1
    [ "$(kx_container_run stat -c %s "/var/log/$1/current")" -eq "$now" ]
}
