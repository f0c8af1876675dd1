#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the Debian package the way Debian does (dpkg-buildpackage -us -uc -b)
# from a copy of the source tree, without build/ and .git, and holds it to
# lintian --pedantic: no error, no warning. Checks its fields, its exact file
# list with owners and modes, its programs (dynamically linked, hardened,
# stripped, runnable); then installs, removes and purges it with this
# machine's own dpkg, so that its real maintainer scripts run: nothing may be
# enabled, started or left listening, and nothing may be left behind.
# Status 77 (skipped) before the install when not root, or when dpkg already
# knows a kestrix package, which this test must not replace or purge.
# Usage: package_test.sh SOURCE_DIR VERSION (the programs' version; the
# package's is that of debian/changelog)
set -u
# shellcheck source=scripts/sh/kx.sh
. "$(dirname "$0")/../scripts/sh/kx.sh"

source_dir=$1
version=$2
# Every program is /usr/sbin/NAME with its manual /usr/share/man/man8/NAME.8.gz.
programs=(scrivel hoodwain kestrix-deadline kestrix-accept)
units=(ident.socket ident.service scrivel@.socket scrivel@.service)

work=$(kx_mktemp deb) || exit 1
# dpkg, waiting for a while if another dpkg or apt holds its lock.
run_dpkg() {
    local i
    for ((i = 0; i < 60; i++)); do
        dpkg "$@" >"$work/dpkg.log" 2>&1 && return 0
        grep -q 'lock' "$work/dpkg.log" || return 1
        sleep 2
    done
    return 1
}

installed=no
cleanup() {
    if [ "$installed" = yes ]; then
        run_dpkg --purge kestrix || echo "cleanup: dpkg --purge kestrix failed: $(cat "$work/dpkg.log")" >&2
    fi
    rm -rf "$work"
}
kx_at_exit cleanup

for tool in dpkg dpkg-buildpackage dpkg-deb dpkg-parsechangelog dpkg-query lintian readelf file ss tar; do
    command -v "$tool" >/dev/null 2>&1 || kx_fail "$tool is not installed (scripts/deps.sh installs it)"
done
package_version=$(kx_package_version "$source_dir") || kx_fail "no version in debian/changelog"

# The build, from a copy named as Debian names an unpacked source.
tree=$work/kestrix-$package_version
kx_copy_tree "$source_dir" "$tree" || kx_fail "cannot copy the source tree"
start=$(kx_now_us)
(cd "$tree" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL dpkg-buildpackage -us -uc -b) \
    >"$work/build.log" 2>&1 || kx_fail "dpkg-buildpackage failed:"$'\n'"$(tail -n 40 "$work/build.log")"
echo "[figures] dpkg-buildpackage -us -uc -b: $(kx_elapsed "$start" 1) s"
arch=$(dpkg --print-architecture)
deb=$work/kestrix_${package_version}_$arch.deb
changes=$work/kestrix_${package_version}_$arch.changes
{ [ -f "$deb" ] && [ -f "$changes" ]; } || kx_fail "no $deb or $changes; the build made: $(ls "$work")"

# lintian on the .changes checks everything it lists: the package, its debug
# symbols package and the .buildinfo.
kx_lintian "$work/lintian.out" "$changes"
status=$?
count() {
    kx_lintian_count "$work/lintian.out" "$1"
}
echo "[figures] lintian: E $(count E), W $(count W), I $(count I), P $(count P), X $(count X)," \
    "O (overridden) $(count O) (lintian --pedantic -I -E --show-overrides $(basename "$changes"))"
grep -v '^N: ' "$work/lintian.out"
{ [ "$(count E)" -eq 0 ] && [ "$(count W)" -eq 0 ] && [ $status -eq 0 ]; } ||
    kx_fail "lintian (status $status):"$'\n'"$(cat "$work/lintian.out")"

field() {
    dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = kestrix ] || kx_fail "Package is '$(field Package)'"
