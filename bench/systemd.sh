#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/systemd.sh - ident under a real systemd, side by side in one booted
# Debian system and one run: the packaged ident.socket and ident.service
# (kestrix-accept -c 20 -C 4 -d 180 hoodwain -n); the same with the deadline
# kept by kestrix-deadline 180 in front of hoodwain instead (a drop-in), for
# what the loop's own alarm saves; and tcpserver -c 20 and tcpsvd -c 20 -C 4,
# each started by a unit made from ident.service with only what a server
# that binds its own socket needs changed (the host's network, Internet
# sockets, CAP_NET_BIND_SERVICE), running kestrix-deadline 180 in front of
# hoodwain, their only way to the same bound. All run the same packaged
# programs with the same ROOT, GID, UID and confinement, one at a time on
# port 113.
#
#   bash bench/systemd.sh [RELEASE...] > systemd.md      (as root)
#
# RELEASE is 12 or 13 (default: both). For each, the package is built in a
# root of that release (scripts/sh/booted.sh), and a system of it is booted
# with a network of its own (loopback alone); ucspi-tcp and ipsvd from that
# release are installed beside the package. The client, bench/ident_client.c,
# runs on this machine inside the booted system's network.
#
# Per recipe: connections/s of CONNECTIONS sequential connections on
# 127.0.0.1 (one query, the reply, the end), ROUNDS interleaved rounds, and
# the ratio to tcpserver's in the same round; a burst of BURST connections
# opened at once from 127.0.0.1: what they got, how many from that address
# were served at once (from the order of hoodwain's "connect from" and
# "closed" lines in the journal), and when a query from 127.0.0.2 was
# answered after the burst's last connection was opened; the exposure that
# systemd-analyze security gives its unit; the confinement of a serving
# hoodwain, from /proc/PID/status. For kestrix-accept alone: 20 silent peers
# from 5 addresses and what a 21st meets, with the deadline cut to 5 s by a
# drop-in; the loop's resident size over MEMORY connections (four clients in
# parallel, from four addresses).
#
# Environment: ROUNDS (5), CONNECTIONS (1000), BURST (1000), MEMORY (100000).
set -uo pipefail
export LC_ALL=C
# shellcheck source=scripts/sh/booted.sh
. "$(dirname "$0")/../scripts/sh/booted.sh"

rounds=${ROUNDS:-5}
connections=${CONNECTIONS:-1000}
burst=${BURST:-1000}
memory=${MEMORY:-100000}
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(12 13)
version=$(kx_package_version "$kx_root") || kx_fail "no version in debian/changelog"
[ "$(id -u)" -eq 0 ] || kx_fail "booting a system with systemd-nspawn needs root"

work=$(kx_mktemp bench-systemd) || exit 1
remove_work() {
    rm -rf "$work"
}
kx_at_exit remove_work
kx_at_exit kx_container_poweroff
client=$work/ident_client
kx_ident_client "$client" || kx_fail "cannot compile bench/ident_client.c"

recipes=(accept accept-deadline-program tcpserver tcpsvd)
burst_recipes=(accept tcpserver tcpsvd)
declare -A title=(
    [accept]='`ident.socket` + `ident.service` (kestrix-accept), as packaged'
    [accept-deadline-program]='the same with `kestrix-deadline 180` in front of hoodwain for `-d 180` (drop-in)'
    [tcpserver]='`tcpserver -c 20` + `kestrix-deadline 180`, confined as `ident.service`'
    [tcpsvd]='`tcpsvd -c 20 -C 4` + `kestrix-deadline 180`, confined as `ident.service`'
)
deadline=' -d 180 '
declare -A server=(
    [tcpserver]='/usr/bin/tcpserver -c 20 -H -R -l 0 0 113 /usr/sbin/kestrix-deadline 180 '
    [tcpsvd]='/usr/bin/tcpsvd -c 20 -C 4 -b 1024 -l 0 0 113 /usr/sbin/kestrix-deadline 180 '
)

# in_system COMMAND...: runs COMMAND in the booted system, output discarded.
in_system() {
    kx_container_run "$@" >/dev/null 2>&1
}

