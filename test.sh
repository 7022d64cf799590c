#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the suite, the suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the formatting check, the Debian package and
# its checks, and each fuzz target for a short while. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
jobs=$(nproc)
fuzz_seconds=${ALVETRA_FUZZ_SECONDS:-60}

step() { printf '\n== %s ==\n' "$*"; }

step "Set-up"
scripts/setup.sh test

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/alvetra-runtime.XXXXXX)}
chmod 700 "$XDG_RUNTIME_DIR"

# Real peers the tests use (printer queue, sound server), started here when none runs.
if [ -x scripts/test-services.sh ]; then
    step "Test services"
    # shellcheck source=/dev/null
    source scripts/test-services.sh
fi

step "Formatting"
mapfile -t sources < <(find app central dialogs dispatch doors files rtf settings receiver serial hooks journal monitor tools tests \
    bench fuzz packaging main.cpp \
    -name '*.cpp' -o -name '*.h' 2>/dev/null | sort)
clang-format --dry-run -Werror "${sources[@]}"

step "Tests"
ctest --test-dir build --output-on-failure -j "$jobs"

step "Debian package"
scripts/package.sh build

step "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
if [ ! -f build-asan/build.ninja ]; then
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DALVETRA_SANITIZE=ON >/dev/null
fi
cmake --build build-asan
# Qt's own libraries keep caches alive until exit; leaks are checked by the fuzzers instead.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

step "Benchmarks build"
if [ ! -f build-bench/build.ninja ]; then
    cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DALVETRA_TESTS=OFF \
        -DALVETRA_BENCH=ON >/dev/null
fi
cmake --build build-bench

step "Fuzzing, ${fuzz_seconds}s a target"
if [ ! -f build-fuzz/build.ninja ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DALVETRA_FUZZ=ON >/dev/null
fi
cmake --build build-fuzz
for target in build-fuzz/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=$(basename "$target")
    work="build-fuzz/corpus-run/$name"
    mkdir -p "$work"
    echo "$name"
    # A fixed seed: the same build explores the same inputs, so a finding can be repeated.
    "$target" -seed=1 -max_total_time="$fuzz_seconds" -print_final_stats=0 "$work" \
        "fuzz/corpus/$name" \
        >"build-fuzz/$name.log" 2>&1 || { tail -50 "build-fuzz/$name.log"; exit 1; }
done

step "All tests passed"
