#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Code hygiene: every C and C++ source formatted as .clang-format says, the
# library, the programs and the tests clean under .clang-tidy, and every
# shell file clean under shellcheck and indented by 4 spaces a level.
#   bash scripts/lint.sh format BUILD_DIR
#   bash scripts/lint.sh tidy BUILD_DIR    (BUILD_DIR holds compile_commands.json)
#   bash scripts/lint.sh shell
# Status 77: skipped, for a tool this machine lacks.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-}
build=${2:-}
format=$(command -v clang-format-14 || command -v clang-format || :)
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || :)

# Every shell file of the tree: those named *.sh, and every other file that
# starts with a shell's #! line (the recipes of deploy/, .ci/run).
shell_files() {
    local f
    find . \( -path ./.git -o -path ./build -o -path './obj-*' \) -prune -o -type f -print | sort |
        while IFS= read -r f; do
            case $f in
            *.sh) echo "$f" ;;
            *) head -n 1 "$f" 2>/dev/null | grep -qE '^#! *(/usr)?/bin/(env +)?(ba)?sh( |$)' && echo "$f" ;;
            esac
        done
}

# No tab, and leading spaces a multiple of 4.
indented_by_4() {
    awk '/^\t/ { print FILENAME ":" FNR ": indented by a tab"; bad = 1 }
        match($0, /^ +/) && RLENGTH % 4 {
            print FILENAME ":" FNR ": indented by " RLENGTH " spaces, not a multiple of 4"
            bad = 1
        }
        END { exit bad }' "$@"
}

case $what in
    format)
        # The tree is formatted by clang-format 14; other versions lay out a few
        # constructs differently (struct stat st {}; under 15 and later), so
        # only 14 can judge it. Status 77: skipped.
        version=$("$format" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
        if [ "$version" != 14 ]; then
            echo "SKIP: the tree is formatted by clang-format 14, and this is $("$format" --version)"
            exit 77
        fi
        find lib logger ident deadline accept tests fuzz bench \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 |
            xargs -0 "$format" --dry-run --Werror
        ;;
    tidy)
        [ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 1; }
        printf '%s\n' lib/*.cpp logger/*.cpp ident/*.cpp deadline/*.cpp accept/*.cpp tests/*.cpp |
            xargs -P 2 -n 1 "$tidy" -p "$build" --quiet 2>/dev/null
        ;;
    shell)
        command -v shellcheck >/dev/null || {
            echo "SKIP: shellcheck is not installed (scripts/deps.sh installs it)"
            exit 77
        }
        mapfile -t files < <(shell_files)
        mapfile -t recipes < <(printf '%s\n' "${files[@]}" | grep '^\./deploy/')
        mapfile -t scripts < <(printf '%s\n' "${files[@]}" | grep -v '^\./deploy/')
        # At the default severity, with the checks that .shellcheckrc leaves
        # out and why. The recipes are shipped as administrators copy them:
        # ident-forward-rewind picks the newest of rsyslog's state files,
        # which rsyslog names imfile-state:INODE:HASH, with ls -t (SC2012).
        status=0
        shellcheck "${scripts[@]}" || status=1
        shellcheck -e SC2012 "${recipes[@]}" || status=1
        indented_by_4 "${files[@]}" || status=1
        [ "$status" -eq 0 ] || exit 1
        echo "shellcheck $(shellcheck --version | sed -n 's/^version: //p'): ${#files[@]} shell files clean"
        ;;
    *)
        echo "usage: lint.sh format|tidy BUILD_DIR | lint.sh shell" >&2
        exit 2
        ;;
esac
