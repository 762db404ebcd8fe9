#!/usr/bin/env bash
# Builds Quorvex into build/ (executables in build/bin). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON "$@" >/dev/null
cmake --build build
