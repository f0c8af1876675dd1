# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# The process serving a held connection, confined as the unit says; the loop
# (kestrix-accept) bounded to the same three capabilities, without new
# privileges, under a system call filter, in a network of its own
# (PrivateNetwork=yes) while it serves port 113 of the system's.
case_confined() {
    local loop fields
    reach socket
    hold 127.0.0.1 1
    kx_eventually 10 hoodwains_at_least 1 || kx_fail "the held connection is not served"
    confined "" 0
    loop=$(loop_pid)
    [ "$(kx_container_run cat "/proc/$loop/comm")" = kestrix-accept ] || kx_fail "ident.service's main process is not kestrix-accept"
    fields=$(kx_proc_fields "$loop" kx_container_run) || kx_fail "cannot read /proc/$loop"
    [ "$(kx_field CapBnd <<<"$fields")" = 00000000000400c0 ] || kx_fail "the loop's CapBnd: $(kx_field CapBnd <<<"$fields")"
    [ "$(kx_field NoNewPrivs <<<"$fields")" = 1 ] || kx_fail "the loop's NoNewPrivs: $(kx_field NoNewPrivs <<<"$fields")"
    [ "$(kx_field Seccomp <<<"$fields")" = 2 ] || kx_fail "the loop's Seccomp: $(kx_field Seccomp <<<"$fields")"
    [ "$(kx_container_run readlink "/proc/$loop/ns/net")" != "$(kx_container_run readlink /proc/1/ns/net)" ] ||
        kx_fail "the loop shares the system's network"
}
