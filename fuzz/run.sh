#!/usr/bin/env bash
# Runs the core's fuzz target for a bounded time on a scratch copy of the
# seed corpus fuzz/corpus (the inputs it discovers are thrown away, so the
# repository stays as it is). A finding stops the run with a non-zero
# status and leaves the input that triggered it in build/fuzz/findings/;
# replay it with build/fuzz/fuzz_core <file>.
#
# Usage: fuzz/run.sh [seconds (default 60)] [libFuzzer options...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))

fuzz/build.sh >/dev/null
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tevu-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp fuzz/corpus/* "$scratch/"
mkdir -p build/fuzz/findings
build/fuzz/fuzz_core -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 "$@" "$scratch"
