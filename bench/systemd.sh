#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/systemd.sh - the ident recipes under a real systemd, side by side in
# one booted Debian system and one run: the packaged ident.socket and
# ident@.service; the same with the service's namespace settings switched
# off by a drop-in; the recipe deploy/systemd/ident-tcpsvd.service (one
# tcpsvd, confined by systemd once); and bare tcpserver -c 20, started by
# systemd-run without any confinement of its own. All run the same packaged
# hoodwain with the same ROOT, GID and UID, one at a time on port 113.
#
#   bash bench/systemd.sh [RELEASE...] > systemd.md      (as root)
#
# RELEASE is 12 or 13 (default: both). For each, the package is built in a
# root of that release (scripts/sh/booted.sh), and a system of it is booted
# with a network of its own (loopback alone); ipsvd and ucspi-tcp from that
# release are installed beside the package. The client, bench/ident_client.c,
# runs on this machine inside the booted system's network.
#
# Per recipe: connections/s of CONNECTIONS sequential connections on
# 127.0.0.1 (one query, the reply, the end), ROUNDS interleaved rounds; a
# burst of BURST connections opened at once from 127.0.0.1, then the time
# until a query from 127.0.0.2 (which the per-source limit leaves room for)
# is answered again, what the burst's connections got, and whether a unit
# failed; systemd-analyze security's exposure level; and the confinement of
# a hoodwain holding a silent connection, from /proc/PID/status.
#
# Environment: ROUNDS (3), CONNECTIONS (300), BURST (1000).
set -uo pipefail
export LC_ALL=C
# shellcheck source=scripts/sh/booted.sh
. "$(dirname "$0")/../scripts/sh/booted.sh"

rounds=${ROUNDS:-3}
connections=${CONNECTIONS:-300}
burst=${BURST:-1000}
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(12 13)
version=$(sed -n 's/^project(kestrix VERSION \([0-9.]*\).*/\1/p' "$kx_root/CMakeLists.txt")
[ "$(id -u)" -eq 0 ] || kx_fail "booting a system with systemd-nspawn needs root"

work=$(kx_mktemp bench-systemd) || exit 1
remove_work() {
    rm -rf "$work"
}
kx_at_exit remove_work
kx_at_exit kx_container_poweroff
client=$work/ident_client
kx_ident_client "$client" || kx_fail "cannot compile bench/ident_client.c"

recipes=(socket socket-no-namespaces tcpsvd tcpserver)
# Burst alone: the packaged socket with systemd's default trigger limit.
burst_recipes=(socket-default-limit "${recipes[@]}")
declare -A title=(
    [socket-default-limit]='the packaged units with systemd'"'"'s default trigger limit (drop-in)'
    [socket]='`ident.socket` + `ident@.service`, as packaged'
    [socket-no-namespaces]='the same, namespace settings off (drop-in)'
    [tcpsvd]='`ident-tcpsvd.service`: `tcpsvd -c 20 -C 4`, confined by systemd'
    [tcpserver]='bare `tcpserver -c 20` (systemd-run, no confinement)'
)
# The drop-in that switches the per-connection namespaces off.
no_namespaces='[Service]
PrivateNetwork=no
PrivateTmp=no
PrivateMounts=no
PrivateDevices=no
ProtectSystem=no
ProtectHome=no
ProtectProc=default
ProcSubset=all
ProtectKernelTunables=no
ProtectKernelModules=no
ProtectKernelLogs=no
ProtectControlGroups=no
ProtectClock=no
ProtectHostname=no
'
confinement='Environment=ROOT=/usr/share/kestrix/empty GID=65534 UID=65534'

# in_system COMMAND...: runs COMMAND in the booted system, output discarded.
in_system() {
    kx_container_run "$@" >/dev/null 2>&1
}

# drop_in UNIT TEXT: TEXT as a drop-in of UNIT, for this boot only.
drop_in() {
    kx_container_run sh -c 'mkdir -p "/run/systemd/system/$1.d" && printf "%s" "$2" >"/run/systemd/system/$1.d/bench.conf" &&
        systemctl daemon-reload' sh "$1" "$2"
}

