"""Helpers of the free-threaded test run (tools/free_threaded_suite.sh), run by
the free-threaded interpreter of the virtual environment under test.

  install    installs the project with its test extra, binary wheels only (a
             source build of NumPy alone takes longer than the whole suite).
             Each requirement is first resolved on its own; one that has no
             wheel for this interpreter is left out and named, so that the
             tests needing it skip while the rest of the suite runs.
  check-gil  imports the module, then the project's other packages and each
             installed test requirement, each in a fresh process, and fails naming every import after which the
             interpreter runs with the GIL enabled again.
"""

import argparse
import importlib.metadata
import json
import os
import re
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NAME = re.compile(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)\s*(?:\[([^\]]*)\])?")


def normalized(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def requirements(extra="test"):
    """The project's dependencies and those of `extra`, with the extras of the
    project itself that it names expanded, in order, without repeats."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    own = normalized(project["name"])
    extras = project.get("optional-dependencies", {})
    found, seen_extras = [], set()

    def add(reqs):
        for req in reqs:
            match = NAME.match(req)
            if match and normalized(match.group(1)) == own:
                for name in (match.group(2) or "").split(","):
                    name = name.strip()
                    if name and name not in seen_extras:
                        seen_extras.add(name)
                        add(extras.get(name, []))
            elif req not in found:
                found.append(req)

    add(project.get("dependencies", []))
    seen_extras.add(extra)
    add(extras.get(extra, []))
    return found


def pip(*args, quiet=True):
    command = [sys.executable, "-m", "pip", "install", "--only-binary=:all:", *args]
    if quiet:
        return subprocess.run(command, capture_output=True, text=True)
    return subprocess.run(command)


def failure_reason(output):
    """pip's last error line, and what caused a resolution conflict."""
    lines = [line.strip() for line in output.splitlines()]
    errors = [line for line in lines if line.startswith("ERROR:")]
    causes = sorted({line.split(" depends on ")[1] for line in lines if " depends on " in line})
    reason = errors[-1] if errors else "pip failed"
    return reason + (f"; needs {', '.join(causes)}" if causes else "")


def install(_args):
    reqs = requirements()
    missing = []
    for req in reqs:
        probe = pip("--dry-run", req)
        if probe.returncode != 0:
            missing.append((req, failure_reason(probe.stdout + probe.stderr)))
    usable = [req for req in reqs if req not in {r for r, _ in missing}]
    for req, reason in missing:
        print(f"free-threaded: {req!r} cannot be installed from wheels here ({reason}); "
              "the tests that need it are skipped", flush=True)
    done = pip(str(ROOT), *usable, quiet=False)
    if done.returncode != 0:
        sys.exit(done.returncode)
    print("free-threaded: installed the project with " + (", ".join(usable) or "nothing else"),
          flush=True)


CHECK = """
import importlib, json, sys, warnings
import _tevu
before = sys._is_gil_enabled()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for name in sys.argv[1:]:
        importlib.import_module(name)
print(json.dumps({"before": before, "after": sys._is_gil_enabled(),
                  "warnings": [str(w.message) for w in caught
                               if issubclass(w.category, RuntimeWarning)]}))
"""


def import_names(dist):
    """The top-level modules a distribution installs (public ones if any)."""
    top = importlib.metadata.packages_distributions()
    names = sorted(m for m, dists in top.items()
                   if m.isidentifier() and dist in {normalized(d) for d in dists})
    public = [m for m in names if not m.startswith("_")]
    return public or names


def check_gil(_args):
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        sys.exit(f"{sys.executable} is not a free-threaded interpreter")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    own = normalized(tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["name"])
    groups = [(own, [m for m in import_names(own) if m != "_tevu"])]
    for req in requirements():
        dist = normalized(NAME.match(req).group(1))
        try:
            importlib.metadata.distribution(dist)
        except importlib.metadata.PackageNotFoundError:
            print(f"free-threaded: {dist} is not installed, not checked")
            continue
        groups.append((dist, import_names(dist)))
    failed = []
    for dist, modules in groups:
        # Run outside the source tree, so that the installed module is the one
        # imported.
        done = subprocess.run([sys.executable, "-c", CHECK, *modules], env=env, cwd="/",
                              capture_output=True, text=True)
        if done.returncode != 0:
            failed.append(f"{dist}: importing {modules} failed:\n{done.stderr}")
            continue
        state = json.loads(done.stdout)
        if state["before"]:
            failed.append("the GIL is enabled after importing _tevu")
        elif state["after"]:
            failed.append(f"{dist}: importing {', '.join(modules)} enables the GIL: "
                          + " / ".join(state["warnings"]))
        else:
            print("free-threaded: GIL still disabled after importing _tevu"
                  + (f" and {', '.join(modules)}" if modules else ""))
    if failed:
        sys.exit("free-threaded: " + "\nfree-threaded: ".join(failed))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(required=True)
    commands.add_parser("install").set_defaults(run=install)
    commands.add_parser("check-gil").set_defaults(run=check_gil)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
