#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the example host (build/demo, Release, against the Qt a plain build picks: Qt 6
# when it is installed, else Qt 5) and runs it as if DemoApp 1.0.0 were installed, against
# examples/Versions.json served on a loopback port with examples/files/convert-db beside it
# (python3's http.server; without python3 the file is read through a file:// address).
# On a fresh Debian machine, run as root, it first installs what is missing.
#   ./scripts/demo.sh [VERSION]    the installed release to pretend (default 1.0.0)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/lib.sh"

case "${1:-}" in
-h | --help) sed -n '3,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
installed=${1:-1.0.0}

mzu_require_packages
# Optional: the demo falls back to a file:// address without it.
command -v python3 >/dev/null 2>&1 || (mzu_require_packages python3) \
    || echo "demo.sh: python3 is not available; serving the manifest as a file" >&2

build="$here/build/demo"
mzu_configure "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DMZUPDATER_BUILD_TOOLS=OFF -DMZUPDATER_BUILD_EXAMPLES=ON
cmake --build "$build" --target mzupdater-host --parallel "$(nproc)" -- --no-print-directory \
    >"$build/build.log" 2>&1 || { cat "$build/build.log"; echo "demo.sh: build failed" >&2; exit 1; }
host="$build/examples/host/mzupdater-host"
ini="$(dirname "$host")/maintenancetool.ini"

server_pid=
# shellcheck disable=SC2317 # called by the trap
cleanup()
{
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -f "$ini"
}
trap cleanup EXIT

# Answers 0 once the manifest can be fetched from $1.
manifest_served()
{
    python3 - "$1" <<'EOF' 2>/dev/null
import sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=2) as reply:
    sys.exit(0 if reply.status == 200 else 1)
EOF
}

address=
if command -v python3 >/dev/null 2>&1; then
    # The kernel names a free port; another program may take it before the server binds,
    # so a server that dies at once is retried on a new port.
    for _ in 1 2 3 4 5; do
        port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        # The sample's convert-db, which exists, served beside the manifest for the host
        # to fetch and check against its entry; the other files are published nowhere.
        rm -rf "$build/site" && mkdir -p "$build/site" && cp -r "$here/examples/files" "$build/site/"
        sed -E "s#https://downloads\.example\.com/demoapp/[^\"]*/convert-db#http://127.0.0.1:$port/files/convert-db#" \
            "$here/examples/Versions.json" >"$build/site/Versions.json"
        python3 -m http.server --bind 127.0.0.1 --directory "$build/site" "$port" \
            >"$build/http.log" 2>&1 &
        server_pid=$!
        for _ in $(seq 50); do
            if manifest_served "http://127.0.0.1:$port/Versions.json"; then
                address="http://127.0.0.1:$port/Versions.json"
                break 2
            fi
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    done
    [ -n "$address" ] || { cat "$build/http.log" >&2; echo "demo.sh: cannot start the manifest server" >&2; exit 1; }
else
    address="file://$here/examples/Versions.json"
fi

# Quoted, so that a ',' or ';' in the address stays part of it.
printf '[URL]\nVersions="%s"\n' "$address" >"$ini"
echo "== Manifest: $address"
echo "== Running: $host $installed"
echo
status=0
"$host" "$installed" || status=$?
echo
echo "== The host exited with status $status"
exit "$status"
