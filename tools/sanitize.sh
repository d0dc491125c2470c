#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer into
# build/sanitize and runs the whole test suite against that build. The
# interpreter is not instrumented, so the ASan runtime is preloaded; Python's
# allocator is switched to malloc so that ASan sees every allocation. Any
# finding aborts the run with a non-zero status.
#
# The searches are built for the x86-64 baseline only (TEVU_DISPATCH=OFF):
# the normal build runs their AVX2 clones on this machine, so this run is
# the one that tests the baseline code.
#
# Usage: tools/sanitize.sh [pytest arguments]    (PYTHON selects the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}
PYTHON=$(command -v "$PYTHON")

cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVU_SANITIZE=ON -DTEVU_DISPATCH=OFF \
      -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build build/sanitize

# libstdc++ is preloaded as well: the interpreter does not link it, and ASan
# must find the real __cxa_throw when it starts.
export LD_PRELOAD
LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
# Reports go to files, printed at the end: pytest captures stderr, and an
# abort in the middle of a test would lose what it captured.
reports=$PWD/build/sanitize/reports
rm -rf "$reports" && mkdir -p "$reports"
# allocator_may_return_null: a request beyond the address space (the tests
# ask for some on purpose) fails as it does without ASan, as a null from
# malloc that the module turns into MemoryError, instead of aborting.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1:allocator_may_return_null=1:log_path=$reports/asan
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0:malloc_context_size=4
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan
export PYTHONPATH=$PWD/build/sanitize${PYTHONPATH:+:$PYTHONPATH}
results=$PWD/build/sanitize/pytest.xml
rm -f "$results"
status=0
"$PYTHON" -m pytest -q -p no:cacheprovider --junitxml="$results" "$@" || status=$?
# Besides reports the directory collects ASan's warnings about refused
# allocations, which are no findings.
mapfile -t findings < <(grep -rl -e "ERROR: " -e "runtime error" "$reports")
if ((${#findings[@]})); then
    cat "${findings[@]}" >&2
    exit $((status ? status : 1))
fi
((status == 0)) && exit 0
# An abort without a finding. LeakSanitizer checks for leaks at exit by
# stopping every thread with ptrace; where it cannot (a sandbox, a thread
# caught starting or ending), it gives up with a fatal error of its own and
# aborts the interpreter after every test has passed. That says nothing about
# this code: it is shown, and the run passes if pytest's own record says every
# test passed. Any other abort shows every report and fails.
all_passed() {
    env -u LD_PRELOAD "$PYTHON" - "$results" <<'EOF'
import sys
import xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError):
    sys.exit(1)
suite = root if root.tag == "testsuite" else root.find("testsuite")
ok = (suite is not None and int(suite.get("tests", "0")) > 0
      and suite.get("errors") == "0" and suite.get("failures") == "0")
sys.exit(0 if ok else 1)
EOF
}
if ((status == 134)) && grep -rqF "LeakSanitizer has encountered a fatal error" "$reports" && all_passed; then
    echo "tools/sanitize.sh: every test passed, but LeakSanitizer could not run its check at exit:" >&2
    cat "$reports"/* >&2
    exit 0
fi
echo "tools/sanitize.sh: the run ended with status $status and no finding; its reports:" >&2
cat "$reports"/* >&2 2>/dev/null || true
exit "$status"
