#!/usr/bin/env bash
# Installs the Debian 12 packages Quorvex needs to build, run and test (run as root).
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-svg-dev libsqlite3-dev sqlite3 libedit-dev
    libgtest-dev googletest
    lrzsz zip unzip xvfb xauth
    clang libclang-rt-14-dev
    dpkg-dev file
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The installer's own chatter goes to a log that is shown only when something fails.
    log=$(mktemp)
    if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
        >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
fi
