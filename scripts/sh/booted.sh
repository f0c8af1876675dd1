# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# Booted Debian systems for the tests and benchmarks; sourced (it sources
# kx.sh when the script has not).
#
# The roots are made once with debootstrap from the Debian mirror that apt on
# this machine uses, and kept in $KESTRIX_CACHE (/var/cache/kestrix-test by
# default): CODENAME holds a minimal system with systemd as an administrator
# would boot it, CODENAME-build that and what dpkg-buildpackage and lintian
# need, CODENAME-rsyslog that and rsyslog, rsyslog-relp and logrotate as
# Debian installs them, CODENAME-autopkgtest that and autopkgtest with the
# dpkg-dev it unpacks a source with (to run the package's debian/tests in),
# debs-CODENAME the packages fetched for it. A kept root is never changed by
# its use: systemd-nspawn runs it under a throw-away overlay
# (--volatile=overlay). One system is booted at a time; its processes are the
# library's own state, kx_container_pid (its systemd) and kx_container_nspawn.
#
#   kx_container_codename N           the codename of Debian N (12, 13)
#   kx_container_root CODENAME        the path of the booting root, made
#                                     first if absent
#   kx_container_build_root CODENAME  the same for the build root
#   kx_container_rsyslog_root CODENAME   the same for the rsyslog root
#   kx_container_autopkgtest_root CODENAME   the same for the autopkgtest root
#   kx_container_exec ROOT CMD...     runs CMD in ROOT (not booted), with the
#                                     machine's network; the root unchanged
#   kx_container_build_package BUILD_ROOT SOURCE VERSION DIR
#                                     the package of the tree SOURCE built in
#                                     BUILD_ROOT from DIR/kestrix-VERSION; the
#                                     .deb and .changes in DIR, the log in
#                                     DIR/build.log
#   kx_container_commit_package CODENAME SOURCE COMMIT
#                                     prints the directory that holds the
#                                     package of COMMIT of the git tree
#                                     SOURCE, built in the build root of
#                                     CODENAME (once, then kept)
#   kx_container_debs CODENAME PACKAGE...   prints the directory that holds
#                                     the .deb of every PACKAGE of that release
#                                     (fetched once, then kept)
#   kx_container_boot ROOT LOG OPTS...   boots ROOT with the nspawn options
#                                     OPTS and waits until its systemd runs
#   kx_container_save FILE            what kx_container_attach needs, in FILE
#   kx_container_attach FILE          takes on the system booted by another
#                                     run, which saved it in FILE
#   kx_container_run CMD...           CMD inside the booted system, in all its
#                                     namespaces
#   kx_container_net CMD...           a program of this machine in the booted
#                                     system's network
#   kx_container_poweroff             powers the booted system off, within
#                                     30 s, killed if it has not
#   kx_container_systemd_version      the version of the booted systemd
#   kx_container_exposure UNIT        systemd-analyze security's level of UNIT
#   kx_container_has_process NAME     a process NAME runs there
#   kx_container_hold CLIENT SOURCE COUNT   COUNT silent connections from
#                                     SOURCE to port 113, held until killed
#                                     (10 minutes at most); replaces the shell
#                                     it runs in, so run it in the background
#   kx_ident_client OUT               bench/ident_client.c compiled into OUT
#   kx_line_writer OUT                bench/line_writer.c compiled into OUT,
#                                     static, to run inside a booted system
# Every function returns non-zero and says why on standard error when it
# cannot do its work. Needs root, debootstrap and systemd-nspawn.

# shellcheck source=scripts/sh/kx.sh
[ -n "${kx_root:-}" ] || . "${BASH_SOURCE[0]%/*}/kx.sh"
kx_container_cache=${KESTRIX_CACHE:-/var/cache/kestrix-test}
kx_container_pid=
kx_container_nspawn=

kx_container_codename() {
    case $1 in
    12) echo bookworm ;;
    13) echo trixie ;;
    *)
        echo "no codename known for Debian $1" >&2
        return 1
        ;;
    esac
}

# The Debian mirror that apt here uses, or $KESTRIX_DEBIAN_MIRROR.
kx_container_mirror() {
    local found
    if [ -n "${KESTRIX_DEBIAN_MIRROR:-}" ]; then
        echo "$KESTRIX_DEBIAN_MIRROR"
        return
    fi
    found=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n 1 | tr -d ' ')
    echo "${found:-http://deb.debian.org/debian}"
}

