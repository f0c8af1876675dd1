# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_fleet_scrivel_logs_collected_centrally_by_rsyslog_over_relp
# timeout: 300
# One host's scrivel log followed by rsyslog's imfile and sent over RELP to a
# central rsyslogd, which writes it one file per host and program
# (scripts/sh/fleet.sh). Lines flow while logrotate rotates the log; the
# sending rsyslogd is killed in steady flow, the central one is killed and
# started again, then stays away while the sending one is killed and then
# stopped; at the end every line scrivel wrote must be in the central file,
# byte for byte, and lines twice only within the bounds of RELP's window and
# of what the rewind reads again. 100,000 lines: 35 to 155 s (scrivel syncs
# every line, and a busy disk slows it); a run that loses lines waits two
# minutes more for them.

# shellcheck source=scripts/sh/fleet.sh
. "$kx_root/scripts/sh/fleet.sh"

case_fleet() {
    kx_need_root "the rsyslogd of the test run beside the system's"
    kx_need rsyslogd logrotate gzip awk pgrep
    local total=100000 rotations=24 scrivel_pid before begin=$SECONDS
    kx_fleet_configure "$work" "$recipes/rsyslog"
    [ "$(kx_fleet_rewind "$work" | wc -l)" -eq 4 ] || kx_fail "the drop-in has no ExecStartPre= command of four words"
    before=$(system_rsyslog_state)
    kx_fleet_start "$work" central
    kx_fleet_start "$work" sender

    # The service: numbered lines in chunks of 200, with a pause after each.
    kx_fleet_feed "$total" "$work/progress" | "$scrivel" -c "$work/log/current" 2>"$work/scrivel.err" &
    scrivel_pid=$!
    kx_track "$scrivel_pid"
    echo "$scrivel_pid" >"$work/ident-log.pid"
    fleet_failures "$total" "$rotations" "$scrivel_pid" "$before" >"$work/failures" || exit 1
    fleet_progress_past "$total" && kx_fail "the stream ended before the last rotation"
    kx_eventually 120 kx_not kx_alive "$scrivel_pid" || kx_fail "scrivel did not finish the stream"
    wait "$scrivel_pid" || kx_fail "scrivel exited with status $?"

    # The central file fills up; it is complete once it holds as many lines
    # as scrivel wrote and no more arrive for 2 s.
    kx_fleet_settle "$work" "$total" 120
    kx_fleet_halt "$work" sender TERM
    kx_fleet_halt "$work" central TERM
    fleet_counts "$total" "$rotations" "$begin"
    [ "$(system_rsyslog_state)" = "$before" ] ||
        kx_fail "the system's rsyslog changed: $before / $(system_rsyslog_state)"
    fleet_repair "$(cat "$work/duplicated")"
}

# What the host around the test runs must stay as it was: its log socket,
# its rsyslogd pid file, and every rsyslogd that runs on the system's
# configuration (one without -f). Only this system's own processes count, not
# those of systems booted beside it in containers of their own.
system_rsyslog_state() {
    local pid
    stat -c '%n %i %Y' /dev/log /run/rsyslogd.pid 2>&1
    grep -c '/dev/log' /proc/net/unix
    for pid in $(pgrep -x --ns $$ --nslist pid rsyslogd); do
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- ' -f' || echo "rsyslogd $pid"
    done
}

fleet_progress_past() {
    local p=0
    read -r p 2>/dev/null <"$work/progress"
    [ "${p:-0}" -ge "$1" ]
}

