# SPDX-License-Identifier: ISC
# Booted Debian systems for the tests and benchmarks, sourced by them.
#
# The roots are made once with debootstrap from the Debian mirror that apt on
# this machine uses, and kept in $KESTRIX_CACHE (/var/cache/kestrix-test by
# default): CODENAME holds a minimal system with systemd as an administrator
# would boot it, CODENAME-build that and what dpkg-buildpackage and lintian
# need. A kept root is never changed by its use: systemd-nspawn runs it under
# a throw-away overlay (--volatile=overlay).
#
#   container_codename N              the codename of Debian N (12, 13)
#   container_root CODENAME           prints the path of the booting root,
#                                     made first if absent
#   container_build_root CODENAME     the same for the build root
#   container_exec ROOT CMD...        runs CMD in ROOT (not booted), with the
#                                     machine's network; the root unchanged
#   container_boot ROOT LOG OPTS...   boots ROOT with the nspawn options OPTS,
#                                     waits until its systemd runs, and sets
#                                     container_pid to that systemd's process
#   container_run CMD...              runs CMD inside the booted system, in
#                                     all its namespaces
#   container_net CMD...              runs a program of this machine in the
#                                     booted system's network
#   container_poweroff                powers the booted system off, within
#                                     30 s, killed if it has not
#   eventually SECONDS CMD...         CMD succeeds within SECONDS (tried
#                                     every 0.1 s)
#   listening                         something in the booted system listens
#                                     on TCP port 113
# Every function returns non-zero and says why on standard error when it
# cannot do its work. Needs root, debootstrap and systemd-nspawn.

container_cache=${KESTRIX_CACHE:-/var/cache/kestrix-test}
container_pid=
container_nspawn=

container_codename() {
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
container_mirror() {
    local found
    if [ -n "${KESTRIX_DEBIAN_MIRROR:-}" ]; then
        echo "$KESTRIX_DEBIAN_MIRROR"
        return
    fi
    found=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n 1 | tr -d ' ')
    echo "${found:-http://deb.debian.org/debian}"
}

# make_kept_root DIR RECIPE COMMAND...: DIR made by COMMAND (which builds
# DIR.new) unless DIR/.kestrix-root already says RECIPE; one maker at a time.
make_kept_root() {
    local dir=$1 recipe=$2 lock
    shift 2
    mkdir -p "$container_cache" || return 1
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

debootstrap_root() {
    local codename=$1 dir=$2
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,iproute2,procps \
        "$codename" "$dir.new" "$(container_mirror)" &&
        rm -rf "$dir.new/var/cache/apt/archives"/*.deb
}

container_root() {
    local dir=$container_cache/$1
    make_kept_root "$dir" "minbase systemd systemd-sysv dbus iproute2 procps" debootstrap_root "$1" "$dir" &&
        echo "$dir"
}

build_tools_root() {
    local base=$1 dir=$2
    cp -a "$base" "$dir.new" && rm -f "$dir.new/.kestrix-root" &&
        timeout 1800 systemd-nspawn -q --register=no --keep-unit -D "$dir.new" --pipe -E DEBIAN_FRONTEND=noninteractive \
            sh -c 'apt-get update -q && apt-get install -y -q --no-install-recommends \
                build-essential cmake debhelper fakeroot lintian && apt-get clean' </dev/null
}

container_build_root() {
    local base
    base=$(container_root "$1") || return 1
    make_kept_root "$container_cache/$1-build" "$(cat "$base/.kestrix-root") build-essential cmake debhelper fakeroot lintian" \
        build_tools_root "$base" "$container_cache/$1-build" && echo "$container_cache/$1-build"
}

container_exec() {
    local root=$1
    shift
    systemd-nspawn -q --register=no --keep-unit -D "$root" --volatile=overlay --pipe "$@" </dev/null
}

container_boot() {
    local root=$1 log=$2 i state
    shift 2
    # The time limit ($KESTRIX_CONTAINER_LIMIT seconds, 900 by default)
    # outlives any test that uses it, and stops the system even if the test
    # itself is killed before it can.
    timeout -k 10 "${KESTRIX_CONTAINER_LIMIT:-900}" systemd-nspawn --register=no --keep-unit -q -D "$root" --volatile=overlay -b "$@" \
        >"$log" 2>&1 </dev/null &
    container_nspawn=$!
    container_pid=
    for ((i = 0; i < 300; i++)); do
        local nspawn
        nspawn=$(pgrep -P "$container_nspawn" -x systemd-nspawn) &&
            container_pid=$(pgrep -P "$nspawn" -x systemd) && break
        kill -0 "$container_nspawn" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$container_pid" ] || {
        echo "systemd-nspawn did not start a systemd:" >&2
        tail -n 20 "$log" >&2
        return 1
    }
    for ((i = 0; i < 120; i++)); do
        state=$(timeout 5 nsenter -t "$container_pid" -a systemctl is-system-running 2>/dev/null)
        case $state in
        running) return 0 ;;
        degraded)
            echo "booted degraded: $(container_run systemctl --failed --no-legend)" >&2
            return 0
            ;;
        esac
        sleep 0.5
    done
    echo "the booted system is still '$state' after 60 s" >&2
    return 1
}

container_run() {
    nsenter -t "$container_pid" -a "$@"
}

container_net() {
    nsenter -t "$container_pid" -n "$@"
}

container_poweroff() {
    local i
    [ -n "$container_nspawn" ] || return 0
    # systemd-nspawn turns SIGTERM into an orderly shutdown of the booted system.
    kill -TERM "$container_nspawn" 2>/dev/null
    for ((i = 0; i < 300; i++)); do
        kill -0 "$container_nspawn" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$container_nspawn" 2>/dev/null; then
        echo "the booted system did not power off in 30 s: killed" >&2
        # The end of its first process ends every process of the system.
        kill -KILL "$container_pid" 2>/dev/null
        pkill -KILL -P "$container_nspawn"
        kill -KILL "$container_nspawn" 2>/dev/null
    fi
    wait "$container_nspawn" 2>/dev/null
    container_nspawn=
    container_pid=
}

eventually() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

listening() {
    container_run ss -Hltn | awk '{ print $4 }' | grep -q ':113$'
}