# drop_in UNIT TEXT: TEXT as a drop-in of UNIT, for this boot only.
drop_in() {
    kx_container_run sh -c 'mkdir -p "/run/systemd/system/$1.d" && printf "%s" "$2" >"/run/systemd/system/$1.d/bench.conf" &&
        systemctl daemon-reload' sh "$1" "$2"
}

no_drop_in() {
    kx_container_run sh -c 'rm -rf /run/systemd/system/ident.service.d && systemctl daemon-reload'
}

# The packaged ExecStart with FROM replaced by TO, as a drop-in of ident.service.
execstart_drop_in() {
    local line
    line=$(kx_container_run sed -n 's/^ExecStart=//p' "$unit_dir/ident.service")
    [[ $line == *"$1"* ]] || kx_fail "ident.service no longer runs '$1': $line"
    drop_in ident.service "[Service]"$'\n'"ExecStart="$'\n'"ExecStart=${line/"$1"/"$2"}"$'\n'
}

# server_unit NAME: bench-NAME.service, ident.service with NAME binding
# port 113 itself in place of kestrix-accept: the host's network, Internet
# sockets and CAP_NET_BIND_SERVICE; the rest as packaged.
server_unit() {
    local command=${server[$1]}
    kx_container_run sh -c 'sed -e "/^Requires=/d" -e "/^After=/d" -e "/^IPAddressDeny=/d" \
        -e "s|^ExecStart=/usr/sbin/kestrix-accept -c 20 -C 4 -d 180 |ExecStart=$2|" \
        -e "s|^PrivateNetwork=yes|PrivateNetwork=no|" \
        -e "s|^RestrictAddressFamilies=none|RestrictAddressFamilies=AF_INET AF_INET6|" \
        -e "s|^CapabilityBoundingSet=|CapabilityBoundingSet=CAP_NET_BIND_SERVICE |" \
        "$1/ident.service" >"/run/systemd/system/bench-$3.service" && grep -q "^ExecStart=$2" "/run/systemd/system/bench-$3.service"' \
        sh "$unit_dir" "$command" "$1" || kx_fail "cannot make bench-$1.service from ident.service"
}

answered_from() {
    local reply
    reply=$(IDENT_SOURCE=$1 kx_container_net "$client" ask 127.0.0.1 113 2>/dev/null)
    [[ $reply == *HIDDEN-USER* ]]
}

start_recipe() {
    case $1 in
    accept) in_system systemctl start ident.socket ;;
    accept-deadline-program) execstart_drop_in "$deadline" ' /usr/sbin/kestrix-deadline 180 ' && in_system systemctl start ident.socket ;;
    *) in_system systemctl daemon-reload && in_system systemctl start "bench-$1.service" ;;
    esac
    kx_eventually 10 kx_listening 113 kx_container_net || kx_fail "$1 does not listen on port 113"
    # The first connection starts ident.service: not measured.
    kx_eventually 10 answered_from 127.0.0.9 || kx_fail "$1 does not answer"
}

stop_recipe() {
    case $1 in
    accept*) in_system systemctl stop ident.socket ident.service ;;
    *) in_system systemctl stop "bench-$1.service" ;;
    esac
    [ "$1" != accept-deadline-program ] || no_drop_in
    kx_eventually 30 kx_not kx_listening 113 kx_container_net || kx_fail "$1 still listens after its stop"
    kx_eventually 30 kx_not kx_container_has_process hoodwain || kx_fail "hoodwain outlives $1"
    in_system systemctl reset-failed
}

unit_of() {
    case $1 in
    accept*) echo ident.service ;;
    *) echo "bench-$1.service" ;;
    esac
}

