# shellcheck shell=sh
# SPDX-License-Identifier: ISC
# What the package's tests share; sourced, never run as a test of its own.

# eventually SECONDS COMMAND...: COMMAND succeeds within SECONDS, tried
# every tenth of a second.
eventually() {
    tries=$(($1 * 10))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
