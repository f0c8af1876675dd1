#!/usr/bin/env bash
# Code hygiene: every C and C++ source formatted as .clang-format says, and
# the program and library sources clean under .clang-tidy.
#   bash scripts/lint.sh format BUILD_DIR
#   bash scripts/lint.sh tidy BUILD_DIR    (BUILD_DIR holds compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
what=$1
build=$2
format=$(command -v clang-format-14 || command -v clang-format)
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)

case $what in
  format)
    git ls-files -- '*.cpp' '*.h' '*.c' | xargs "$format" --dry-run --Werror
    ;;
  tidy)
    [ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 1; }
    status=0
    for f in lib/*.cpp logger/*.cpp ident/*.cpp; do
      "$tidy" -p "$build" --quiet "$f" 2>/dev/null || status=1
    done
    exit $status
    ;;
  *)
    echo "usage: lint.sh format|tidy BUILD_DIR" >&2
    exit 2
    ;;
esac
