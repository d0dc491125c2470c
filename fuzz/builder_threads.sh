#!/usr/bin/env bash
# Builds fuzz/builder_threads.cpp with ThreadSanitizer and runs it: the
# graph builder's shared rounds of insertions on clouds of every awkward
# kind, with 1, 2 and 3 threads (a few minutes). Fails on a race or on a
# graph that depends on the number of threads. Needs clang and its runtime,
# as fuzz/build.sh does; CLANGXX picks another compiler (g++ works too).
#
# Usage: fuzz/builder_threads.sh
set -euo pipefail
cd "$(dirname "$0")/.."
CLANGXX=${CLANGXX:-clang++}
mkdir -p build/fuzz
out=build/fuzz/builder_threads_tsan
# Optimised as the module is, so the runs stay short; -g for the reports.
# Without vectorised loops, whose accesses ThreadSanitizer can miss, and
# with its longest history, without which it drops a race whose first
# access lies far back in the other thread's past.
"$CLANGXX" -std=c++20 -O2 -g -fno-omit-frame-pointer -fno-vectorize -fno-slp-vectorize \
    -ffp-contract=off -fno-math-errno -Wall -Wextra -Wno-psabi -fsanitize=thread \
    -DTEVU_NO_DISPATCH -Isrc fuzz/builder_threads.cpp src/core/*.cpp -o "$out"
TSAN_OPTIONS=halt_on_error=1:history_size=7${TSAN_OPTIONS:+:$TSAN_OPTIONS} "$out"
