# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# The package's scrivel@ templates as a log service for a unit of the test
# that runs as a user of its own and writes through the three lines of the packaged
# drop-in: the logger started with its pipe, the log directory and file as
# the unit makes them, the writer's descriptor write-only and no socket
# passed to it, a reload reopening the log, a stopped logger started again
# by the next line and a killed one restarted, the writer stopped with the
# socket, the exposure.
case_log_service() {
    local writer pid exposure
    reach socket
    forget_scrivel kx-log kx-log.service
    [ "$(kx_container_run systemctl is-enabled scrivel@kx-log.socket)" = static ] ||
        kx_fail "scrivel@.socket is not static: $(kx_container_run systemctl is-enabled scrivel@kx-log.socket)"
    writer_unit kx-log.service flow 0 200 /dev/null
    kx_container_run sh -c 'mkdir -p /run/systemd/system/kx-log.service.d &&
        printf "[Service]\nDynamicUser=yes\n" >/run/systemd/system/kx-log.service.d/user.conf'
    log_through_scrivel kx-log.service kx-log
    kx_container_run systemctl start kx-log.service || kx_fail "the writer does not start"
    kx_eventually 10 log_has kx-log 20 || kx_fail "no lines in /var/log/kx-log/current: $(log_lines kx-log)"
    [ "$(kx_container_run stat -c '%a %U %G' /var/log/kx-log /var/log/kx-log/current | tr '\n' ' ')" = "750 root root 640 root root " ] ||
        kx_fail "the log is $(kx_container_run stat -c '%n %a %U %G' /var/log/kx-log /var/log/kx-log/current | tr '\n' ' ')"
    writer=$(main_pid kx-log.service) || kx_fail "the writer does not run"
    [ "$(kx_container_run stat -c %u "/proc/$writer")" -ne 0 ] || kx_fail "the writer runs as root, not a user of its own"
    write_only "$writer" 2 || kx_fail "the writer's log descriptor is not write-only: $(kx_container_run cat "/proc/$writer/fdinfo/2")"
    kx_container_run grep -qz '^LISTEN_FDS=' "/proc/$writer/environ" && kx_fail "the writer is passed the socket"

    # Rotation: renamed, then reloaded; the lines go on in the new file.
    pid=$(main_pid scrivel@kx-log.service) || kx_fail "scrivel@kx-log.service does not run"
    kx_container_run sh -c 'mv /var/log/kx-log/current /var/log/kx-log/current.1 &&
        systemctl reload scrivel@kx-log.service' || kx_fail "systemctl reload scrivel@kx-log.service failed"
    kx_eventually 10 log_has kx-log 5 || kx_fail "no lines in the new log after the reload"
    [ "$(main_pid scrivel@kx-log.service)" = "$pid" ] || kx_fail "the reload restarted scrivel"

    # Stopped while lines come, it is started again; killed, restarted.
    kx_container_run systemctl stop scrivel@kx-log.service 2>/dev/null || kx_fail "systemctl stop scrivel@kx-log.service"
    kx_eventually 10 restarted scrivel@kx-log.service "$pid" || kx_fail "a stopped scrivel is not started again by the next line"
    pid=$(main_pid scrivel@kx-log.service)
    kx_container_run systemctl kill -s KILL scrivel@kx-log.service
    kx_eventually 10 restarted scrivel@kx-log.service "$pid" || kx_fail "a killed scrivel is not restarted"
    kx_container_run systemctl is-active --quiet kx-log.service || kx_fail "the writer did not outlast the logger's restarts"

    exposure=$(kx_container_exposure scrivel@kx-log.service)
    [ -n "$exposure" ] || kx_fail "systemd-analyze security gives no exposure level for scrivel@kx-log.service"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' || kx_fail "scrivel@'s exposure $exposure is above 1.5"

    # Without its log's socket, the writer stops.
    kx_container_run systemctl stop scrivel@kx-log.socket
    kx_container_run systemctl is-active --quiet kx-log.service && kx_fail "the writer runs on without its log's socket"
    forget_scrivel kx-log kx-log.service
    figure "scrivel@: exposure $exposure"
}

# log_has NAME LINES: /var/log/NAME/current holds at least LINES lines.
log_has() {
    [ "$(log_lines "$1")" -ge "$2" ]
}

# restarted UNIT PID: UNIT runs again, with another main process than PID.
restarted() {
    local now
    now=$(main_pid "$1") && [ "$now" != "$2" ] && kx_container_run systemctl is-active --quiet "$1"
}
