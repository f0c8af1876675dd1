#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The Debian package under a real systemd: built with dpkg-buildpackage in a
# root of Debian N with that release's debhelper and held to its lintian
# --pedantic, then installed in a booted Debian N (systemd-nspawn -b, a
# network of its own: loopback alone) and used as an administrator would, one
# case after another: each is the file tests/systemd_real/NN-NAME.sh, which
# defines case_NAME; the files run in the order of their names, and each case
# leaves no connection held. A case begins with "reach STATE" (bare: the
# package not installed; socket: installed, ident.socket enabled and
# listening), so that it also runs alone. Each prints its figures as
# "[figures] systemd real (Debian N): ...". The upgrade case also installs
# the package of an earlier commit (OLD_COMMIT), built once and kept.
#
# The roots are made once and kept (scripts/sh/booted.sh). Status 77
# (skipped) when not root, or inside a system that systemd-nspawn booted.
#
# Usage: systemd_real.sh N SOURCE_DIR VERSION [--only CASE[,CASE...]] [--keep]
#            builds, boots, runs every case (or those named), powers off;
#            VERSION is the one the programs give (-V), the package's that
#            of debian/changelog;
#            with --keep, leaves the system booted (for an hour) and says
#            where it is kept
#        systemd_real.sh --attach DIR [CASE...]   runs cases (or every case)
#            on the system that --keep left in DIR
#        systemd_real.sh --poweroff DIR           powers it off, removes DIR
#        systemd_real.sh --list                   the cases, in order
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/sh/booted.sh
. "$here/../scripts/sh/booted.sh"
# The commit whose package is 24, the last before ident.service: each
# connection an ident@.service of its own (ident.socket with Accept=yes).
old_commit=35965d9