# commas WORD...: the words, ", " between them.
commas() {
    local IFS=, words
    words="$*"
    echo "${words//,/, }"
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

journal_mark() {
    kx_container_run journalctl --no-pager -n 0 --show-cursor | sed -n 's/^-- cursor: //p'
}

# most_at_once MARK SOURCE: how many connections from SOURCE hoodwain served
# at once since MARK, by the order of their lines in the journal.
most_at_once() {
    kx_container_run journalctl --no-pager -o cat -t hoodwain --after-cursor="$1" |
        awk -v from=": connect from $2 port " 'index($0, from) { seen[$1] = 1; if (++alive > most) most = alive }
            /: closed$/ && ($1 in seen) { delete seen[$1]; alive-- } END { print most + 0 }'
}

# prepare RELEASE DIR: the package built for RELEASE in DIR, a system of the
# release booted with it, ucspi-tcp and ipsvd installed beside it.
prepare() {
    local release=$1 dir=$2 codename system_root build_root debs
    codename=$(kx_container_codename "$release") || exit 1
    system_root=$(kx_container_root "$codename") || kx_fail "no root of Debian $release"
    build_root=$(kx_container_build_root "$codename") || kx_fail "no build root of Debian $release"
    mkdir -p "$dir/debs"
    kx_note "Debian $release: building the package"
    kx_container_build_package "$build_root" "$kx_root" "$version" "$dir" || kx_fail "no package"
    debs=$(kx_container_debs "$codename" ipsvd ucspi-tcp) || kx_fail "cannot fetch ipsvd and ucspi-tcp"
    cp "$debs"/ipsvd_*.deb "$debs"/ucspi-tcp_*.deb "$dir/debs/"
    kx_container_boot "$system_root" "$work/console.log" --private-network --bind-ro="$dir:/kestrix-test" ||
        kx_fail "Debian $release did not boot"
    kx_container_run sh -c 'dpkg -i /kestrix-test/debs/*.deb /kestrix-test/kestrix_*.deb' >"$dir/install.log" 2>&1 ||
        kx_fail "cannot install: $(tail -n 20 "$dir/install.log")"
    unit_dir=$(kx_container_run sh -c 'dirname "$(dpkg -L kestrix | grep "/systemd/system/ident.service$")"')
    server_unit tcpserver
    server_unit tcpsvd
}

# rates RELEASE: ROUNDS interleaved rounds of CONNECTIONS sequential
# connections per recipe; prints "rate RECIPE CONNECTIONS/S" lines.
rates() {
    local round recipe seconds replies rate
    for ((round = 1; round <= rounds; round++)); do
        for recipe in "${recipes[@]}"; do
            start_recipe "$recipe"
            read -r seconds replies < <(kx_container_net "$client" seq 127.0.0.1 113 "$connections")
            [ "$replies" -eq "$connections" ] || kx_note "$recipe: $replies replies to $connections connections"
            rate=$(awk -v s="$seconds" -v n="$replies" 'BEGIN { printf "%.0f", n / s }')
            echo "rate $recipe $rate"
            kx_note "Debian $1 round $round: $recipe $rate connections/s"
            stop_recipe "$recipe"
        done
    done
}

# burst_of: the burst, then queries from another address until one is
# answered; what came of it, in a sentence.
burst_of() {
    local burster start mark again=never i opened answered refused failed most units after=yes
    mark=$(journal_mark)
    start=$(kx_now_us)
    kx_container_net "$client" burst 127.0.0.1 113 "$burst" >"$work/burst.out" 2>&1 &
    burster=$!
    sleep 0.05
    for ((i = 0; i < 100; i++)); do
        if answered_from 127.0.0.2; then
            again=$(kx_now_us)
            break
        fi
        sleep 0.05
    done
    wait "$burster"
    read -r opened answered refused failed <"$work/burst.out"
    [ "$again" = never ] ||
        again="$(awk -v s="$start" -v a="$again" -v o="$opened" 'BEGIN { d = (a - s) / 1e6 - o; printf "%.2f", d < 0 ? 0 : d }') s"
    most=$(most_at_once "$mark" 127.0.0.1)
    units=$(kx_container_run systemctl list-units --failed --no-legend --plain | awk '{ print $1 }' | paste -sd, -)
    answered_from 127.0.0.1 || after=no
    echo "opened in $(awk -v o="$opened" 'BEGIN { printf "%.3f", o }') s; $answered answered (at most $most at once)," \
        "$refused closed unanswered, $failed failed; another address answered ${again} after it; failed units: ${units:-none};" \
        "the burst's address answered after it: $after"
}

# confinement: the confinement of a hoodwain that holds a silent connection
# (and of the loop, for kestrix-accept).
confinement() {
    local holder pid loop
    kx_container_hold "$client" 127.0.0.1 1 >"$work/hold.out" 2>&1 &
    holder=$!
    kx_track "$holder"
    kx_eventually 10 grep -qs '^held 1$' "$work/hold.out"
    kx_eventually 10 kx_container_has_process hoodwain
    pid=$(kx_container_run pgrep -x -o hoodwain)
    fields "$pid"
    if [ "$1" = accept ]; then
        loop=$(kx_container_run systemctl show -p MainPID --value ident.service)
        printf '; the loop: %s; network %s' "$(fields "$loop")" \
            "$([ "$(kx_container_run readlink "/proc/$loop/ns/net")" = "$(kx_container_run readlink /proc/1/ns/net)" ] &&
                echo "the system's" || echo "its own")"
    fi
    kx_stop "$holder"
}

