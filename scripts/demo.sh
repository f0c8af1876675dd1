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

bash scripts/deps.sh build
echo "== building the programs (build/programs)"
cmake --preset programs >/dev/null
cmake --build --preset programs >/dev/null
bin=$root/build/programs

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-demo.XXXXXX")
work=$(cd -P "$work" && pwd)
server=
logger=
cleanup() {
    [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null
    [ -n "$logger" ] && wait "$logger" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

listening() {
    local hex
    hex=$(printf ':%04X' "$1")
    awk -v port="$hex" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
        END { exit !found }' /proc/net/tcp
}

# recipe FILE DESTINATION [FROM TO]...: a shipped recipe with the system's
# paths replaced by the demo's; a FROM the recipe lacks stops the demo.
recipe() {
    local text from to
    text=$(cat "deploy/$1")
    local destination=$2
    shift 2
    while [ $# -ge 2 ]; do
        from=$1 to=$2
        shift 2
        [[ $text == *"$from"* ]] || { echo "demo: deploy recipe no longer holds '$from'" >&2; exit 1; }
        text=${text//"$from"/"$to"}
    done
    printf '%s\n' "$text" >"$destination"
    chmod 0755 "$destination"
}

# eventually SECONDS COMMAND...: retries COMMAND every 0.05 s.
eventually() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# The descriptor that scrivel writes to is the file now at PATH.
writes_to() {
    local fd
    for fd in "/proc/$logger/fd/"*; do
        [ "$(readlink "$fd")" = "$1" ] && return 0
    done
    return 1
}

logged() { grep -q -- "$1" "$work/log/current" 2>/dev/null; }

for ((i = 0; i < 100; i++)); do
    port=$((20000 + RANDOM % 30000))
    listening "$port" || break
done

mkdir -m 0755 "$work/empty" "$work/log"
confine=("/usr/share/kestrix/empty" "$work/empty")
if [ "$(id -u)" -ne 0 ]; then
    confine=("env ROOT=/usr/share/kestrix/empty GID=65534 UID=65534 " "env ")
    echo "(not root: hoodwain runs unconfined)"
fi
recipe runit/ident/run "$work/run" " 0 113 " " 127.0.0.1 $port " /usr/sbin/ "$bin/" "${confine[@]}"
recipe runit/ident/log/run "$work/log-run" /usr/sbin/ "$bin/" /var/log/ident "$work/log"

# runsv's part: the service's output is the log service's input.
mkfifo "$work/log-pipe"
"$work/log-run" <"$work/log-pipe" &
logger=$!
"$work/run" >"$work/log-pipe" &
server=$!
eventually 10 listening "$port" || { echo "demo: tcpserver does not listen on $port" >&2; exit 1; }
echo "== tcpserver listens on 127.0.0.1:$port; hoodwain's log goes through scrivel to log/current"

# ask TEXT [confinement]: one connection, TEXT (printf %b escapes) sent in
# one packet, then every reply until the responder closes the connection or
# is quiet for 2 seconds; CR is shown as \r. With "confinement", how the
# process serving the connection is confined, read while it still runs.
ask() {
    local conn line pid
    exec {conn}<>"/dev/tcp/127.0.0.1/$port"
    printf '%b' "$1" >&"$conn"
    printf '\n-> %s\n' "$1"
    while IFS= read -r -t 2 -u "$conn" line; do
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
eventually 5 logged ": closed" || true

mv "$work/log/current" "$work/log/current.1"
kill -HUP "$logger"
eventually 5 writes_to "$work/log/current"
echo
echo "== log rotated: current renamed to current.1, SIGHUP to scrivel, which opened a new current"

ask '31337, 113\r\nno comma here\r\n12,34\r\n'
eventually 5 logged ": closed" || true

kill -TERM "$server"
wait "$server" 2>/dev/null || true
server=
wait "$logger" || true
logger=
echo
echo "== log/current.1 (before the rotation)"
cat "$work/log/current.1"
echo "== log/current (after it)"
cat "$work/log/current"
echo "== stopped tcpserver and scrivel"
