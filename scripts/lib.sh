# SPDX-License-Identifier: MIT
# Shared by the scripts: installs missing Debian packages and configures a build.

mzu_packages=(cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools qt6-base-dev zlib1g-dev
    python3-jsonschema libsodium-dev nginx-light tinyproxy)

# Installs what is missing when run as root; otherwise names it and stops.
mzu_require_packages()
{
    local missing=() p
    for p in "${mzu_packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing ${missing[*]} ..."
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# mzu_configure BUILD_DIR CMAKE_ARGS...: configures quietly, prints the log on failure.
mzu_configure()
{
    local build=$1
    shift
    mkdir -p "$build"
    cmake -S "$here" -B "$build" "$@" >"$build/configure.log" 2>&1 \
        || { cat "$build/configure.log"; echo "configure failed" >&2; exit 1; }
}

# mzu_time NAME COMMAND...: runs COMMAND and adds "NAME Ns" to the summary in mzu_times.
mzu_times=
mzu_time()
{
    local name=$1 start=$SECONDS
    shift
    "$@"
    mzu_times+=" $name $((SECONDS - start)),"
}

# mzu_build BUILD_DIR: builds quietly, prints the log on failure.
mzu_build()
{
    cmake --build "$1" --parallel "$(nproc)" -- --no-print-directory >"$1/build.log" 2>&1 \
        || { cat "$1/build.log"; echo "build failed: $1" >&2; exit 1; }
}

mzu_ctest()
{
    (cd "$1" && ctest --output-on-failure --parallel "$(nproc)")
}

# The .cpp files of src/ and tools/ that differ from the main branch, committed or not; all
# of them with "all", outside a git checkout or without a main branch.
mzu_tidy_files()
{
    local base
    if [ "$1" != all ] && base=$(cd "$here" && git merge-base HEAD main 2>/dev/null); then
        (cd "$here" && { git diff --name-only "$base" -- 'src/*.cpp' 'tools/*.cpp'
            git ls-files --others --exclude-standard 'src/*.cpp' 'tools/*.cpp'; } | sort -u \
            | while read -r f; do [ -f "$f" ] && echo "$here/$f"; done)
    else
        (cd "$here" && find src tools -name '*.cpp' | sort | sed "s|^|$here/|")
    fi
}

# mzu_clang_tidy BUILD_DIR [all|changed]: holds the library and the tool to .clang-tidy,
# using the build's compile_commands.json; fails on any finding. Skipped, with a note,
# without clang-tidy.
mzu_clang_tidy()
{
    local build=$1 log=$1/clang-tidy.log files
    if ! command -v clang-tidy >/dev/null; then
        echo "== clang-tidy is not installed: skipped"
        return 0
    fi
    files=$(mzu_tidy_files "${2:-all}")
    if [ -z "$files" ]; then
        echo "== clang-tidy: no file of src/ or tools/ differs from main"
        return 0
    fi
    echo "== clang-tidy: $(echo "$files" | wc -l) files of src/ and tools/"
    local status=0
    echo "$files" | xargs -P "$(nproc)" -n 1 clang-tidy --quiet -p "$build" >"$log" 2>&1 \
        || status=$?
    if [ $status -ne 0 ]; then
        grep -E -A3 '(warning|error):' "$log" || cat "$log"
        echo "clang-tidy: findings above (whole log: $log)" >&2
        exit 1
    fi
}