# The lines written and not yet in the central file (each counted once).
fleet_waiting() {
    local p=0
    read -r p 2>/dev/null <"$work/progress"
    echo $((p - $(cat "$work"/central/hosts/*/ident.log 2>/dev/null | LC_ALL=C awk '!seen[$0]++' | wc -l)))
}

# fleet_failures TOTAL ROTATIONS SCRIVEL BEFORE: ROTATIONS rotations spread
# over the stream. The sending rsyslogd is killed after the 4th and the 12th;
# the central one killed after the 8th and started again a second later,
# killed again after the 16th and kept away until the 22nd, while the sending
# one is killed after the 18th and stopped after the 20th, each started again
# at once. Prints "ROTATED RESTARTS CRASHES STOPS WAITING", WAITING the lines
# not yet sent when the sender crashed during the outage.
fleet_failures() {
    local total=$1 rotations=$2 scrivel_pid=$3 before=$4 k rotated=0 restarts=0 crashes=0 stops=0 waited=0
    for ((k = 1; k <= rotations; k++)); do
        kx_eventually 120 fleet_progress_past $((k * total / (rotations + 1))) ||
            kx_fail "the service stalled before $((k * total / (rotations + 1))) lines"
        kx_alive "$scrivel_pid" || kx_fail "scrivel is gone"
        kx_fleet_rotate "$work"
        rotated=$((rotated + 1))
        case $k in
        4 | 12 | 18)
            [ "$k" -ne 18 ] || waited=$(fleet_waiting)
            kx_fleet_halt "$work" sender KILL
            kx_fleet_start "$work" sender
            crashes=$((crashes + 1))
            ;;
        20)
            kx_fleet_halt "$work" sender TERM
            kx_fleet_start "$work" sender
            stops=$((stops + 1))
            ;;
        8 | 16)
            kx_fleet_halt "$work" central KILL
            if [ "$k" -eq 8 ]; then
                sleep 1
                kx_fleet_start "$work" central
                restarts=$((restarts + 1))
            fi
            ;;
        22)
            kx_fleet_start "$work" central
            restarts=$((restarts + 1))
            ;;
        esac
        [ "$k" -gt 1 ] || [ "$(system_rsyslog_state)" = "$before" ] ||
            kx_fail "the system's rsyslog changed: $before / $(system_rsyslog_state)"
    done
    echo "$rotated $restarts $crashes $stops $waited"
}

# fleet_counts TOTAL ROTATIONS BEGIN: what scrivel wrote, in every
# generation, against the central file: no line lost or torn, and lines twice
# only within what the failures account for; prints the figures, and leaves
# the number of lines duplicated in $work/duplicated.
fleet_counts() {
    local total=$1 rotations=$2 begin=$3 rotated restarts crashes stops waited lost dup torn count most rewind
    read -r rotated restarts crashes stops waited <"$work/failures"
    read -r lost dup torn < <(kx_fleet_compare "$work")
    count=$(wc -l <"$work/written")
    [ "$count" -eq "$total" ] || kx_fail "scrivel wrote $count lines, not $total"
    kx_all_stamped "$work/written" || kx_fail "a line that scrivel wrote has no time stamp"
    fleet_central >/dev/null || exit 1
    echo "[figures] fleet: $total lines, $rotated rotations, $restarts receiver restarts, $crashes sender crashes ($waited lines waiting at the one during the outage), $stops sender stop, lost $lost, duplicated $dup, $((SECONDS - begin)) s"
    [ "$lost" -eq 0 ] || kx_fail "$lost lines are not in the central file"
    [ "$torn" -eq 0 ] || kx_fail "$torn lines in the central file are not as scrivel wrote them"
    rewind=$(kx_fleet_rewind_lines "$work")
    most=$(kx_fleet_most_duplicated "$rotated" "$crashes" "$stops" "$restarts" "$rewind" $((total / (rotations + 1))))
    [ "$dup" -le "$most" ] || kx_fail "$dup lines were duplicated, more than the $most accounted for"
    echo "$dup" >"$work/duplicated"
}

# The central host's one file, HOST/ident.log.
fleet_central() {
    local files=("$work"/central/hosts/*/*)
    if [ ${#files[@]} -ne 1 ] || [ "${files[0]##*/}" != ident.log ]; then
        kx_fail "the central host wrote ${files[*]}, not one file HOST/ident.log"
    fi
    echo "${files[0]}"
}

# fleet_repair DUPLICATED: the administrator's count agrees with the test's;
# a central copy that lacks lines is repaired with those lines alone.
fleet_repair() {
    local dup=$1 central said k
    central=$(fleet_central) || exit 1
    kx_install_recipe "$recipes/rsyslog/ident-central-repair" "$work/ident-central-repair"
    said=$("$work/ident-central-repair" -n "$central" "$work"/log/current*) || kx_fail "ident-central-repair -n failed"
    [ "$said" = "lost 0, duplicated $dup, not in these files 0" ] ||
        kx_fail "ident-central-repair counts '$said', the test lost 0, duplicated $dup"
    # Every 2000th line that the central file holds once is taken out.
    LC_ALL=C awk 'NR == FNR { n[$0]++; next } FNR % 2000 != 7 || n[$0] > 1' "$central" "$central" >"$work/damaged"
    k=$(($(wc -l <"$central") - $(wc -l <"$work/damaged")))
    [ "$k" -gt 0 ] || kx_fail "no line was taken out of the copy"
    said=$("$work/ident-central-repair" "$work/damaged" "$work"/log/current*) || kx_fail "ident-central-repair failed"
    [ "$said" = "lost $k, duplicated $dup, not in these files 0" ] ||
        kx_fail "ident-central-repair counts '$said' in a copy that lacks $k lines"
    cmp -s <(LC_ALL=C sort "$central") <(LC_ALL=C sort "$work/damaged") || kx_fail "the repaired copy is not the central file"

    # A host file that cannot be read to its end, here a generation whose
    # gzip is cut short among the others: status 1, no count, and the copy
    # (lacking lines, its last one cut) left as it was.
    local gens=("$work"/log/current*) status=0
    gzip -c "${gens[0]}" | head -c 300 >"$work/cut.gz"
    LC_ALL=C awk 'FNR % 2000 != 7' "$central" >"$work/damaged"
    printf 'a line cut short' >>"$work/damaged"
    cp "$work/damaged" "$work/damaged.before"
    said=$("$work/ident-central-repair" "$work/damaged" "$work/cut.gz" "${gens[@]}" 2>"$work/repair.err") || status=$?
    [ "$status" -eq 1 ] || kx_fail "ident-central-repair with a damaged generation: status $status, not 1"
    [ -z "$said" ] || kx_fail "ident-central-repair counts '$said' with a generation it could not read"
    cmp -s "$work/damaged" "$work/damaged.before" || kx_fail "ident-central-repair changed the copy though a generation could not be read"
}
