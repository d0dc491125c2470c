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
# compares them bit for bit with the core's.
"$CLANGXX" -std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-math-errno \
    -Wall -Wextra -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -Isrc fuzz/fuzz_core.cpp src/core/*.cpp -o build/fuzz/fuzz_core
echo build/fuzz/fuzz_core
