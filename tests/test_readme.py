"""The README's examples run as written."""

import ast
import importlib.util
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def missing_imports(block):
    """Top-level modules the block imports that are not installed (the
    optional components: Dask's distributed, say)."""
    names = set()
    for node in ast.walk(ast.parse(block)):
        if isinstance(node, ast.Import):
            names |= {a.name.split(".")[0] for a in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module:
            names.add(node.module.split(".")[0])
    return sorted(n for n in names if importlib.util.find_spec(n) is None)


def test_readme_has_examples():
    assert python_blocks()


def test_readme_examples_run():
    namespace = {}  # later examples may build on earlier ones
    skipped = []
    for block in python_blocks():
        missing = missing_imports(block)
        if missing:
            skipped.append(", ".join(missing))
            continue
        exec(compile(block, str(README), "exec"), namespace)
    if skipped:
        pytest.skip(f"examples that need {'; '.join(skipped)} were left out")