# kx_container_kept DIR RECIPE COMMAND...: DIR made by COMMAND (which builds
# DIR.new) unless DIR/.kestrix-root already says RECIPE; one maker at a time.
kx_container_kept() {
    local dir=$1 recipe=$2 lock
    shift 2
    mkdir -p "$kx_container_cache" || return 1
    exec {lock}>"$dir.lock" || return 1
    flock -w 3600 "$lock" || {
        echo "$dir is being made by another run for over an hour" >&2
        return 1
    }
    if [ "$(cat "$dir/.kestrix-root" 2>/dev/null)" != "$recipe" ]; then
        echo "making $dir (once; later runs reuse it)" >&2
        rm -rf "$dir.new" "$dir"
        if ! "$@" >"$dir.log" 2>&1; then
            echo "could not make $dir:" >&2
            tail -n 20 "$dir.log" >&2
            rm -rf "$dir.new"
            exec {lock}>&-
            return 1
        fi
        echo "$recipe" >"$dir.new/.kestrix-root" && mv "$dir.new" "$dir"
    fi
    exec {lock}>&-
    [ -d "$dir" ]
}

kx_container_debootstrap() {
    local codename=$1 dir=$2
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,iproute2,procps \
        "$codename" "$dir.new" "$(kx_container_mirror)" &&
        rm -rf "$dir.new/var/cache/apt/archives"/*.deb
}

kx_container_root() {
    local dir=$kx_container_cache/$1
    kx_container_kept "$dir" "minbase systemd systemd-sysv dbus iproute2 procps" \
        kx_container_debootstrap "$1" "$dir" && echo "$dir"
}

# kx_container_install BASE DIR PACKAGE...: DIR.new made from BASE with
# PACKAGEs installed by apt, as an administrator installs them.
kx_container_install() {
    local base=$1 dir=$2
    shift 2
    cp -a "$base" "$dir.new" && rm -f "$dir.new/.kestrix-root" &&
        timeout 1800 systemd-nspawn -q --register=no --keep-unit -D "$dir.new" --pipe -E DEBIAN_FRONTEND=noninteractive \
            sh -c 'apt-get update -q && apt-get install -y -q --no-install-recommends "$@" && apt-get clean' sh "$@" </dev/null
}

# kx_container_root_with CODENAME NAME PACKAGE...: the kept root
# CODENAME-NAME, the booting root with PACKAGEs, made first if absent.
kx_container_root_with() {
    local base codename=$1 dir=$kx_container_cache/$1-$2
    shift 2
    base=$(kx_container_root "$codename") || return 1
    kx_container_kept "$dir" "$(cat "$base/.kestrix-root") $*" \
        kx_container_install "$base" "$dir" "$@" && echo "$dir"
}

kx_container_build_root() {
    kx_container_root_with "$1" build build-essential cmake debhelper fakeroot lintian
}

kx_container_rsyslog_root() {
    kx_container_root_with "$1" rsyslog rsyslog rsyslog-relp logrotate
}

kx_container_autopkgtest_root() {
    kx_container_root_with "$1" autopkgtest autopkgtest dpkg-dev
}

kx_container_exec() {
    local root=$1
    shift
    systemd-nspawn -q --register=no --keep-unit -D "$root" --volatile=overlay --pipe "$@" </dev/null
}

kx_container_build_package() {
    local build_root=$1 source=$2 version=$3 dir=$4
    kx_copy_tree "$source" "$dir/kestrix-$version" || {
        echo "cannot copy the source tree" >&2
        return 1
    }
    kx_container_exec "$build_root" --bind="$dir:/build" --chdir="/build/kestrix-$version" \
        dpkg-buildpackage -us -uc -b >"$dir/build.log" 2>&1 || {
        echo "dpkg-buildpackage failed:" >&2
        tail -n 40 "$dir/build.log" >&2
        return 1
    }
}

kx_container_build_commit() {
    local build_root=$1 source=$2 commit=$3 dir=$4 version
    (
        set -o pipefail
        mkdir -p "$dir.new/tree" && git -C "$source" archive "$commit" | tar -C "$dir.new/tree" -xf -
    ) || return 1
    version=$(kx_package_version "$dir.new/tree") &&
        kx_container_build_package "$build_root" "$dir.new/tree" "$version" "$dir.new" &&
        rm -rf "$dir.new/tree" "$dir.new/kestrix-$version"
}

kx_container_commit_package() {
    local codename=$1 source=$2 commit build_root dir
    commit=$(git -C "$source" rev-parse --verify --quiet "$3^{commit}") || {
        echo "$source holds no commit $3 (a full clone of the repository does)" >&2
        return 1
    }
    build_root=$(kx_container_build_root "$codename") || return 1
    dir=$kx_container_cache/kestrix-${commit:0:12}-$codename
    kx_container_kept "$dir" "kestrix $commit, $(cat "$build_root/.kestrix-root")" \
        kx_container_build_commit "$build_root" "$source" "$commit" "$dir" && echo "$dir"
}

kx_container_debs() {
    local codename=$1 root dir=$kx_container_cache/debs-$1 package missing=()
    shift
    for package in "$@"; do
        ls "$dir/${package}"_*.deb >/dev/null 2>&1 || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        root=$(kx_container_root "$codename") && mkdir -p "$dir" || return 1
        kx_container_exec "$root" --bind="$dir:/debs" --chdir=/debs \
            sh -c 'apt-get update -q && apt-get download "$@"' sh "${missing[@]}" >"$dir.log" 2>&1 || {
            echo "cannot fetch ${missing[*]} of $codename:" >&2
            tail -n 5 "$dir.log" >&2
            return 1
        }
    fi
    echo "$dir"
}

# The systemd that systemd-nspawn (a child of timeout) starts.
kx_container_leader() {
    local nspawn
    nspawn=$(pgrep -P "$kx_container_nspawn" -x systemd-nspawn) && pgrep -P "$nspawn" -x systemd
}

kx_container_boot() {
    local root=$1 log=$2 i state
    shift 2
    # The time limit ($KESTRIX_CONTAINER_LIMIT seconds, 900 by default)
    # outlives any test that uses it, and stops the system even if the test
    # itself is killed before it can.
    timeout -k 10 "${KESTRIX_CONTAINER_LIMIT:-900}" systemd-nspawn --register=no --keep-unit -q -D "$root" \
        --volatile=overlay -b "$@" >"$log" 2>&1 </dev/null &
    kx_container_nspawn=$!
    kx_container_pid=
    for ((i = 0; i < 300; i++)); do
        kx_container_pid=$(kx_container_leader) && break
        kill -0 "$kx_container_nspawn" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$kx_container_pid" ] || {
        echo "systemd-nspawn did not start a systemd:" >&2
        tail -n 20 "$log" >&2
        return 1
    }
    for ((i = 0; i < 120; i++)); do
        state=$(timeout 5 nsenter -t "$kx_container_pid" -a systemctl is-system-running 2>/dev/null)
        case $state in
        running) return 0 ;;
        degraded)
            echo "booted degraded: $(kx_container_run systemctl --failed --no-legend)" >&2
            return 0
            ;;
        esac
        sleep 0.5
    done
    echo "the booted system is still '$state' after 60 s" >&2
    return 1
}

kx_container_save() {
    echo "$kx_container_nspawn $kx_container_pid" >"$1"
}

kx_container_attach() {
    if ! read -r kx_container_nspawn kx_container_pid <"$1" 2>/dev/null ||
        [ "$(kx_container_leader)" != "$kx_container_pid" ]; then
        echo "no system booted by $1 runs any more" >&2
        kx_container_nspawn='' kx_container_pid=''
        return 1
    fi
}

kx_container_run() {
    nsenter -t "$kx_container_pid" -a "$@"
}

kx_container_net() {
    nsenter -t "$kx_container_pid" -n "$@"
}

kx_container_poweroff() {
    local i
    [ -n "$kx_container_nspawn" ] || return 0
    # systemd-nspawn turns SIGTERM into an orderly shutdown of the booted system.
    kill -TERM "$kx_container_nspawn" 2>/dev/null
    for ((i = 0; i < 300; i++)); do
        kill -0 "$kx_container_nspawn" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$kx_container_nspawn" 2>/dev/null; then
        echo "the booted system did not power off in 30 s: killed" >&2
        # The end of its first process ends every process of the system.
        kill -KILL "$kx_container_pid" 2>/dev/null
        pkill -KILL -P "$kx_container_nspawn"
        kill -KILL "$kx_container_nspawn" 2>/dev/null
    fi
    wait "$kx_container_nspawn" 2>/dev/null
    kx_container_nspawn=
    kx_container_pid=
}

kx_container_systemd_version() {
    kx_container_run systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p'
}

kx_container_exposure() {
    kx_container_run systemd-analyze security --no-pager "$1" 2>&1 | kx_exposure_level
}

kx_container_has_process() {
    kx_container_run pgrep -x "$1" >/dev/null
}

kx_container_hold() {
    [ "$BASHPID" != "$$" ] || kx_fail "kx_container_hold runs in the background (&)"
    IDENT_SOURCE=$2 exec timeout 600 nsenter -t "$kx_container_pid" -n "$1" hold 127.0.0.1 113 "$3"
}

kx_ident_client() {
    cc -O2 -o "$1" "$kx_root/bench/ident_client.c"
}

kx_line_writer() {
    cc -O2 -static -o "$1" "$kx_root/bench/line_writer.c"
}
