#!/usr/bin/env bash
# The whole test suite on a free-threaded CPython: provides the interpreter
# (tools/free_threaded_python.sh), installs the project with its test extra
# into a virtual environment of it (binary wheels only; a requirement without
# a wheel for it is named and left out, and the tests needing it skip),
# checks that neither the module nor any test requirement turns the GIL back
# on when imported, then runs the suite with every warning an error (so is
# the one an extension gives when it enables the GIL) and the thread tests
# for longer.
#
# Usage: tools/free_threaded_suite.sh [pytest arguments]
#   FT_PREFIX   where the interpreter lives or is built (default /opt/ft313t)
#   FT_VENV     the virtual environment (default .venv-ft, recreated)
#   TEVU_STRESS_SECONDS   how long each thread test runs (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
FT_VENV=${FT_VENV:-.venv-ft}
STRESS_SECONDS=${TEVU_STRESS_SECONDS:-30}
# The interpreter decides from the module declarations alone.
unset PYTHON_GIL

ft_python=$(tools/free_threaded_python.sh "${FT_PREFIX:-/opt/ft313t}")
rm -rf "$FT_VENV"
"$ft_python" -m venv "$FT_VENV"
python="$FT_VENV/bin/python"
"$python" tools/free_threaded.py install
"$python" tools/free_threaded.py check-gil
"$python" -W error -m pytest -q "$@"
TEVU_STRESS_SECONDS=$STRESS_SECONDS "$python" -W error -m pytest -q \
    tests/test_thread_stress.py tests/test_free_threading.py