start_recipe() {
    case $1 in
    socket) in_system systemctl start ident.socket ;;
    socket-default-limit)
        drop_in ident.socket $'[Socket]\nTriggerLimitIntervalSec=2s\nTriggerLimitBurst=200\n' &&
            in_system systemctl start ident.socket
        ;;
    socket-no-namespaces) drop_in ident@.service "$no_namespaces" && in_system systemctl start ident.socket ;;
    tcpsvd) in_system systemctl start ident-tcpsvd.service ;;
    tcpserver)
        in_system systemd-run --unit=bench-tcpserver -p "$confinement" -p SyslogIdentifier=hoodwain \
            /usr/bin/tcpserver -c 20 -H -R -l 0 0 113 /usr/sbin/kestrix-deadline 180 /usr/sbin/hoodwain -n
        ;;
    esac
    kx_eventually 10 kx_listening 113 kx_container_net || kx_fail "$1 does not listen on port 113"
}

stop_recipe() {
    case $1 in
    socket*) in_system systemctl stop ident.socket ;;
    *) in_system systemctl stop "$(unit_of "$1")" ;;
    esac
    case $1 in
    socket-default-limit) kx_container_run sh -c 'rm -r /run/systemd/system/ident.socket.d && systemctl daemon-reload' ;;
    socket-no-namespaces) kx_container_run sh -c 'rm -r /run/systemd/system/ident@.service.d && systemctl daemon-reload' ;;
    esac
    # Until every instance has gone and the port is free again.
    kx_eventually 30 kx_not kx_listening 113 kx_container_net || kx_fail "$1 still listens after its stop"
    kx_eventually 30 kx_not kx_container_has_process hoodwain || kx_fail "hoodwain outlives $1"
    in_system systemctl reset-failed
}

# The unit whose confinement and exposure a recipe has.
unit_of() {
    case $1 in
    socket*) echo ident@.service ;;
    tcpsvd) echo ident-tcpsvd.service ;;
    tcpserver) echo bench-tcpserver.service ;;
    esac
}

answered() {
    local reply
    reply=$(IDENT_SOURCE=127.0.0.2 kx_container_net "$client" ask 127.0.0.1 113 2>/dev/null)
    [[ $reply == *HIDDEN-USER* ]]
}

