#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds mzupdater with warnings as errors against Qt 5 and Qt 6 and runs every test.
# On a fresh Debian machine, run as root, it first installs what is missing.
#   ./scripts/test.sh              plain builds and test runs (build/qt5-plain, build/qt6-plain)
#   ./scripts/test.sh --sanitize   the same under Address-, UndefinedBehavior- and LeakSanitizer
#   ./scripts/test.sh --qt 5|6     one Qt major only (combines with --sanitize)
#   ./scripts/test.sh --tidy-all   clang-tidy over all of src/ and tools/ (as CI does)
# The plain Qt 6 run also holds to .clang-tidy the files of src/ and tools/ that differ from
# the main branch (all of them with --tidy-all, or where there is no main branch).
# Each run ends with the seconds each step took.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib.sh"

mode=plain
majors=(5 6)
tidy=changed
while [ $# -gt 0 ]; do
    case "$1" in
    --sanitize) mode=sanitize ;;
    --qt)
        case "${2:-}" in
        5 | 6) majors=("$2"); shift ;;
        *) echo "test.sh: --qt takes 5 or 6, not '${2:-}'" >&2; exit 64 ;;
        esac
        ;;
    --tidy-all) tidy=all ;;
    -h | --help) sed -n '3,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown argument '$1' (see --help)" >&2; exit 64 ;;
    esac
    shift
done

mzu_time apt mzu_require_packages
args=(-DMZUPDATER_DEVELOPER=ON -DBUILD_TESTING=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
if [ "$mode" = sanitize ]; then
    args+=(-DCMAKE_BUILD_TYPE=Debug -DMZUPDATER_SANITIZE=ON)
    export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0"
else
    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi

# Qt 5 goes first, so that the Qt 6 package test can install both into one prefix.
previous=
for major in "${majors[@]}"; do
    build="$here/build/qt$major-$mode"
    echo "== Qt $major, $mode: $build"
    mzu_configure "$build" "${args[@]}" -DMZUPDATER_QT_MAJOR="$major" \
        -DMZUPDATER_PACKAGE_TEST_OTHER_BUILD="$previous"
    mzu_time "Qt $major build" mzu_build "$build"
    mzu_time "Qt $major tests" mzu_ctest "$build"
    if [ "$mode" = plain ] && [ "$major" = 6 ]; then
        mzu_time clang-tidy mzu_clang_tidy "$build" "$tidy"
    fi
    previous=$build
done
echo "== seconds taken:${mzu_times}"
