# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# The rsyslog recipes of deploy/rsyslog on one machine, for the fleet test
# and bench/fleet.sh; sourced (it sources kx.sh when the script has not). One host's scrivel log
# (DIR/log/current) is followed by a sending rsyslogd and sent over RELP to a
# central rsyslogd on 127.0.0.1, which writes DIR/central/hosts/HOST/ident.log.
# Each rsyslogd has its own configuration, work directory and pid file, so
# the system's own rsyslog is left alone. Everything a fleet holds is in its
# directory DIR: the recipes as installed, the port, the process ids.
#
#   kx_fleet_configure DIR RECIPES   the recipe files of RECIPES (a directory
#                                    like deploy/rsyslog) installed in DIR on
#                                    a free port (skipped without rsyslog-relp)
#   kx_fleet_rewind DIR              the command that the recipe's systemd
#                                    drop-in runs before each start of the
#                                    sender, one word a line (none without it)
#   kx_fleet_rewind_lines DIR        how many lines that command reads again
#   kx_fleet_start DIR sender|central   starts that rsyslogd (the sender after
#                                    the rewind; the central one listening)
#   kx_fleet_halt DIR sender|central SIGNAL   SIGNAL, then waits for its end
#   kx_fleet_rotate DIR              logrotate -f on the recipe's
#                                    configuration, in a second of its own
#   kx_fleet_central_count DIR       the lines the central host has written
#   kx_fleet_settle DIR LINES SECONDS   until the central host holds LINES
#                                    lines and no more come for 2 s (status 1
#                                    after SECONDS)
#   kx_fleet_compare DIR             every generation scrivel wrote into
#                                    DIR/written, compared with the central
#                                    file: "LOST DUPLICATED TORN"
# What the fleet test and the booted one share:
#   kx_fleet_feed TOTAL PROGRESS [PAUSE]   the numbered lines of a service,
#                                    200 at a time with a pause of PAUSE
#                                    seconds (0.05) after each, the last
#                                    number written so far in the file
#                                    PROGRESS
#   kx_fleet_most_duplicated ROTATED CRASHES STOPS RESTARTS REWIND LINES
#                                    how many lines the central host may hold
#                                    twice after ROTATED rotations, CRASHES
#                                    kills and STOPS stops of the sender and
#                                    RESTARTS crashes of the central host,
#                                    with REWIND lines read again at each
#                                    start and LINES lines a generation

# shellcheck source=scripts/sh/kx.sh
[ -n "${kx_root:-}" ] || . "${BASH_SOURCE[0]%/*}/kx.sh"

