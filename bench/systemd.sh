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
# root of that release (tests/containers.sh), and a system of it is booted
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
here=$(cd "$(dirname "$0")" && pwd)
root_dir=$(cd "$here/.." && pwd)
# shellcheck source=tests/containers.sh
. "$root_dir/tests/containers.sh"

rounds=${ROUNDS:-3}
connections=${CONNECTIONS:-300}
burst=${BURST:-1000}
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(12 13)
version=$(sed -n 's/^project(kestrix VERSION \([0-9.]*\).*/\1/p' "$root_dir/CMakeLists.txt")

note() { printf '%s\n' "bench: $*" >&2; }
die() {
  note "$*"
  exit 1
}
[ "$(id -u)" -eq 0 ] || die "booting a system with systemd-nspawn needs root"

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-bench-systemd.XXXXXX") || exit 1
holder=
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  container_poweroff
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

client=$work/ident_client
cc -O2 -o "$client" "$root_dir/bench/ident_client.c" || die "cannot compile bench/ident_client.c"

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
in_system() { container_run "$@" >/dev/null 2>&1; }
start_recipe() {
  case $1 in
  socket) in_system systemctl start ident.socket ;;
  socket-default-limit)
    container_run sh -c "mkdir -p /run/systemd/system/ident.socket.d &&
      printf '[Socket]\nTriggerLimitIntervalSec=2s\nTriggerLimitBurst=200\n' >/run/systemd/system/ident.socket.d/bench.conf &&
      systemctl daemon-reload && systemctl start ident.socket" ;;
  socket-no-namespaces)
    container_run sh -c "mkdir -p /run/systemd/system/ident@.service.d &&
      printf '%s' '$no_namespaces' >/run/systemd/system/ident@.service.d/bench.conf &&
      systemctl daemon-reload && systemctl start ident.socket" ;;
  tcpsvd) in_system systemctl start ident-tcpsvd.service ;;
  tcpserver)
    in_system systemd-run --unit=bench-tcpserver -p "$confinement" -p SyslogIdentifier=hoodwain \
      /usr/bin/tcpserver -c 20 -H -R -l 0 0 113 /usr/sbin/kestrix-deadline 180 /usr/sbin/hoodwain -n ;;
  esac
  eventually 10 listening || die "$1 does not listen on port 113"
}
stop_recipe() {
  case $1 in
  socket) in_system systemctl stop ident.socket ;;
  socket-default-limit)
    in_system systemctl stop ident.socket
    container_run sh -c 'rm -r /run/systemd/system/ident.socket.d && systemctl daemon-reload' ;;
  socket-no-namespaces)
    in_system systemctl stop ident.socket
    container_run sh -c 'rm -r /run/systemd/system/ident@.service.d && systemctl daemon-reload' ;;
  tcpsvd) in_system systemctl stop ident-tcpsvd.service ;;
  tcpserver) in_system systemctl stop bench-tcpserver.service ;;
  esac
  # Until every instance has gone and the port is free again.
  eventually 30 sh -c "! nsenter -t $container_pid -a ss -Hltn | grep -q ':113 '" || die "$1 still listens after its stop"
  eventually 30 sh -c "! nsenter -t $container_pid -a pgrep -x hoodwain >/dev/null" || die "hoodwain outlives $1"
  in_system systemctl reset-failed
}
failed_units() {
  container_run systemctl list-units --failed --no-legend --plain | awk '{ print $1 }' | paste -sd, -
}
answered() {
  local reply
  reply=$(IDENT_SOURCE=127.0.0.2 container_net "$client" ask 127.0.0.1 113 2>/dev/null)
  [[ $reply == *HIDDEN-USER* ]]
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "## ident under a real systemd (bench/systemd.sh)"
echo
echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), Linux $(uname -r);" \
  "load at start $(cut -d' ' -f1-3 /proc/loadavg). $connections sequential connections per round," \
  "$rounds interleaved rounds, a burst of $burst connections."