[ "$(field Version)" = "$package_version" ] || kx_fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || kx_fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = admin ] || kx_fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || kx_fail "Priority is '$(field Priority)'"
[ "$(field Suggests)" = "logrotate, rsyslog-relp, runit, ucspi-tcp" ] || kx_fail "Suggests is '$(field Suggests)'"
[[ $(field Depends) == *libc6* ]] || kx_fail "dynamically linked programs, yet Depends is '$(field Depends)'"

# The file list, exactly: owner, mode, path. The units go where this
# release's systemd keeps its own: /lib/systemd/system on Debian 12,
# /usr/lib/systemd/system on Debian 13.
doc=./usr/share/doc/kestrix
unit_dir=.$(sed -n 's|^\(.*\)/systemd-journald\.service$|\1|p' /var/lib/dpkg/info/systemd.list 2>/dev/null | head -n 1)
[ "$unit_dir" != . ] || kx_fail "cannot tell where this release's systemd keeps its units (is systemd installed?)"
expected=$(
    {
        for dir in ./ ./lib/ ./lib/systemd/ ./lib/systemd/system/ ./usr/ ./usr/lib/ ./usr/lib/systemd/ \
            ./usr/lib/systemd/system/ ./usr/sbin/ ./usr/share/ \
            ./usr/share/doc/ $doc/ ./usr/share/kestrix/ ./usr/share/kestrix/empty/ ./usr/share/lintian/ \
            ./usr/share/lintian/overrides/ ./usr/share/man/ ./usr/share/man/man8/; do
            # Of lib/ and usr/lib/, only the one that leads to the units.
            case $dir in ./lib/* | ./usr/lib/*) [[ $unit_dir/ == "$dir"* ]] || continue ;; esac
            echo "drwxr-xr-x root/root $dir"
        done
        for program in "${programs[@]}"; do
            echo "-rwxr-xr-x root/root ./usr/sbin/$program"
            echo "-rw-r--r-- root/root ./usr/share/man/man8/$program.8.gz"
        done
        for unit in "${units[@]}"; do
            echo "-rw-r--r-- root/root $unit_dir/$unit"
        done
        kx_doc_pages | while IFS= read -r page; do
            echo "-rw-r--r-- root/root $doc/$page.gz"
        done
        echo "-rw-r--r-- root/root $doc/README.Debian"
        echo "-rw-r--r-- root/root $doc/changelog.gz"
        echo "-rw-r--r-- root/root $doc/copyright"
        echo "-rw-r--r-- root/root ./usr/share/lintian/overrides/kestrix"
        # Every recipe, as a run script or wrapper (executable) or not.
        (cd "$source_dir/deploy" && find . -printf '%y %P\n') | while read -r type path; do
            if [ "$type" = d ]; then
                echo "drwxr-xr-x root/root $doc/examples/${path:+$path/}"
            elif [ -x "$source_dir/deploy/$path" ]; then
                echo "-rwxr-xr-x root/root $doc/examples/$path"
            else
                echo "-rw-r--r-- root/root $doc/examples/$path"
            fi
        done
    } | sort
)
actual=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' | sort)
[ "$actual" = "$expected" ] ||
    kx_fail "the package's files differ (< expected, > packaged):"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"

dpkg-deb -x "$deb" "$work/root" || kx_fail "dpkg-deb -x failed"
for unit in "${units[@]}"; do
    cmp -s "$work/root/$unit_dir/$unit" "$source_dir/deploy/systemd/$unit" ||
        kx_fail "the packaged $unit is not deploy/systemd/$unit"
done
# The pages are the sources, each compressed whatever its size, so that
# their names do not change with it; every page that a manual or
# README.Debian names is there by that name.
while IFS= read -r page; do
    gzip -dc "$work/root/$doc/$page.gz" | cmp -s - "$source_dir/docs/$page" ||
        kx_fail "the packaged $page.gz is not docs/$page"
done < <(kx_doc_pages)
cmp -s "$work/root/$doc/README.Debian" "$source_dir/debian/README.Debian" ||
    kx_fail "the packaged README.Debian is not debian/README.Debian"
while IFS= read -r named; do
    case $named in
    /*) path=$work/root$named ;;
    *) path=$work/root/$doc/$named ;;
    esac
    [ -e "$path" ] || kx_fail "a manual or README.Debian names $named, which the package does not hold"
done < <(
    {
        for program in "${programs[@]}"; do
            gzip -dc "$work/root/usr/share/man/man8/$program.8.gz"
        done
        cat "$work/root/$doc/README.Debian"
    } | grep -oE '/usr/share/doc/kestrix[A-Za-z0-9._/-]*|[A-Za-z][A-Za-z0-9_-]*\.md(\.gz)?' | sed 's|\.$||' | sort -u
)
# Linked against the shared C library (whose security updates reach them),
# with everything hardening=+all asks for, and stripped of symbols and of
# the compiler's .comment section.
for program in "${programs[@]}"; do
    path=$work/root/usr/sbin/$program
    description=$(file -b "$path")
    [[ $description == *'dynamically linked'* ]] || kx_fail "$program is not dynamically linked: $description"
    [[ $description == *', stripped'* ]] || kx_fail "$program is not stripped: $description"
    dynamic=$(readelf -dW "$path")
    grep -q 'NEEDED.*\[libc\.so\.6\]' <<<"$dynamic" || kx_fail "$program does not need libc.so.6"
    grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || kx_fail "$program is not position independent"
    grep -q 'FLAGS.*BIND_NOW' <<<"$dynamic" || kx_fail "$program is not linked with -z now"
    readelf -lW "$path" | grep -q GNU_RELRO || kx_fail "$program has no read-only relocations"
    readelf -SW "$path" | grep -q '\.comment' && kx_fail "$program keeps its .comment section"
done

# Install, remove and purge with the real dpkg. Refuse to touch a kestrix
# that someone installed.
[ "$(id -u)" -eq 0 ] || kx_skip "installing the package needs root (built and checked it)"
if known=$(dpkg-query -W -f='${db:Status-Abbrev}' kestrix 2>/dev/null) && [ "$known" != "un " ]; then
    kx_skip "dpkg already knows a kestrix package ($known); not replacing it (built and checked it)"
fi

# What the package could leave behind: its own paths; systemd's enablement
# links and deb-systemd-helper's state; dpkg's files about it; anything
# named after it or its programs or units elsewhere in the system's trees.
paths=$(dpkg-deb -c "$deb" | awk '{ p = substr($6, 2); sub(/\/$/, "", p); if (p != "") print p }')
package_traces() {
    local path
    while IFS= read -r path; do
        if [ -e "$path" ] || [ -L "$path" ]; then
            stat -c '%A %U:%G %n' "$path"
        fi
    done <<<"$paths"
}
traces() {
    package_traces
    find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
        -printf '%M %p %l\n' 2>/dev/null | sort
    find /var/lib/dpkg/info -name 'kestrix[.:]*' -printf 'dpkg %p\n' | sort
    find /etc /opt /srv /usr /var -xdev -path /var/tmp -prune -o \( "${names[@]}" \) -printf 'named %M %p\n' \
        2>/dev/null | sort
}
names=(-iname '*kestrix*' -o -name 'ident[.@]*')
for program in "${programs[@]}"; do
    names+=(-o -name "$program*")
done
# Listening sockets, bar those on loopback addresses (other tests on this
# machine open some there): ident.socket would listen on every address.
listeners() {
    ss -Hltun | awk '$5 !~ /^(127\.|\[::1\]|\[::ffff:127\.)/ || $5 ~ /:113$/ { print $1, $5 }' | sort
}
# Processes started by a maintainer script of the package (dpkg puts
# DPKG_MAINTSCRIPT_PACKAGE=kestrix in their environment, and children inherit
# it) or running one of its programs, in this system's process namespace: the
# systems that other tests boot (tests/systemd_real.sh) run the package's
# programs in namespaces of their own.
package_processes() {
    local program pid lnames=() own_namespace
    own_namespace=$(readlink /proc/self/ns/pid)
    for program in "${programs[@]}"; do
        lnames+=(-o -lname "/usr/sbin/$program*")
    done
    {
        grep -lsaxzF 'DPKG_MAINTSCRIPT_PACKAGE=kestrix' /proc/[0-9]*/environ
        find /proc/[0-9]*/exe -maxdepth 0 \( -false "${lnames[@]}" \) -print 2>/dev/null
    } | cut -d / -f 3 | sort -u | while read -r pid; do
        [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" = "$own_namespace" ] || continue
        echo "$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
    done
}
started_nothing() {
    local step=$1 now processes
    now=$(listeners)
    [ "$now" = "$listeners_before" ] ||
        kx_fail "after $step, new listening sockets:"$'\n'"$(comm -13 <(echo "$listeners_before") <(echo "$now"))"
    processes=$(package_processes)
    [ -z "$processes" ] || kx_fail "after $step, processes of the package run: $processes"
    find /etc/systemd -name 'ident*' | grep -q . && kx_fail "after $step, ident is enabled: $(find /etc/systemd -name 'ident*')"
    return 0
}

# No maintainer script may start or enable anything. dh_installsystemd
# --no-enable leaves one "deb-systemd-helper enable", which re-creates the
# links of a unit the administrator had enabled (was-enabled) and nothing else;
# the one restart allowed is a try-restart (of what runs) on an upgrade ($2,
# the version upgraded from, set); an action in a variable counts as a start.
dpkg-deb -e "$deb" "$work/control" || kx_fail "dpkg-deb -e failed"
for script in "$work"/control/{preinst,postinst,prerm,postrm}; do
    [ -f "$script" ] || continue
    awk '/^[ \t]*if / { condition = $0 }
        /deb-systemd-invoke +(start|restart|try-restart|reload|\$)|systemctl +[a-z-]*(start|enable)/ &&
            !(/deb-systemd-invoke +try-restart / && condition ~ /^[ \t]*if \[ -n "\$2" \]; then$/) { print FNR ": " $0; bad = 1 }
        END { exit bad }' "$script" || kx_fail "$(basename "$script") starts a unit"
    awk '/^[ \t]*if / { condition = $0 }
        /deb-systemd-helper enable/ && condition !~ /was-enabled/ { print; bad = 1 }
        END { exit bad }' "$script" || kx_fail "$(basename "$script") enables a unit"
done

traces_before=$(traces)
package_traces_before=$(package_traces)
listeners_before=$(listeners)

installed=yes
run_dpkg -i "$deb" || kx_fail "dpkg -i failed: $(cat "$work/dpkg.log")"
[ "$(dpkg-query -W -f='${db:Status-Abbrev}' kestrix)" = "ii " ] || kx_fail "kestrix is not installed after dpkg -i"
for program in "${programs[@]}"; do
    said=$("/usr/sbin/$program" -V)
    [ "$said" = "$program from kestrix version $version" ] || kx_fail "installed $program -V said '$said'"
done
[ "$(stat -c '%a %U:%G' /usr/share/kestrix/empty)" = "755 root:root" ] ||
    kx_fail "/usr/share/kestrix/empty is $(stat -c '%a %U:%G' /usr/share/kestrix/empty)"
[ -z "$(ls -A /usr/share/kestrix/empty)" ] || kx_fail "/usr/share/kestrix/empty is not empty"
started_nothing "dpkg -i"

run_dpkg -r kestrix || kx_fail "dpkg -r failed: $(cat "$work/dpkg.log")"
started_nothing "dpkg -r"
left=$(diff <(package_traces) <(echo "$package_traces_before"))
[ -z "$left" ] || kx_fail "dpkg -r leaves the package's files (< now, > before):"$'\n'"$left"

run_dpkg --purge kestrix || kx_fail "dpkg --purge failed: $(cat "$work/dpkg.log")"
installed=no
started_nothing "dpkg --purge"
dpkg-query -W kestrix >/dev/null 2>&1 && kx_fail "dpkg still knows kestrix after --purge"
left=$(diff <(traces) <(echo "$traces_before"))
[ -z "$left" ] || kx_fail "dpkg --purge leaves traces (< now, > before):"$'\n'"$left"

echo "$(basename "$deb"): Depends '$(field Depends)', $(wc -l <<<"$actual") entries;" \
    "installed, removed and purged: nothing started, nothing left"
