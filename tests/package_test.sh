#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the Debian package with cpack into a temporary directory and checks
# it with dpkg-deb: control fields (name, version, architecture, section,
# maintainer, description, dependencies as dpkg-shlibdeps computes them) and
# contents (paths, owners, modes), then runs the packaged programs.
# Usage: package_test.sh BUILD_DIR VERSION
set -u

build_dir=$1
version=$2
out=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-deb.XXXXXX") || exit 1
trap 'rm -rf "$out"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in dpkg dpkg-deb dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is not installed (scripts/deps.sh installs it)"
done

cpack -G DEB -B "$out" --config "$build_dir/CPackConfig.cmake" >"$out/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$out/cpack.log")"
arch=$(dpkg --print-architecture)
deb=$out/kestrix_${version}_$arch.deb
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$out")"

field() {
    dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = kestrix ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = admin ] || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)'"
[[ $(field Maintainer) == *?' <'?*@?*'>' ]] || fail "Maintainer is '$(field Maintainer)'"
description=$(field Description)
summary=$(head -n 1 <<<"$description")
[ -n "$summary" ] && [ ${#summary} -le 80 ] || fail "the summary line is '$summary'"
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "the description has no paragraph: '$description'"
[ "$(sed -n '2{s/^ *//;p}' <<<"$description")" != "$summary" ] || fail "the summary is repeated below itself"

# Programs linked statically depend on nothing; linked dynamically they
# depend at least on the C library.
dpkg-deb -x "$deb" "$out/root"
depends=$(field Depends)
if file "$out/root/usr/sbin/scrivel" | grep -q 'static'; then
    [ -z "$depends" ] || fail "static programs, yet Depends is '$depends'"
else
    [[ $depends == *libc6* ]] || fail "dynamic programs, yet Depends is '$depends'"
fi

listing=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }')
for entry in \
    "-rwxr-xr-x root/root ./usr/sbin/scrivel" \
    "-rwxr-xr-x root/root ./usr/sbin/hoodwain" \
    "-rw-r--r-- root/root ./usr/share/man/man8/scrivel.8.gz" \
    "-rw-r--r-- root/root ./usr/share/man/man8/hoodwain.8.gz" \
    "-rw-r--r-- root/root ./usr/share/doc/kestrix/DEPLOY.md" \
    "-rwxr-xr-x root/root ./usr/share/doc/kestrix/examples/runit/ident/run" \
    "-rw-r--r-- root/root ./usr/share/doc/kestrix/examples/systemd/ident.socket"; do
    grep -qxF -- "$entry" <<<"$listing" || fail "the package lacks '$entry':"$'\n'"$listing"
done
strays=$(grep -v -e ' \./usr/sbin/' -e ' \./usr/share/man/man8/' -e ' \./usr/share/doc/kestrix/' \
    -e ' \./$' -e ' \./usr/$' -e ' \./usr/share/$' -e ' \./usr/share/man/$' -e ' \./usr/share/doc/$' <<<"$listing")
[ -z "$strays" ] || fail "unexpected entries in the package:"$'\n'"$strays"
dpkg-deb -I "$deb" md5sums >/dev/null 2>&1 || fail "the package has no md5sums"

for program in scrivel hoodwain; do
    file "$out/root/usr/sbin/$program" | grep -q ', stripped' || fail "packaged $program is not stripped"
    said=$("$out/root/usr/sbin/$program" -V)
    [ "$said" = "$program from kestrix version $version" ] || fail "packaged $program -V said '$said'"
done
echo "$(basename "$deb"): Depends '${depends}', $(wc -l <<<"$listing") entries"
