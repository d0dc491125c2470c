#!/usr/bin/env bash
# Builds the fuzz target of the search core. By default the libFuzzer target
# with AddressSanitizer and UndefinedBehaviorSanitizer, build/fuzz/fuzz_core;
# with `thread`, build/fuzz/fuzz_core_tsan with ThreadSanitizer, which runs
# only the searches that share graphs between threads, from a driver of its
# own (fuzz/standalone.cpp: libFuzzer's coverage counters would be reported
# as races). Needs clang and its runtime (Debian: apt-get install clang
# libclang-rt-dev); CLANGXX picks another compiler. No CMake: the core has no
# dependencies.
#
# Usage: fuzz/build.sh [address|thread]    (prints the target's path)
set -euo pipefail
cd "$(dirname "$0")/.."
CLANGXX=${CLANGXX:-clang++}
case "${1:-address}" in
    address)
        sanitize=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
        out=build/fuzz/fuzz_core ;;
    thread)
        # The checks of the other entry points are compiled but not run.
        sanitize=(-fsanitize=thread -DTEVU_FUZZ_THREADS=4 -Wno-unused-function
                  -Wno-unneeded-internal-declaration fuzz/standalone.cpp)
        out=build/fuzz/fuzz_core_tsan ;;
    *)
        echo "usage: fuzz/build.sh [address|thread]" >&2
        exit 2 ;;
esac
mkdir -p build/fuzz
# -ffp-contract=off as in the module: the target recomputes distances and
# compares them bit for bit with the core's. One copy of the searches
# (TEVU_NO_DISPATCH): clang cannot clone the flattened entry points per
# processor. grouped_set.cpp, the grouped sets' build and finalization, has
# no Python dependency. Query graphs of 8 rows or more are answered in a
# planned order (normally from 256), so the inputs of up to 24 rows take both
# the planned and the literal order.
"$CLANGXX" -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-math-errno \
    -Wall -Wextra -Wno-psabi "${sanitize[@]}" \
    -DTEVU_NO_DISPATCH -DTEVU_PLANNED_FROM=8 -Isrc fuzz/fuzz_core.cpp src/core/*.cpp src/python/grouped_set.cpp \
    -o "$out"
echo "$out"