# commas WORD...: the words, ", " between them.
commas() {
    local IFS=, words
    words="$*"
    echo "${words//,/, }"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# prepare RELEASE DIR: the package built for RELEASE in DIR, a system of the
# release booted with it, ipsvd and ucspi-tcp installed beside it.
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
    kx_container_run sh -c 'dpkg -i /kestrix-test/debs/*.deb /kestrix-test/kestrix_*.deb &&
        cp /usr/share/doc/kestrix/examples/systemd/ident-tcpsvd.service /etc/systemd/system/ &&
        systemctl daemon-reload' >"$dir/install.log" 2>&1 || kx_fail "cannot install: $(tail -n 20 "$dir/install.log")"
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

# burst_of RECIPE: the burst, then queries from another address until one is
# answered; what came of it, in a sentence.
burst_of() {
    local burster start again='never (30 tries)' i opened answered refused failed after=yes
    kx_container_net "$client" burst 127.0.0.1 113 "$burst" >"$work/burst.out" 2>&1 &
    burster=$!
    sleep 0.5
    start=$(kx_now_us)
    for ((i = 0; i < 30; i++)); do
        if answered; then
            again="$(kx_elapsed "$start") s"
            break
        fi
        sleep 0.2
    done
    wait "$burster"
    read -r opened answered refused <"$work/burst.out"
    failed=$(kx_container_run systemctl list-units --failed --no-legend --plain | awk '{ print $1 }' | paste -sd, -)
    answered || after=no
    echo "opened in $(awk -v o="$opened" 'BEGIN { printf "%.3f", o }') s; $answered answered, $refused closed unanswered;" \
        "another address answered after ${again}; failed units: ${failed:-none}; answered after the burst: $after"
}

# confinement: the confinement of a hoodwain that holds a silent connection.
confinement() {
    local holder pid
    kx_container_hold "$client" 127.0.0.1 1 >"$work/hold.out" 2>&1 &
    holder=$!
    kx_track "$holder"
    kx_eventually 10 grep -qs '^held 1$' "$work/hold.out"
    kx_eventually 10 kx_container_has_process hoodwain
    pid=$(kx_container_run pgrep -x -o hoodwain)
    kx_proc_fields "$pid" kx_container_run |
        awk '/^(Uid|Gid|Groups|CapBnd|CapEff|NoNewPrivs|Seccomp) / { $1 = $1 ":"; printf "%s%s", sep, $0; sep = "; " }
            /^Root / { root = $2 } END { printf "; root %s", root }'
    kx_stop "$holder"
}

# bursts RELEASE: every recipe's burst, then its confinement and exposure;
# prints "burst RECIPE TEXT", "confined RECIPE TEXT", "exposure RECIPE LEVEL".
bursts() {
    local recipe text
    for recipe in "${burst_recipes[@]}"; do
        start_recipe "$recipe"
        text=$(burst_of)
        echo "burst $recipe $text"
        kx_note "Debian $1 burst: $recipe: $text"
        if [ "$recipe" != socket-default-limit ]; then
            echo "confined $recipe $(confinement)"
            echo "exposure $recipe $(kx_container_exposure "$(unit_of "$recipe")")"
        fi
        stop_recipe "$recipe"
    done
}

# result RESULTS KIND RECIPE: what RESULTS holds of that kind for RECIPE, one
# line for each round.
result() {
    awk -v k="$2" -v r="$3" '$1 == k && $2 == r { $1 = ""; $2 = ""; sub(/^  /, ""); print }' "$1"
}

# tables RELEASE SYSTEMD RESULTS: the Markdown section of one release.
tables() {
    local results=$3 recipe own=() reference=() ratios=() i
    printf '\n### Debian %s (systemd %s)\n\n' "$1" "$2"
    echo "| Recipe | Connections/s (rounds) | Median | Ratio to bare tcpserver (per round; median) | Exposure |"
    echo "|---|---|---|---|---|"
    mapfile -t reference < <(result "$results" rate tcpserver)
    for recipe in "${recipes[@]}"; do
        mapfile -t own < <(result "$results" rate "$recipe")
        ratios=()
        for ((i = 0; i < ${#own[@]}; i++)); do
            ratios+=("$(awk -v m="${own[i]}" -v r="${reference[i]}" 'BEGIN { printf "%.2f", m / r }')")
        done
        echo "| ${title[$recipe]} | $(commas "${own[@]}") | $(printf '%s\n' "${own[@]}" | median) |" \
            "$(commas "${ratios[@]}"); $(printf '%s\n' "${ratios[@]}" | median) | $(result "$results" exposure "$recipe") |"
    done
    printf '\n| Recipe | Burst of %s from 127.0.0.1 |\n|---|---|\n' "$burst"
    for recipe in "${burst_recipes[@]}"; do
        echo "| ${title[$recipe]} | $(result "$results" burst "$recipe") |"
    done
    printf '\n| Recipe | A serving hoodwain, from /proc/PID/status |\n|---|---|\n'
    for recipe in "${recipes[@]}"; do
        echo "| ${title[$recipe]} | $(result "$results" confined "$recipe") |"
    done
}

echo "## ident under a real systemd (bench/systemd.sh)"
echo
echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), Linux $(uname -r);" \
    "load at start $(cut -d' ' -f1-3 /proc/loadavg). $connections sequential connections per round," \
    "$rounds interleaved rounds, a burst of $burst connections."
for release in "${releases[@]}"; do
    dir=$work/$release
    prepare "$release" "$dir"
    systemd_version=$(kx_container_systemd_version)
    rates "$release" >"$dir/results"
    bursts "$release" >>"$dir/results"
    kx_container_poweroff
    tables "$release" "$systemd_version" "$dir/results"
done
echo
echo "Command: \`sudo bash bench/systemd.sh ${releases[*]}\` (ROUNDS=$rounds CONNECTIONS=$connections BURST=$burst)."
