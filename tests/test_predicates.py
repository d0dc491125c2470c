"""The core's exact predicates against integer arithmetic.

tests/predicates_check.cpp draws tied and nearly tied configurations of
whole-number points and compares orient3d's and insphere's signs with
determinants computed in 128-bit integers; it is compiled here against the
core's sources, which need no Python.
"""

import os
import pathlib
import platform
import re
import shlex
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = ROOT / "src" / "core"


def cpu_has_fma():
    try:
        flags = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return None
    return " fma" in flags


# Products' error terms come from fused multiply-adds where the CPU has them
# (x86-64); the plain build keeps the other path checked on such CPUs.
@pytest.mark.parametrize("defines", [[], ["-DTEVU_NO_DISPATCH"]], ids=["dispatched", "plain"])
def test_predicates_agree_with_integer_arithmetic(tmp_path, defines):
    # CXX may carry a launcher or flags ("ccache g++").
    cxx = shlex.split(os.environ.get("CXX", "")) or [shutil.which("c++") or shutil.which("g++")]
    if cxx[0] is None or not CORE.is_dir():
        pytest.skip("needs a C++ compiler and the source tree")
    # Neither the compiler nor the check is this interpreter: a sanitized
    # run's preloads and options are not theirs.
    env = {name: value for name, value in os.environ.items()
           if name != "LD_PRELOAD" and not name.endswith("SAN_OPTIONS")}
    exe = tmp_path / "predicates_check"
    built = subprocess.run(
        [*cxx, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-math-errno", "-Wno-psabi", *defines,
         f"-I{ROOT / 'src'}", str(ROOT / "tests" / "predicates_check.cpp"),
         str(CORE / "predicates.cpp"), str(CORE / "expansion.cpp"),
         str(CORE / "integer_predicates.cpp"), str(CORE / "fixed_predicates.cpp"), "-o", str(exe)],
        env=env, capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stderr
    done = subprocess.run([str(exe), "300000"], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "predicates agree" in done.stdout
    # Both widths of the fixed-width integers were exercised.
    fixed, wide = map(int, re.search(r"(\d+) in fixed width \((\d+) wide\)", done.stdout).groups())
    assert 0 < wide < fixed
    fused = done.stdout.strip().endswith("fused products: yes")
    if defines:
        assert not fused
    elif platform.machine() in ("x86_64", "AMD64") and cpu_has_fma() is not None:
        assert fused == cpu_has_fma()
