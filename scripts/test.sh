#!/usr/bin/env bash
# Builds mzupdater with warnings as errors and runs every test.
# On a fresh Debian machine, run as root, it first installs what is missing.
#   ./scripts/test.sh              plain build and test run
#   ./scripts/test.sh --sanitize   the same under Address-, UndefinedBehavior- and LeakSanitizer
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib.sh"

mode=plain
for arg in "$@"; do
    case "$arg" in
    --sanitize) mode=sanitize ;;
    -h | --help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg' (see --help)" >&2; exit 64 ;;
    esac
done

mzu_require_packages minisign # the signature tests sign with it; without it they use committed signatures
build="$here/build/$mode"
args=(-DMZUPDATER_DEVELOPER=ON -DBUILD_TESTING=ON)
if [ "$mode" = sanitize ]; then
    args+=(-DCMAKE_BUILD_TYPE=Debug -DMZUPDATER_SANITIZE=ON)
    export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0"
else
    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
mzu_configure "$build" "${args[@]}"
cmake --build "$build" --parallel "$(nproc)" -- --no-print-directory >"$build/build.log" 2>&1 \
    || { cat "$build/build.log"; echo "test.sh: build failed" >&2; exit 1; }
cd "$build"
ctest --output-on-failure --parallel "$(nproc)"
