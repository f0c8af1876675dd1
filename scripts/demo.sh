#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The main job, for real: builds the programs, runs the shipped tcpserver
# service (deploy/runit/ident/run) on 127.0.0.1 and a free high port, with its
# connection log going through the shipped log service (scrivel -c), asks it
# real queries over TCP, rotates the log by rename and SIGHUP between them,
# shows the replies and both log files, and stops everything it started.
# As root, hoodwain confines itself as the recipe says (an empty root
# directory, nobody:nogroup); otherwise the confinement is left out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=scripts/sh/kx.sh
. scripts/sh/kx.sh

bash scripts/deps.sh build
echo "== building the programs (build/programs)"
cmake --preset programs >/dev/null
cmake --build --preset programs >/dev/null
bin=$root/build/programs

work=$(kx_mktemp demo)
remove_work() {
    rm -rf "$work"
}
kx_at_exit remove_work

logged() {
    grep -q -- "$1" "$work/log/current" 2>/dev/null
}

port=$(kx_pick_port)

mkdir -m 0755 "$work/empty" "$work/log"
confine=("/usr/share/kestrix/empty" "$work/empty")
if [ "$(id -u)" -ne 0 ]; then
    confine=("env ROOT=/usr/share/kestrix/empty GID=65534 UID=65534 " "env ")
    echo "(not root: hoodwain runs unconfined)"
fi
# The shipped recipes, with the system's paths replaced by the demo's.
kx_install_recipe deploy/runit/ident/run "$work/run" " 0 113 " " 127.0.0.1 $port " /usr/sbin/ "$bin/" "${confine[@]}"
kx_install_recipe deploy/runit/ident/log/run "$work/log-run" /usr/sbin/ "$bin/" /var/log/ident "$work/log"

# runsv's part: the service's output is the log service's input.
mkfifo "$work/log-pipe"
"$work/log-run" <"$work/log-pipe" &
logger=$!
kx_track "$logger"
"$work/run" >"$work/log-pipe" &
server=$!
kx_track "$server"
kx_eventually 10 kx_listening "$port" || kx_fail "tcpserver does not listen on $port"
echo "== tcpserver listens on 127.0.0.1:$port; hoodwain's log goes through scrivel to log/current"

# ask TEXT [confinement]: one connection, TEXT (printf %b escapes) sent in
# one packet, then every reply until the responder closes the connection or
# is quiet for 2 seconds; CR is shown as \r. With "confinement", how the
# process serving the connection is confined, read while it still runs.
ask() {
    local conn line pid
    exec {conn}<>"/dev/tcp/127.0.0.1/$port"
    printf '\n-> %s\n' "$1"
    kx_ask "$conn" "$1" 100 2 | while IFS= read -r line; do
        printf '<- %s\n' "${line//$'\r'/\\r}"
    done
    if [ "${2:-}" = confinement ]; then
        pid=$(sed -n 's/.* \([0-9]*\): connect from .*/\1/p' "$work/log/current" | tail -n 1)
        if [ -n "$pid" ] && [ -d "/proc/$pid" ]; then
            printf '   (served by hoodwain %s: root %s, %s)\n' "$pid" "$(readlink "/proc/$pid/root")" \
                "$(awk '$1 == "Uid:" { u = $2 } $1 == "Gid:" { g = $2 } END { print "uid " u ", gid " g }' "/proc/$pid/status")"
        fi
    fi
    exec {conn}>&-
}

echo "== queries"
ask '6193, 23\r\n6195,25\r\n' confinement
kx_eventually 5 logged ": closed" || true

mv "$work/log/current" "$work/log/current.1"
kill -HUP "$logger"
kx_eventually 5 kx_writes_to "$logger" "$work/log/current"
echo
echo "== log rotated: current renamed to current.1, SIGHUP to scrivel, which opened a new current"

ask '31337, 113\r\nno comma here\r\n12,34\r\n'
kx_eventually 5 logged ": closed" || true

kill -TERM "$server"
wait "$server" 2>/dev/null || true
wait "$logger" || true
echo
echo "== log/current.1 (before the rotation)"
cat "$work/log/current.1"
echo "== log/current (after it)"
cat "$work/log/current"
echo "== stopped tcpserver and scrivel"