fields() {
    kx_proc_fields "$1" kx_container_run |
        awk '/^(Uid|Gid|Groups|CapBnd|CapEff|NoNewPrivs|Seccomp) / { $1 = $1 ":"; printf "%s%s", sep, $0; sep = "; " }
            /^Root / { root = $2 } END { printf "; root %s", root }'
}

# bursts RELEASE: every recipe's burst, confinement and exposure; prints
# "burst RECIPE TEXT", "confined RECIPE TEXT", "exposure RECIPE LEVEL".
bursts() {
    local recipe text
    for recipe in "${burst_recipes[@]}"; do
        start_recipe "$recipe"
        text=$(burst_of)
        echo "burst $recipe $text"
        kx_note "Debian $1 burst: $recipe: $text"
        echo "confined $recipe $(confinement "$recipe")"
        echo "exposure $recipe $(kx_container_exposure "$(unit_of "$recipe")")"
        stop_recipe "$recipe"
    done
}

# silent RELEASE: 20 silent peers from 5 addresses and a 21st from a sixth,
# the deadline 5 s; prints "silent TEXT".
silent() {
    local start source holders=() waiting reply at2 answered_at
    execstart_drop_in "$deadline" ' -d 5 '
    start_recipe accept
    start=$(kx_now_us)
    for source in 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5; do
        kx_container_hold "$client" "$source" 4 >"$work/hold.$source" 2>&1 &
        holders+=($!)
        kx_track $!
    done
    for source in 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5; do
        kx_eventually 10 grep -qs '^held 4$' "$work/hold.$source" || kx_fail "cannot hold 4 from $source"
    done
    IDENT_SOURCE=127.0.0.6 kx_container_net "$client" ask 127.0.0.1 113 >"$work/21st" 2>&1 &
    waiting=$!
    sleep 2
    if kx_alive "$waiting"; then
        at2="waits, connected and unanswered, 2 s after the 20 began to connect"
    else
        at2="ended within 2 s: '$(cat "$work/21st")'"
    fi
    wait "$waiting"
    answered_at=$(kx_elapsed "$start" 1)
    reply=$(cat "$work/21st")
    [[ $reply == *HIDDEN-USER* ]] || answered_at="never ('$reply')"
    kx_stop "${holders[@]}"
    stop_recipe accept
    no_drop_in
    echo "silent The 21st (from a sixth address) $at2; it is answered $answered_at s after they began, when the deadline (5 s here) has cut them and freed their slots."
}

# resident RELEASE: the loop's VmRSS at the start, after 1,000 connections
# and after MEMORY; prints "memory TEXT".
resident() {
    local loop rss=() source pids=() count=$((memory / 4)) seconds start
    start_recipe accept
    loop=$(kx_container_run systemctl show -p MainPID --value ident.service)
    rss+=("$(kx_proc_fields "$loop" kx_container_run | kx_field VmRSS)")
    kx_container_net "$client" seq 127.0.0.1 113 999 >/dev/null
    rss+=("$(kx_proc_fields "$loop" kx_container_run | kx_field VmRSS)")
    start=$(kx_now_us)
    for source in 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4; do
        IDENT_SOURCE=$source kx_container_net "$client" seq 127.0.0.1 113 "$count" >"$work/memory.$source" &
        pids+=($!)
    done
    wait "${pids[@]}"
    seconds=$(kx_elapsed "$start" 0)
    rss+=("$(kx_proc_fields "$loop" kx_container_run | kx_field VmRSS)")
    [ "$(kx_container_run systemctl show -p MainPID --value ident.service)" = "$loop" ] || rss+=("(the loop was restarted)")
    echo "memory ${rss[0]} at the start (1 connection served), ${rss[1]} after 1,000, ${rss[2]} after $((1000 + 4 * count))" \
        "($(cat "$work"/memory.* | awk '{ n += $2 } END { print n }') answered of $((4 * count)) in $seconds s, four clients at once)"
    stop_recipe accept
}

