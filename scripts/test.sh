#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build, the same tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== build (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON >/dev/null
cmake --build build
echo "== tests"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600)

echo "== build (ASan + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON -DQX_WERROR=ON -DQX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan
echo "== tests under sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 900)

if ls fuzz/fuzz_*.cpp >/dev/null 2>&1; then
    echo "== fuzz targets (short run)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQX_FUZZ=ON \
        -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz --target $(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
    for src in fuzz/fuzz_*.cpp; do
        name=$(basename "$src" .cpp)
        corpus=fuzz/corpus/${name#fuzz_}
        mkdir -p build-fuzz/corpus/$name
        echo "-- $name"
        build-fuzz/bin/$name -max_total_time=20 -rss_limit_mb=2048 -print_final_stats=0 \
            build-fuzz/corpus/$name $( [ -d "$corpus" ] && echo "$corpus" ) 2>&1 | tail -2
    done
fi
echo "== all tests passed"
