#!/usr/bin/env bash
# Builds the libFuzzer target of the search core, with AddressSanitizer and
# UndefinedBehaviorSanitizer, into build/fuzz/fuzz_core. Needs clang and its
# runtime (Debian: apt-get install clang libclang-rt-dev); CLANGXX picks
# another compiler. No CMake: the core has no dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
CLANGXX=${CLANGXX:-clang++}
mkdir -p build/fuzz
# -ffp-contract=off as in the module: the target recomputes distances and
# compares them bit for bit with the core's. One copy of the searches
# (TEVU_NO_DISPATCH): clang cannot clone the flattened entry points per
# processor. grouped_set.cpp, the grouped sets' build and finalization, has
# no Python dependency. Query graphs of 8 rows or more are answered in a
# planned order (normally from 256), so the inputs of up to 24 rows take both
# the planned and the literal order.
"$CLANGXX" -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-math-errno \
    -Wall -Wextra -Wno-psabi -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -DTEVU_NO_DISPATCH -DTEVU_PLANNED_FROM=8 -Isrc fuzz/fuzz_core.cpp src/core/*.cpp src/python/grouped_set.cpp \
    -o build/fuzz/fuzz_core
echo build/fuzz/fuzz_core