# The cases, in order: one name a line.
case_names() {
    local f
    for f in "$here"/systemd_real/[0-9]*.sh; do
        f=${f##*/[0-9]*-}
        echo "${f%.sh}"
    done
}

figure() {
    echo "[figures] systemd real (Debian $release): $*"
}

# On a failure: the booted system's last words.
show_journal() {
    if [ -n "$kx_container_pid" ]; then
        echo "--- Debian $release: the journal's last lines"
        kx_container_run journalctl --no-pager -n 40
    fi
}

holders=()
# hold SOURCE N: N silent connections from SOURCE, kept until released; waits
# until all are connected.
hold() {
    local out=$work/hold.$1
    kx_container_hold "$client" "$1" "$2" >"$out" 2>&1 &
    holders+=($!)
    kx_track $!
    kx_eventually 10 grep -qs "^held $2\$" "$out" || kx_fail "could not hold $2 connections from $1: $(cat "$out")"
}

release_holders() {
    kx_stop "${holders[@]}"
    holders=()
    rm -f "$work"/hold.*
}

# query SOURCE ADDRESS: what a query from SOURCE to ADDRESS port 113 gets, as
# od -c shows it.
query() {
    IDENT_SOURCE=$1 kx_container_net "$client" ask "$2" 113 | od -An -c | tr -s ' \n' ' '
}
answer=$(printf ' 6193 , 23 : ERROR : HIDDEN-USER\r\n' | od -An -c | tr -s ' \n' ' ')
# shellcheck disable=SC2034 # read by the cases
empty=$(printf '' | od -An -c | tr -s ' \n' ' ')

answered_from() {
    [ "$(query "$1" 127.0.0.1)" = "$answer" ]
}

hoodwains() {
    kx_container_run pgrep -c -x hoodwain
}

hoodwains_at_least() {
    [ "$(hoodwains)" -ge "$1" ]
}

no_hoodwain() {
    kx_not kx_container_has_process hoodwain
}

socket_not_failed() {
    ! kx_container_run systemctl is-failed --quiet ident.socket
}

package_processes() {
    kx_container_run ps -eo pid=,comm= | grep -E ' (scrivel|hoodwain|kestrix-deadlin|kestrix-accept)$'
}

listening_on_113() {
    kx_listening 113 kx_container_net
}

# fill_places: 20 silent connections held, 4 from each of five addresses,
# all served; then a query from a sixth in the background, its reply to
# $work/21st and the process that waits for it in $twenty_first.
fill_places() {
    local source
    for source in 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5; do
        hold "$source" 4
    done
    kx_eventually 10 hoodwains_at_least 20 || kx_fail "20 held connections do not run 20 hoodwain"
    query 127.0.0.6 127.0.0.1 >"$work/21st" &
    twenty_first=$!
    kx_track "$twenty_first"
}

# The process id of kestrix-accept, the loop of ident.service.
loop_pid() {
    kx_container_run systemctl show -p MainPID --value ident.service
}

# journal_mark: where the journal ends now, for journal_since.
journal_mark() {
    kx_container_run journalctl --no-pager -n 0 --show-cursor | sed -n 's/^-- cursor: //p'
}

# journal_since MARK: the lines of ident.service since journal_mark gave MARK.
journal_since() {
    kx_container_run journalctl --no-pager -o cat -t hoodwain --after-cursor="$1"
}

# burst LABEL: 1000 connections from 127.0.0.1, opened at once; another
# address must be answered within 5 s of the burst. Prints the seconds that
# took, and leaves the client's "seconds-to-open answered refused failed" in
# $work/burst.out.
burst() {
    local burster start
    kx_container_net "$client" burst 127.0.0.1 113 1000 >"$work/burst.out" 2>&1 &
    burster=$!
    sleep 1
    start=$(kx_now_us)
    kx_eventually 5 answered_from 127.0.0.2 ||
        kx_fail "${1}no answer within 5 s of a burst of 1000 connections: '$(query 127.0.0.2 127.0.0.1)'"
    kx_elapsed "$start"
    wait "$burster"
}

# confined LABEL EXTRA: the process serving a held connection, as the kernel
# reports it: nobody and nogroup alone, the empty root (and empty), no
# capability in effect, permitted or ambient, none in its bounding set beyond
# the three the unit keeps (CAP_SETGID 6, CAP_SETUID 7, CAP_SYS_CHROOT 18) and
# those in the mask EXTRA, no new privileges, a system call filter.
confined() {
    local label=$1 extra=$2 pid fields why kept=$(((1 << 6) | (1 << 7) | (1 << 18)))
    kx_eventually 10 kx_container_has_process hoodwain || kx_fail "${label}no hoodwain serves the held connections"
    pid=$(kx_container_run pgrep -x -o hoodwain) || kx_fail "${label}no hoodwain serves the held connections"
    fields=$(kx_proc_fields "$pid" kx_container_run) || kx_fail "${label}cannot read /proc/$pid"
    why=$(kx_confined_to_nobody "$fields" /usr/share/kestrix/empty) || kx_fail "${label}$why"
    (((16#$(kx_field CapBnd <<<"$fields") & ~(kept | extra)) == 0)) || kx_fail "${label}CapBnd: $(kx_field CapBnd <<<"$fields")"
    (((16#$(kx_field CapEff <<<"$fields") | 16#$(kx_field CapPrm <<<"$fields") | 16#$(kx_field CapAmb <<<"$fields")) == 0)) ||
        kx_fail "${label}$(grep -E '^Cap(Eff|Prm|Amb) ' <<<"$fields" | tr '\n' ' ')"
    [ "$(kx_field NoNewPrivs <<<"$fields")" = 1 ] || kx_fail "${label}NoNewPrivs: $(kx_field NoNewPrivs <<<"$fields")"
    [ "$(kx_field Seccomp <<<"$fields")" = 2 ] || kx_fail "${label}Seccomp: $(kx_field Seccomp <<<"$fields") (2 is a filter)"
    [ -z "$(kx_container_run ls -A "/proc/$pid/root/")" ] || kx_fail "${label}its root is not empty"
}

# log_through_scrivel UNIT NAME: UNIT's standard error sent through
# scrivel@NAME by the package's drop-in for ident, NAME in place of ident,
# put in /run/systemd/system/UNIT.d.
log_through_scrivel() {
    local unit=$1 name=$2 example=/usr/share/doc/kestrix/examples/systemd/ident-scrivel.conf
    mkdir -p "$work/dropins"
    kx_container_run cat "$example" >"$work/dropins/ident-scrivel.conf" || kx_fail "the package has no $example"
    if [ "$name" = ident ]; then
        cp "$work/dropins/ident-scrivel.conf" "$work/dropins/$unit.conf"
    else
        kx_install_recipe "$work/dropins/ident-scrivel.conf" "$work/dropins/$unit.conf" \
            scrivel@ident.socket "scrivel@$name.socket" /run/scrivel/ident "/run/scrivel/$name"
    fi
    kx_container_run sh -c "mkdir -p /run/systemd/system/$unit.d &&
        cp /kestrix-test/dropins/$unit.conf /run/systemd/system/$unit.d/scrivel.conf && systemctl daemon-reload" ||
        kx_fail "cannot install the drop-in for $unit"
}

# writer_unit UNIT ARG...: a service of the test, /run/systemd/system/UNIT,
# that runs bench/line_writer.c with ARGs, its standard output on its
# standard error.
writer_unit() {
    local unit=$1
    shift
    mkdir -p "$work/dropins"
    printf '[Service]\nExecStart=/bin/sh -c %s\nTimeoutStopSec=120\n' "'exec /usr/local/bin/line_writer $* >&2'" >"$work/dropins/$unit"
    kx_container_run sh -c "install -m 0755 /kestrix-test/line_writer /usr/local/bin/line_writer &&
        cp /kestrix-test/dropins/$unit /run/systemd/system/$unit && systemctl daemon-reload" ||
        kx_fail "cannot install $unit"
}

# forget_scrivel NAME UNIT...: the UNITs stopped and removed with their
# drop-ins, scrivel@NAME stopped and its log removed (the start of a case
# that uses them, and its end).
forget_scrivel() {
    local name=$1 unit
    shift
    for unit in "$@"; do
        kx_container_run sh -c "systemctl stop $unit 2>/dev/null; rm -rf /run/systemd/system/$unit /run/systemd/system/$unit.d"
    done
    kx_container_run sh -c "systemctl stop scrivel@$name.socket scrivel@$name.service 2>/dev/null; systemctl daemon-reload
        rm -rf /var/log/$name /run/scrivel/$name"
}

# log_lines NAME: the lines of /var/log/NAME/current.
log_lines() {
    kx_container_run sh -c "cat /var/log/$1/current 2>/dev/null | wc -l"
}

# main_pid UNIT: its main process, nothing if none runs.
main_pid() {
    local pid
    pid=$(kx_container_run systemctl show -p MainPID --value "$1")
    [ "${pid:-0}" != 0 ] && echo "$pid"
}

# write_only PID FD: descriptor FD of PID is open for writing alone.
write_only() {
    local flags
    flags=$(kx_container_run sed -n 's/^flags:[[:space:]]*//p' "/proc/$1/fdinfo/$2") || return 1
    [ $((8#$flags & 3)) -eq 1 ]
}

# The states a case can begin from, and the steps between them.
installed() {
    [ "$(kx_container_run dpkg-query -W -f='${db:Status-Abbrev}' kestrix 2>/dev/null)" = "ii " ]
}

install_package() {
    kx_container_run dpkg -i "/kestrix-test/$deb" >"$work/dpkg.out" 2>&1 || kx_fail "dpkg -i failed: $(cat "$work/dpkg.out")"
}

start_socket() {
    kx_container_run systemctl enable --now ident.socket >"$work/enable.out" 2>&1 ||
        kx_fail "systemctl enable --now ident.socket: $(cat "$work/enable.out")"
    kx_eventually 10 listening_on_113 || kx_fail "ident.socket does not listen on port 113"
}

# The package as installed (whatever its version) purged.
purge_package() {
    kx_container_run sh -c 'systemctl disable --now ident.socket && dpkg -P kestrix' >"$work/dpkg.out" 2>&1 ||
        kx_fail "cannot purge the package: $(cat "$work/dpkg.out")"
}

reach() {
    case $1 in
    bare)
        installed || return 0
        purge_package
        ;;
    socket)
        if installed && [ "$(kx_container_run dpkg-query -W -f='${Version}' kestrix)" != "$package_version" ]; then
            purge_package
        fi
        installed || install_package
        kx_container_run systemctl is-active --quiet ident.socket || start_socket
        ;;
    *) kx_fail "no state $1" ;;
    esac
}

# build_package: the client, then the package built in the build root of the
# release, held to its lintian, its units where that release's systemd keeps
# its own; the package of $old_commit beside it, in old/ (built once and kept).
build_package() {
    local build_root start arch contents unit old
    build_root=$(kx_container_build_root "$codename") || kx_fail "no build root of Debian $release"
    kx_ident_client "$client" || kx_fail "cannot compile bench/ident_client.c"
    kx_line_writer "$work/line_writer" || kx_fail "cannot compile bench/line_writer.c"
    start=$(kx_now_us)
    package_version=$(kx_package_version "$source_dir") || kx_fail "no version in debian/changelog"
    kx_container_build_package "$build_root" "$source_dir" "$package_version" "$work" || kx_fail "no package for Debian $release"
    arch=$(dpkg --print-architecture)
    deb=kestrix_${package_version}_$arch.deb
    kx_lintian "$work/lintian.out" "kestrix_${package_version}_$arch.changes" \
        kx_container_exec "$build_root" --bind="$work:/build" --chdir=/build
    if [ "$(kx_lintian_count "$work/lintian.out" E)" -ne 0 ] || [ "$(kx_lintian_count "$work/lintian.out" W)" -ne 0 ]; then
        kx_fail "lintian of Debian $release:"$'\n'"$(grep -v '^N: ' "$work/lintian.out")"
    fi
    figure "package built in $(kx_elapsed "$start" 0) s, lintian$(for tag in E W I P; do
        printf ' %s %s' "$tag" "$(kx_lintian_count "$work/lintian.out" "$tag")"
    done)"
    # The units go where this release's systemd keeps its own.
    unit_dir=$(sed -n 's|^\(.*\)/systemd-journald\.service$|\1|p' "$root/var/lib/dpkg/info/systemd.list" | head -n 1)
    [ -n "$unit_dir" ] || kx_fail "cannot tell where systemd of Debian $release keeps its units"
    contents=$(dpkg-deb -c "$work/$deb") || kx_fail "dpkg-deb -c $deb"
    for unit in ident.socket ident.service scrivel@.socket scrivel@.service; do
        grep -q " \.$unit_dir/$unit\$" <<<"$contents" ||
            kx_fail "$unit is not in $unit_dir:"$'\n'"$(grep systemd <<<"$contents")"
    done
    old=$(kx_container_commit_package "$codename" "$source_dir" "$old_commit") ||
        kx_fail "no package of $old_commit for Debian $release"
    if ! mkdir -p "$work/old" || ! cp "$old"/kestrix_*_"$arch".deb "$work/old/"; then
        kx_fail "no package of $old_commit in $old"
    fi
    old_deb=$(cd "$work/old" && echo kestrix_*_"$arch".deb)
    printf '%s\n' "$release" "$version" "$deb" "$unit_dir" "$package_version" "$old_deb" >"$work/settings"
}

boot() {
    kx_container_boot "$root" "$work/console.log" --private-network --bind-ro="$work:/kestrix-test" ||
        kx_fail "Debian $release did not boot"
    kx_container_save "$work/booted"
    figure "systemd $(kx_container_systemd_version)"
}

# run_cases NAME...: each case in turn, its held connections released after it.
run_cases() {
    local name
    for name in "$@"; do
        declare -F "case_$name" >/dev/null || kx_fail "no case $name (systemd_real.sh --list)"
    done
    for name in "$@"; do
        echo "== $name"
        "case_$name"
        release_holders
    done
}

remove_work() {
    rm -rf "$work"
}

# Where the system runs on when this run ends.
kept() {
    echo "Debian $release stays booted (for an hour at most), kept in $work:"
    echo "  bash $0 --attach $work [CASE...]"
    echo "  bash $0 --poweroff $work"
}

for f in "$here"/systemd_real/[0-9]*.sh; do
    # shellcheck source=/dev/null
    . "$f"
done

# start N SOURCE_DIR VERSION [--only CASES] [--keep]: a fresh build and boot.
start() {
    local only='' keep=''
    release=$1 source_dir=$2 version=$3
    shift 3
    while [ $# -gt 0 ]; do
        case $1 in
        --only) only=${2//,/ } && shift ;;
        --keep) keep=1 ;;
        *) kx_fail "unknown option $1" ;;
        esac
        shift
    done
    [ "$(id -u)" -eq 0 ] || kx_skip "booting a system with systemd-nspawn needs root"
    # A system booted by systemd-nspawn (such as this test's own) boots no other.
    [ -e /run/systemd/container ] && kx_skip "this machine is itself a booted container ($(cat /run/systemd/container))"
    for tool in debootstrap systemd-nspawn nsenter flock cc dpkg-deb dpkg-parsechangelog git; do
        command -v "$tool" >/dev/null 2>&1 || kx_fail "$tool is not installed (scripts/deps.sh installs it)"
    done
    codename=$(kx_container_codename "$release") || kx_fail "no such release"
    root=$(kx_container_root "$codename") || kx_fail "no root of Debian $release"
    work=$(kx_mktemp systemd) || exit 1
    client=$work/ident_client
    if [ -n "$keep" ]; then
        kx_at_exit kept
        export KESTRIX_CONTAINER_LIMIT=${KESTRIX_CONTAINER_LIMIT:-3600}
    else
        kx_at_exit remove_work
        kx_at_exit kx_container_poweroff
    fi
    build_package
    boot
    # shellcheck disable=SC2086 # the names, one a word
    run_cases ${only:-$(case_names)}
}

# attach DIR [CASE...]: the cases on the system that a run with --keep left.
attach() {
    work=$1
    shift
    { read -r release && read -r version && read -r deb && read -r unit_dir && read -r package_version &&
        read -r old_deb; } <"$work/settings" 2>/dev/null ||
        kx_fail "$work holds no system kept by systemd_real.sh --keep"
    client=$work/ident_client
    kx_container_attach "$work/booted" || exit 1
    if [ $# -eq 0 ]; then
        mapfile -t names < <(case_names)
        set -- "${names[@]}"
    fi
    run_cases "$@"
}

release='?'
kx_on_fail show_journal
case ${1:-} in
--list) case_names ;;
--attach) attach "${@:2}" ;;
--poweroff)
    work=${2:?usage: systemd_real.sh --poweroff DIR}
    if kx_container_attach "$work/booted"; then
        kx_container_poweroff
    fi
    remove_work
    ;;
[0-9]*) start "$@" ;;
*)
    echo "usage: systemd_real.sh N SOURCE_DIR VERSION [--only CASE[,CASE...]] [--keep]" >&2
    echo "       systemd_real.sh --attach DIR [CASE...] | --poweroff DIR | --list" >&2
    exit 2
    ;;
esac
