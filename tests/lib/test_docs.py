"""The documentation's examples are real: its code is the example programs
the tests run (or runs itself), what it says they print is what they print,
and every JSON example has the shape of the type it names."""

import json
import pathlib
import re
import runpy
import subprocess
import sys

import pytest

from tallowmere import types
from test_types import mismatch

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = sorted((ROOT / "docs").glob("*.md"))
# Pages whose programs live in an example file; their blocks are excerpts.
EXAMPLES = {"quickstart.md": "examples/quickstart.py", "exports.md": "examples/model_exports.py",
            "durable.md": "examples/demo.py"}
FENCE = re.compile(r"(?:<!-- shape: ([^\n]+) -->\n)?```(\w+)\n(.*?)```", re.S)


def blocks(page, language):
    return [(shape, body) for shape, kind, body in FENCE.findall(page.read_text())
            if kind == language]


def run(example):
    return subprocess.run([sys.executable, "-P", str(ROOT / example)], capture_output=True,
                          text=True, check=True).stdout


@pytest.mark.parametrize("page", DOCS, ids=lambda page: page.name)
def test_python_blocks_are_excerpts_of_the_examples_or_run(page):
    example = EXAMPLES.get(page.name)
    source = (ROOT / example).read_text() if example else ""
    namespace = runpy.run_path(str(ROOT / example)) if page.name == "quickstart.md" else {}
    for _, body in blocks(page, "python"):
        if body not in source:
            exec(compile(body, page.name, "exec"), namespace)


def test_the_quickstart_prints_what_its_page_says():
    [(_, program)] = [block for block in blocks(ROOT / "docs/quickstart.md", "python")
                      if block[1].startswith('"""')]
    assert program == (ROOT / "examples/quickstart.py").read_text()
    assert run("examples/quickstart.py") == blocks(ROOT / "docs/quickstart.md", "text")[0][1]


def test_the_converters_agree_with_their_libraries():
    lines = run("examples/model_exports.py").splitlines()
    assert len(lines) == 3
    for line in lines:
        assert float(line.rpartition(" ")[2]) < 1e-6, line


@pytest.mark.parametrize("page", DOCS, ids=lambda page: page.name)
def test_json_examples_have_the_shapes_they_name(page):
    for shape, body in blocks(page, "json"):
        value = json.loads(body)
        if shape:
            kind = eval(shape, vars(types))
            assert mismatch(kind, value) is None, (shape, mismatch(kind, value))
