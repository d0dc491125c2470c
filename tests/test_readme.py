"""The README's examples run as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_has_examples():
    assert python_blocks()


def test_readme_examples_run():
    namespace = {}  # later examples may build on earlier ones
    for block in python_blocks():
        exec(compile(block, str(README), "exec"), namespace)
