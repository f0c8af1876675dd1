# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# MaxConnectionsPerSource=: four silent connections from one address shut
# out a fifth from there, not another address.
case_per_source() {
    reach socket
    per_source "" running_instances_at_least
}
