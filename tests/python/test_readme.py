"""Every ```python block of README.md runs, as written, against the module under test.

The blocks run in README order in one namespace, as a reader who pastes them one after the
other into one interpreter would: later blocks use the index and the arrays of earlier ones.
They run in a child interpreter (a crash or a hang fails this test instead of the suite)
whose working directory is a fresh temporary directory, so the relative paths of the
examples land there and are removed with it."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import tandrel

pytestmark = pytest.mark.timeout(300)

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
FENCE = re.compile(r"^([ \t]*)```python[ \t]*\n(.*?)^\1```[ \t]*$", re.M | re.S)


def python_blocks(text):
    """[(line number of the block's first code line, code)] in README order."""
    return [(text.count("\n", 0, m.start(2)) + 1, textwrap.dedent(m.group(2)))
            for m in FENCE.finditer(text)]


# Runs the blocks given as a list of (line, code) in one namespace; reports the first failing
# block by its README line.
RUNNER = r"""
import json, sys, traceback
blocks = json.load(sys.stdin)
ns = {"__name__": "__main__"}
for line, code in blocks:
    try:
        exec(compile(code, f"README.md:{line}", "exec"), ns)
    except BaseException:
        traceback.print_exc()
        sys.exit(f"the README block at line {line} failed")
print(f"{len(blocks)} blocks ran")
"""


def test_blocks_are_found():
    # Indented blocks (inside list items) count too; a README without any would make the
    # test below pass vacuously.
    blocks = python_blocks(open(README).read())
    assert len(blocks) >= 5
    sample = "- item\n\n  ```python\n  x = 1\n  ```\n\n```python\ny = 2\n```\n"
    assert python_blocks(sample) == [(4, "x = 1\n"), (8, "y = 2\n")]


def test_readme_python_blocks_run(tmp_path):
    blocks = python_blocks(open(README).read())
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.realpath(tandrel.__file__))
    run = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps(blocks),
                         capture_output=True, text=True, timeout=280, cwd=tmp_path, env=env)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-8000:]
    assert f"{len(blocks)} blocks ran" in run.stdout