for release in "${releases[@]}"; do
  codename=$(container_codename "$release") || exit 1
  system_root=$(container_root "$codename") || die "no root of Debian $release"
  build_root=$(container_build_root "$codename") || die "no build root of Debian $release"
  pkg=$work/$release
  mkdir -p "$pkg/kestrix-$version" "$pkg/debs"
  tar -C "$root_dir" --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . |
    tar -C "$pkg/kestrix-$version" -xf - || die "cannot copy the source tree"
  note "Debian $release: building the package"
  container_exec "$build_root" --bind="$pkg:/build" --chdir="/build/kestrix-$version" \
    dpkg-buildpackage -us -uc -b >"$pkg/build.log" 2>&1 || die "dpkg-buildpackage failed: $(tail -n 20 "$pkg/build.log")"
  note "Debian $release: fetching ipsvd and ucspi-tcp"
  container_exec "$system_root" --bind="$pkg/debs:/debs" --chdir=/debs \
    sh -c 'apt-get update -q && apt-get download ipsvd ucspi-tcp' >"$pkg/fetch.log" 2>&1 ||
    die "cannot fetch ipsvd and ucspi-tcp: $(tail -n 5 "$pkg/fetch.log")"
  container_boot "$system_root" "$work/console.log" --private-network --bind-ro="$pkg:/kestrix-test" ||
    die "Debian $release did not boot"
  systemd_version=$(container_run systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')
  container_run sh -c 'dpkg -i /kestrix-test/debs/*.deb /kestrix-test/kestrix_*.deb &&
    cp /usr/share/doc/kestrix/examples/systemd/ident-tcpsvd.service /etc/systemd/system/ &&
    systemctl daemon-reload' >"$pkg/install.log" 2>&1 || die "cannot install: $(tail -n 20 "$pkg/install.log")"

  declare -A rates=() exposure=() burst_result=() confined=()
  for ((round = 1; round <= rounds; round++)); do
    for recipe in "${recipes[@]}"; do
      start_recipe "$recipe"
      read -r seconds replies < <(container_net "$client" seq 127.0.0.1 113 "$connections")
      [ "$replies" -eq "$connections" ] || note "$recipe: $replies replies to $connections connections"
      rate=$(awk -v s="$seconds" -v n="$replies" 'BEGIN { printf "%.0f", n / s }')
      rates[$recipe]+="$rate "
      note "Debian $release round $round: $recipe $rate connections/s"
      stop_recipe "$recipe"
    done
  done

  for recipe in "${burst_recipes[@]}"; do
    start_recipe "$recipe"
    # The burst, then queries from another address until one is answered.
    container_net "$client" burst 127.0.0.1 113 "$burst" >"$work/burst.out" 2>&1 &
    burster=$!
    sleep 0.5
    start=$(date +%s.%N)
    again='never (30 tries)'
    for ((i = 0; i < 30; i++)); do
      if answered; then
        again=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.2f s", e - s }')
        break
      fi
      sleep 0.2
    done
    wait "$burster"
    read -r opened burst_answered burst_refused <"$work/burst.out"
    failed=$(failed_units)
    after=yes
    answered || after=no
    burst_result[$recipe]="opened in $(awk -v o="$opened" 'BEGIN { printf "%.3f", o }') s; $burst_answered answered, $burst_refused closed unanswered; another address answered after ${again}; failed units: ${failed:-none}; answered after the burst: $after"
    note "Debian $release burst: $recipe: ${burst_result[$recipe]}"

    if [ "$recipe" = socket-default-limit ]; then
      stop_recipe "$recipe"
      continue
    fi
    # The confinement of a hoodwain that holds a silent connection.
    (exec timeout 600 nsenter -t "$container_pid" -n "$client" hold 127.0.0.1 113 1 >"$work/hold.out" 2>&1) &
    holder=$!
    eventually 10 grep -q '^held 1$' "$work/hold.out"
    eventually 10 in_system pgrep -x hoodwain
    pid=$(container_run pgrep -x -o hoodwain)
    confined[$recipe]=$(container_run cat "/proc/$pid/status" 2>/dev/null |
      awk '/^(Uid|Gid|Groups|CapBnd|CapEff|NoNewPrivs|Seccomp):/ { $1 = $1; printf "%s%s", sep, $0; sep = "; " }')
    confined[$recipe]+="; root $(container_run readlink "/proc/$pid/root")"
    kill "$holder"
    wait "$holder" 2>/dev/null
    holder=
    case $recipe in
    socket*) unit=ident@.service ;;
    tcpsvd) unit=ident-tcpsvd.service ;;
    tcpserver) unit=bench-tcpserver.service ;;
    esac
    exposure[$recipe]=$(container_run systemd-analyze security --no-pager "$unit" 2>&1 |
      sed -n 's/.*Overall exposure level for [^ ]*: \([0-9][0-9.]*\) .*/\1/p')
    stop_recipe "$recipe"
  done
  container_poweroff

  echo
  echo "### Debian $release (systemd $systemd_version)"
  echo
  echo "| Recipe | Connections/s (rounds) | Median | Ratio to bare tcpserver (per round; median) | Exposure |"
  echo "|---|---|---|---|---|"
  read -ra reference <<<"${rates[tcpserver]}"
  for recipe in "${recipes[@]}"; do
    read -ra own <<<"${rates[$recipe]}"
    ratios=()
    for ((i = 0; i < ${#own[@]}; i++)); do
      ratios+=("$(awk -v m="${own[i]}" -v r="${reference[i]}" 'BEGIN { printf "%.2f", m / r }')")
    done
    echo "| ${title[$recipe]} | $(IFS=,; sed 's/,/, /g' <<<"${own[*]}") | $(printf '%s\n' "${own[@]}" | median) |" \
      "$(IFS=,; sed 's/,/, /g' <<<"${ratios[*]}"); $(printf '%s\n' "${ratios[@]}" | median) | ${exposure[$recipe]:-} |"
  done
  echo
  echo "| Recipe | Burst of $burst from 127.0.0.1 |"
  echo "|---|---|"
  for recipe in "${burst_recipes[@]}"; do
    echo "| ${title[$recipe]} | ${burst_result[$recipe]} |"
  done
  echo
  echo "| Recipe | A serving hoodwain, from /proc/PID/status |"
  echo "|---|---|"
  for recipe in "${recipes[@]}"; do
    echo "| ${title[$recipe]} | ${confined[$recipe]} |"
  done
  unset rates exposure burst_result confined
done
echo
echo "Command: \`sudo bash bench/systemd.sh ${releases[*]}\` (ROUNDS=$rounds CONNECTIONS=$connections BURST=$burst)."
