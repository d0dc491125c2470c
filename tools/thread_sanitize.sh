#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer into build/tsan and runs tests
# against that build (by default the graph builder's, whose threads share
# one mesh). The interpreter is not instrumented, so the TSan runtime is
# preloaded; only races between instrumented accesses (the module's own
# threads, and the threads that call it) are reported, and any report fails
# the run.
#
# Usage: tools/thread_sanitize.sh [pytest arguments]    (PYTHON selects the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}
PYTHON=$(command -v "$PYTHON")
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVU_DISPATCH=OFF \
      -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" \
      -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build build/tsan
site=$PWD/build/tsan/site
rm -rf "$site" && mkdir -p "$site"
cp build/tsan/_tevu*.so "$site/"
export LD_PRELOAD
LD_PRELOAD="$(${CXX:-g++} -print-file-name=libtsan.so)"
export TSAN_OPTIONS="exitcode=66 report_signal_unsafe=0"
if [ $# -eq 0 ]; then set -- tests/test_delaunay_graph.py -q; fi
PYTHONPATH="$site" "$PYTHON" -m pytest -p no:cacheprovider "$@"