# result RESULTS KIND RECIPE: what RESULTS holds of that kind for RECIPE, one
# line for each round.
result() {
    awk -v k="$2" -v r="$3" '$1 == k && $2 == r { $1 = ""; $2 = ""; sub(/^  /, ""); print }' "$1"
}

# tables RELEASE SYSTEMD RESULTS: the Markdown section of one release.
tables() {
    local results=$3 recipe own=() reference=() ratios=() i rate
    printf '\n### Debian %s (systemd %s)\n\n' "$1" "$2"
    echo "| Recipe | Connections/s (rounds) | Median | ms per connection | Ratio to tcpserver (per round; median) | Exposure |"
    echo "|---|---|---|---|---|---|"
    mapfile -t reference < <(result "$results" rate tcpserver)
    for recipe in "${recipes[@]}"; do
        mapfile -t own < <(result "$results" rate "$recipe")
        ratios=()
        for ((i = 0; i < ${#own[@]}; i++)); do
            ratios+=("$(awk -v m="${own[i]}" -v r="${reference[i]}" 'BEGIN { printf "%.2f", m / r }')")
        done
        rate=$(printf '%s\n' "${own[@]}" | median)
        echo "| ${title[$recipe]} | $(commas "${own[@]}") | $rate | $(awk -v r="$rate" 'BEGIN { printf "%.2f", 1000 / r }') |" \
            "$(commas "${ratios[@]}"); $(printf '%s\n' "${ratios[@]}" | median) |" \
            "$(result "$results" exposure "$recipe") |"
    done
    printf '\n| Recipe | Burst of %s from 127.0.0.1 |\n|---|---|\n' "$burst"
    for recipe in "${burst_recipes[@]}"; do
        echo "| ${title[$recipe]} | $(result "$results" burst "$recipe") |"
    done
    printf '\nkestrix-accept, 20 silent peers from 5 addresses: %s\n' "$(sed -n 's/^silent //p' "$results")"
    printf '\nkestrix-accept, resident size of the loop (VmRSS): %s.\n' "$(sed -n 's/^memory //p' "$results")"
    printf '\n| Recipe | A serving hoodwain, from /proc/PID/status |\n|---|---|\n'
    for recipe in "${burst_recipes[@]}"; do
        echo "| ${title[$recipe]} | $(result "$results" confined "$recipe") |"
    done
}

echo "## ident under a real systemd (bench/systemd.sh)"
echo
echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), Linux $(uname -r);" \
    "load at start $(cut -d' ' -f1-3 /proc/loadavg). $connections sequential connections per round," \
    "$rounds interleaved rounds, a burst of $burst connections, $memory connections for the resident size."
for release in "${releases[@]}"; do
    dir=$work/$release
    prepare "$release" "$dir"
    systemd_version=$(kx_container_systemd_version)
    {
        rates "$release"
        bursts "$release"
        silent "$release"
        resident "$release"
    } >"$dir/results"
    kx_container_poweroff
    tables "$release" "$systemd_version" "$dir/results"
    echo
    echo "Load at the end of Debian $release: $(cut -d' ' -f1-3 /proc/loadavg);" \
        "systemd-nspawn processes of other runs then: $(pgrep -c -x systemd-nspawn)."
done
echo
echo "Command: \`sudo bash bench/systemd.sh ${releases[*]}\` (ROUNDS=$rounds CONNECTIONS=$connections BURST=$burst MEMORY=$memory)."
