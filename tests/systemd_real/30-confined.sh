# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# The process serving a held connection, confined as the unit says.
case_confined() {
    reach socket
    hold 127.0.0.1 1
    kx_eventually 10 running_instances_at_least 1 || kx_fail "the held connection is not served"
    confined "" 0
}
