#!/usr/bin/env bash
# Runs the core's fuzz target for a bounded time on a scratch copy of the
# seed corpus fuzz/corpus (the inputs it discovers are thrown away, so the
# repository stays as it is). A finding stops the run with a non-zero
# status and leaves the input that triggered it in build/fuzz/findings/;
# replay it with build/fuzz/fuzz_core <file>.
#
# TEVU_FUZZ_SANITIZER=thread runs the ThreadSanitizer build instead (see
# fuzz/build.sh): the searches on graphs shared by several threads, on the
# seeds and random edits of them; a finding leaves its input in
# build/fuzz/findings/tsan-input (replay: build/fuzz/fuzz_core_tsan <file>).
#
# Usage: fuzz/run.sh [seconds (default 60)] [fuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
sanitizer=${TEVU_FUZZ_SANITIZER:-address}

target=$(fuzz/build.sh "$sanitizer")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tevu-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp fuzz/corpus/* "$scratch/"
mkdir -p build/fuzz/findings
if [[ "$sanitizer" == thread ]]; then
    # The longest history: with less, a race whose first access lies far
    # back in the other thread's past is dropped.
    export TSAN_OPTIONS=halt_on_error=1:history_size=7${TSAN_OPTIONS:+:$TSAN_OPTIONS}
    "$target" -seconds="$seconds" -artifact=build/fuzz/findings/tsan-input "$@" "$scratch"
    rm -f build/fuzz/findings/tsan-input
    exit
fi
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 "$@" "$scratch"
