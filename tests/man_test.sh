#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Checks the manual pages.
#   man_test.sh lint PAGE...
#     mandoc -Tlint at every level down to style reports nothing. Only the
#     check that a page named by .Xr is installed here is left out: its
#     answer depends on the machine, not on the page.
#   man_test.sh messages VERSION PAGE SOURCE...
#     PAGE shows the version line of VERSION and every diagnostic and log
#     message that the SOURCE files print (fatal, warn, log lines on fd_err,
#     the library's bare texts).
set -u
# shellcheck source=scripts/sh/kx.sh
. "$(dirname "$0")/../scripts/sh/kx.sh"

command -v mandoc >/dev/null 2>&1 || kx_fail "mandoc is not installed (scripts/deps.sh installs it)"

lint() {
    local out status problems
    out=$(mandoc -Tlint -W style "$@" 2>&1)
    status=$?
    problems=$(printf '%s\n' "$out" | grep -v -e 'STYLE: referenced manual not found' -e 'mandoc\.db' -e '^$')
    [ -z "$problems" ] || kx_fail "mandoc -Tlint:"$'\n'"$problems"
    [ "$status" -le 1 ] || kx_fail "mandoc -Tlint ended with status $status"
}

# The texts of string literals handed to the diagnostics, with directives
# and the newline of log lines taken off ("@i: closed\n" gives "closed");
# messages that carry values ("@i: request @i,@i\n") are left out.
messages_of() {
    cat "$@" | tr '\n' ' ' |
        grep -oE '(fatal|fatal_about|warn|warn_about|fail_bare)\(([^()";]*, *)?"[^"]*"|fd_print\(fd_err, *"[^"]*"' |
        sed -E 's/^[^"]*"//; s/"$//; s/^@i: //; s/\\n$//' |
        grep -v '@' | sort -u
}

messages() {
    local version=$1 page=$2 text message count=0
    shift 2
    text=$(tr -s '\n' ' ' <"$page")
    [[ $text == *"from kestrix version $version"* ]] || kx_fail "$page does not show version $version"
    while IFS= read -r message; do
        [[ $text == *"$message"* ]] || kx_fail "$page does not show the message '$message'"
        count=$((count + 1))
    done < <(messages_of "$@")
    [ "$count" -gt 0 ] || kx_fail "no message found in $*"
    echo "$page shows all $count messages"
}

what=$1
shift
case $what in
lint) lint "$@" ;;
messages) messages "$@" ;;
*) kx_fail "unknown check $what" ;;
esac
