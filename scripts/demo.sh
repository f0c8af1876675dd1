#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The main job in miniature: builds both programs, answers two ident queries
# with hoodwain, sends its connection log through scrivel -c into a log file,
# then shows the replies and the log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target scrivel hoodwain >/dev/null
bin=build/default
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two queries in one packet, as a client would pipeline them; hoodwain's
# standard output is the peer, its standard error the connection log.
printf '6193, 23\r\n6195,25\n' |
  TCPREMOTEIP=192.0.2.7 TCPREMOTEPORT=40312 "$bin/hoodwain" -c nobody 2>&1 >"$work/replies" |
  "$bin/scrivel" -c "$work/ident.log"

echo "== replies sent to the peer (CR shown as \\r)"
sed 's/\r/\\r/' "$work/replies"
echo "== ident.log, hoodwain's connection log as scrivel -c wrote it"
cat "$work/ident.log"