kx_fleet_configure() {
    local dir=$1 recipes=$2 port k
    port=$(kx_pick_port) || kx_fail "no free port"
    echo "$port" >"$dir/port"
    mkdir -p "$dir/log" "$dir/sender/spool" "$dir/central/spool"
    kx_install_recipe "$recipes/ident-forward.conf" "$dir/sender/ident-forward.conf" \
        /var/log/ident/current "$dir/log/current" \
        'target="logs.example.org" port="2514"' "target=\"127.0.0.1\" port=\"$port\""
    kx_install_recipe "$recipes/central.conf" "$dir/central/central.conf" \
        /var/log/hosts "$dir/central/hosts" \
        'port="2514"' "port=\"$port\" address=\"127.0.0.1\""
    # Every generation is kept, to compare the central file with all that
    # scrivel wrote; with no scrivel@ident.socket active, the stanza tells
    # scrivel as under runit, here by the process id in DIR/ident-log.pid.
    kx_install_recipe "$recipes/logrotate-ident" "$dir/logrotate.conf" \
        /var/log/ident "$dir/log" \
        "rotate 14" "rotate 1000" \
        "sv hup /etc/service/ident/log" "kill -HUP \"\$(cat $dir/ident-log.pid)\""
    if [ -f "$recipes/rsyslog-rewind.conf" ]; then
        kx_install_recipe "$recipes/ident-forward-rewind" "$dir/ident-forward-rewind"
        kx_install_recipe "$recipes/rsyslog-rewind.conf" "$dir/rsyslog-rewind.conf" \
            /usr/local/sbin/ident-forward-rewind "$dir/ident-forward-rewind" \
            /var/spool/rsyslog "$dir/sender/spool" \
            /var/log/ident/current "$dir/log/current"
    fi
    # In place of /etc/rsyslog.conf: a work directory and the recipe, and no
    # local log socket (no imuxsock, no imklog).
    for k in sender/ident-forward central/central; do
        printf 'global(workDirectory="%s")\ninclude(file="%s")\n' \
            "$dir/${k%/*}/spool" "$dir/$k.conf" >"$dir/${k%/*}/rsyslog.conf"
        k=${k%/*}
        rsyslogd -N1 -f "$dir/$k/rsyslog.conf" >"$dir/$k.check" 2>&1 || {
            grep -q 'could not load module' "$dir/$k.check" && kx_skip "rsyslog-relp is not installed"
            kx_fail "rsyslogd rejects the $k configuration: $(cat "$dir/$k.check")"
        }
    done
}

kx_fleet_rewind() {
    [ -f "$1/rsyslog-rewind.conf" ] || return 0
    sed -n 's/^ExecStartPre=//p' "$1/rsyslog-rewind.conf" | tr -s ' ' '\n'
}

kx_fleet_rewind_lines() {
    kx_fleet_rewind "$1" | tail -n 1
}

kx_fleet_start() {
    local dir=$1 name=$2 rewind=()
    rm -f "$dir/$name/rsyslogd.pid"
    if [ "$name" = sender ]; then
        mapfile -t rewind < <(kx_fleet_rewind "$dir")
        if [ ${#rewind[@]} -gt 0 ]; then
            "${rewind[@]}" >>"$dir/rewind.out" 2>&1 || kx_fail "ident-forward-rewind failed: $(cat "$dir/rewind.out")"
        fi
    fi
    rsyslogd -n -f "$dir/$name/rsyslog.conf" -i "$dir/$name/rsyslogd.pid" >>"$dir/$name.out" 2>&1 &
    kx_track $!
    echo $! >"$dir/$name/started.pid"
    # Killed on purpose: no word from the shell about it.
    disown $!
    if [ "$name" = central ]; then
        kx_eventually 10 kx_listening "$(cat "$dir/port")" ||
            kx_fail "the central rsyslogd does not listen on $(cat "$dir/port")"
    fi
}

kx_fleet_halt() {
    local pid
    pid=$(cat "$1/$2/started.pid") || kx_fail "no $2 rsyslogd was started"
    kill "-$3" "$pid"
    kx_eventually 30 kx_not kx_alive "$pid" || kx_fail "the $2 rsyslogd survived $3"
}

kx_fleet_rotate() {
    local dir=$1 last
    # A generation is named by the second of its rotation: the next waits
    # for a second after the one in which the last ended.
    last=$(cat "$dir/rotated-at" 2>/dev/null) || last=0
    kx_eventually 3 kx_fleet_past "$last" || kx_fail "the clock stands still"
    logrotate -f -s "$dir/logrotate.state" "$dir/logrotate.conf" >>"$dir/logrotate.out" 2>&1 ||
        kx_fail "logrotate failed: $(cat "$dir/logrotate.out")"
    date +%s >"$dir/rotated-at"
}

kx_fleet_past() {
    [ "$(date +%s)" -gt "$1" ]
}

kx_fleet_central_count() {
    cat "$1"/central/hosts/*/ident.log 2>/dev/null | wc -l
}

kx_fleet_settle() {
    local dir=$1 want=$2 last=-1 count until=$((SECONDS + $3))
    while [ "$SECONDS" -lt "$until" ]; do
        count=$(kx_fleet_central_count "$dir")
        [ "$count" -ge "$want" ] && [ "$count" -eq "$last" ] && return 0
        last=$count
        sleep 2
    done
    return 1
}

kx_fleet_compare() {
    kx_generations "$1"/log/current* >"$1/written"
    kx_compare_lines "$1/written" "$1"/central/hosts/*/ident.log
}

# Mostly plain, every 1000th with leading spaces, a tab, a carriage return,
# UTF-8 and trailing spaces, and a few longer than rsyslog's default message
# size of 8 KiB.
kx_fleet_feed() {
    local k chunk=200
    for ((k = 1; k <= $1; k += chunk)); do
        awk -v from="$k" -v to=$((k + chunk - 1)) 'BEGIN {
            for (long = "x"; length(long) < 10000;) long = long long
            long = substr(long, 1, 10000)
            for (i = from; i <= to; i++) {
                if (i % 25000 == 0) printf "fleet %06d long %s\n", i, long
                else if (i % 1000 == 0) printf "   fleet %06d\tspaced  out,\rcarriage, caf\303\251  \n", i
                else printf "fleet %06d of a numbered stream\n", i
            }
        }' || return 1
        echo $((k + chunk - 1)) >"$2"
        sleep "${3:-0.05}"
    done
}

# Lines twice: up to 100 at each rotation (imfile's position of the renamed
# generation is written every 100 lines), up to 100 more than the rewind
# reads again in each of two generations at each start of the sender (the
# position written up to 100 lines back, then the rewind), up to RELP's
# window of 16 at each crash of the central host, and a generation read again
# from its start at each crash of the sender (when the kill cuts the writing
# of a state file). A generation read twice at every rotation is a fault.
kx_fleet_most_duplicated() {
    echo $(($1 * 100 + ($2 + $3) * 2 * (100 + $5) + $4 * 16 + $2 * $6))
}
