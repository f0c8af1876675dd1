#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Installs the build into a temporary DESTDIR with the prefix /usr, as a
# package build does, and checks the tree: exactly the expected files, with
# modes 0755 (programs, run scripts, directories) and 0644 (the rest), the
# programs runnable, the manual pages the sources, gzipped, and the pages of
# docs/ the sources.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR VERSION
set -u
# shellcheck source=scripts/sh/kx.sh
. "$(dirname "$0")/../scripts/sh/kx.sh"

source_dir=$1
build_dir=$2
version=$3
dest=$(kx_mktemp install) || exit 1
remove_dest() {
    rm -rf "$dest"
}
kx_at_exit remove_dest

DESTDIR=$dest cmake --install "$build_dir" --prefix /usr >"$dest/install.log" 2>&1 ||
    kx_fail "cmake --install failed: $(cat "$dest/install.log")"
rm "$dest/install.log"

doc=usr/share/doc/kestrix
expected=$(
    {
        echo "755 usr/sbin/scrivel"
        echo "755 usr/sbin/hoodwain"
        echo "755 usr/sbin/kestrix-deadline"
        echo "755 usr/sbin/kestrix-accept"
        echo "644 usr/share/man/man8/scrivel.8.gz"
        echo "644 usr/share/man/man8/hoodwain.8.gz"
        echo "644 usr/share/man/man8/kestrix-deadline.8.gz"
        echo "644 usr/share/man/man8/kestrix-accept.8.gz"
        kx_doc_pages | while IFS= read -r page; do
            echo "644 $doc/$page"
        done
        (cd "$source_dir/deploy" && find . -type f) | while IFS= read -r f; do
            if [ -x "$source_dir/deploy/$f" ]; then mode=755; else mode=644; fi
            echo "$mode $doc/examples/${f#./}"
        done
    } | sort
)
actual=$(cd "$dest" && find . -mindepth 1 ! -type d -printf '%m %P\n' | sort)
[ "$actual" = "$expected" ] ||
    kx_fail "installed files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"

bad_dirs=$(cd "$dest" && find . -mindepth 1 -type d ! -perm 0755 -printf '%m %P\n')
[ -z "$bad_dirs" ] || kx_fail "directories not 0755: $bad_dirs"

for program in scrivel hoodwain kestrix-deadline kestrix-accept; do
    out=$("$dest/usr/sbin/$program" -V)
    status=$?
    [ "$status" -eq 1 ] || kx_fail "installed $program -V exited with $status"
    [ "$out" = "$program from kestrix version $version" ] || kx_fail "installed $program -V said '$out'"
    gzip -dc "$dest/usr/share/man/man8/$program.8.gz" | cmp -s - "$source_dir/man/$program.8" ||
        kx_fail "installed $program.8.gz is not man/$program.8"
done
while IFS= read -r page; do
    cmp -s "$dest/$doc/$page" "$source_dir/docs/$page" || kx_fail "installed $page is not docs/$page"
done < <(kx_doc_pages)
echo "installed $(echo "$actual" | wc -l) files under $dest"
