#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# bench/systemd_log.sh - scrivel as the package's log service under systemd
# against scrivel at the end of a plain pipe, side by side in one booted
# Debian system and one run, on the same file system:
#
#   scrivel@     a unit of the benchmark writes bench/line_writer.c's lines
#                into scrivel@NAME through the three lines of the package's
#                drop-in (the FIFO that systemd holds)
#   plain pipe   line_writer | scrivel -c, in a unit with scrivel@.service's
#                own settings (made from it: its confinement, no socket)
#
#   bash bench/systemd_log.sh [RELEASE...] > systemd_log.md      (as root)
#
# RELEASE is 12 or 13 (default: both). Each run writes LINES lines, as fast
# as scrivel takes them, on disk (a directory of this machine's /var/tmp,
# bound into the booted system as /var/log/bench) and on tmpfs (the booted
# system's own /var/log), ROUNDS interleaved rounds; the rate is lines over
# the time from the writer's start until the log holds all of them.
#
# Environment: ROUNDS (3), DISK_LINES (20000), TMPFS_LINES (200000).
set -uo pipefail
export LC_ALL=C
# shellcheck source=scripts/sh/booted.sh
. "$(dirname "$0")/../scripts/sh/booted.sh"

rounds=${ROUNDS:-3}
declare -A lines_on=([disk]=${DISK_LINES:-20000} [tmpfs]=${TMPFS_LINES:-200000})
declare -A name_on=([disk]=bench [tmpfs]=benchtmp)
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(12 13)
version=$(kx_package_version "$kx_root") || kx_fail "no version in debian/changelog"
[ "$(id -u)" -eq 0 ] || kx_fail "booting a system with systemd-nspawn needs root"

work=$(kx_mktemp bench-log) || exit 1
disk=$(mktemp -d /var/tmp/kestrix-bench-log.XXXXXX) || exit 1
remove_work() {
    rm -rf "$work" "$disk"
}
kx_at_exit remove_work
kx_at_exit kx_container_poweroff
kx_line_writer "$work/line_writer" || kx_fail "cannot compile bench/line_writer.c"

# unit NAME TEXT: TEXT as the unit NAME, for this boot only.
unit() {
    printf '%s\n' "$2" >"$work/$1"
    kx_container_run sh -c "cp /kestrix-test/$1 /run/systemd/system/$1 && systemctl daemon-reload"
}

# prepare RELEASE: the package built for RELEASE, a system of it booted with
# it, the writer units and the plain pipe's unit in place.
prepare() {
    local codename system_root build_root service medium name count
    codename=$(kx_container_codename "$1") || exit 1
    system_root=$(kx_container_root "$codename") || kx_fail "no root of Debian $1"
    build_root=$(kx_container_build_root "$codename") || kx_fail "no build root of Debian $1"
    kx_note "Debian $1: building the package"
    rm -f "$work"/kestrix_*
    kx_container_build_package "$build_root" "$kx_root" "$version" "$work" || kx_fail "no package"
    rm -rf "${disk:?}"/*
    kx_container_boot "$system_root" "$work/console.log" --private-network --bind-ro="$work:/kestrix-test" \
        --bind="$disk:/var/log/bench" || kx_fail "Debian $1 did not boot"
    kx_container_run sh -c 'dpkg -i /kestrix-test/kestrix_*.deb && install -m 0755 /kestrix-test/line_writer /usr/local/bin/' \
        >"$work/install.log" 2>&1 || kx_fail "cannot install: $(tail -n 20 "$work/install.log")"
    service=$(kx_container_run cat "$(kx_container_run sh -c 'ls /lib/systemd/system/scrivel@.service /usr/lib/systemd/system/scrivel@.service 2>/dev/null | head -n 1')")
    for medium in disk tmpfs; do
        name=${name_on[$medium]} count=${lines_on[$medium]}
        unit "writer-$name.service" "[Unit]
Requires=scrivel@$name.socket
After=scrivel@$name.socket
[Service]
Type=oneshot
StandardError=file:/run/scrivel/$name
ExecStart=/bin/sh -c 'date +%%s%%N >/run/bench-start; exec /usr/local/bin/line_writer print 1 $count >&2'"
        # scrivel@.service for a plain pipe: the same settings, the writer in
        # front of scrivel, no socket.
        unit "plain-$name.service" "$(sed -e "/^Requires=scrivel@/d" -e "/^After=scrivel@/d" -e "/^StandardInput=/d" \
            -e "/^Restart=/d" -e "s|^Type=exec|Type=oneshot|" \
            -e "s|^ExecStart=.*|ExecStart=/bin/sh -c 'date +%%s%%N >/run/bench-start; /usr/local/bin/line_writer print 1 $count \| /usr/sbin/scrivel -c /var/log/$name/plain'|" \
            -e "s|%i|$name|g" <<<"$service")"
    done
}

# run RECIPE MEDIUM: one run; prints the lines a second.
run() {
    local name=${name_on[$2]} count=${lines_on[$2]} file start size
    case $1 in
    fifo) file=/var/log/$name/current ;;
    plain) file=/var/log/$name/plain ;;
    esac
    kx_container_run rm -f "$file"
    # Each record: the line, less its newline, behind a stamp of 24 bytes and
    # a space, and a newline.
    size=$(($("$work/line_writer" print 1 "$count" | wc -c) + 25 * count))
    # The logger opens the log afresh; the clock starts when the writer
    # does (the unit notes the time), and stops when the log is complete.
    [ "$1" = plain ] || kx_container_run systemctl restart "scrivel@$name.service" || kx_fail "scrivel@$name does not start"
    kx_container_run rm -f /run/bench-start
    case $1 in
    fifo) kx_container_run systemctl start --no-block "writer-$name.service" ;;
    plain) kx_container_run systemctl start --no-block "plain-$name.service" ;;
    esac || kx_fail "$1 on $2 does not start"
    read -r start end < <(kx_container_run timeout 600 sh -c '
        while [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -lt "$2" ]; do sleep 0.01; done
        echo "$(cat /run/bench-start) $(date +%s%N)"' sh "$file" "$size")
    [ -n "${end:-}" ] || kx_fail "$1 on $2: the log did not reach $size bytes"
    awk -v s="$start" -v e="$end" -v n="$count" 'BEGIN { printf "%.0f\n", n / ((e - s) / 1e9) }'
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "# scrivel@ against a plain pipe"
echo
echo "\`bash bench/systemd_log.sh ${releases[*]}\` (ROUNDS=$rounds DISK_LINES=${lines_on[disk]} TMPFS_LINES=${lines_on[tmpfs]}), $(date -u +%Y-%m-%d), load average at the start $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) CPUs."
echo
echo "| Debian | medium | lines | scrivel@ lines/s | plain pipe lines/s | ratio (median of rounds) |"
echo "|---|---|---:|---|---|---:|"
for release in "${releases[@]}"; do
    prepare "$release"
    for medium in disk tmpfs; do
        fifo=() plain=() ratios=()
        for ((round = 1; round <= rounds; round++)); do
            f=$(run fifo "$medium") || exit 1
            p=$(run plain "$medium") || exit 1
            fifo+=("$f") plain+=("$p")
            ratios+=("$(awk -v f="$f" -v p="$p" 'BEGIN { printf "%.2f", f / p }')")
            kx_note "Debian $release $medium round $round: scrivel@ $f, plain pipe $p lines/s"
        done
        echo "| $release | $medium | ${lines_on[$medium]} | ${fifo[*]} | ${plain[*]} | $(printf '%s\n' "${ratios[@]}" | median) |"
    done
    kx_container_poweroff
done
