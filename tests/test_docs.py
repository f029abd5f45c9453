"""The documentation's code samples run and print what the pages say.

Every ``>>>`` example of every page under docs/ runs as a doctest, page by
page (a page's examples share one namespace, as a reader's session would).
Code blocks captioned with a file name (``:caption: calibrate_dask.py``) are
whole scripts: they are written to a temporary directory and run there.
Figures and gallery examples run when ``make docs`` builds the site.
"""

from __future__ import annotations

import doctest
import re
import subprocess
import sys
from pathlib import Path

import pytest

import pelmora
from conftest import child_env

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.rst") if "auto_gallery" not in p.parts)
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


DOCTEST_PAGES = [pytest.param(page, id=str(page.relative_to(DOCS)))
                 for page in PAGES if ">>>" in page.read_text(encoding="utf-8")]


@pytest.mark.parametrize("page", DOCTEST_PAGES)
def test_page_examples(page):
    if page.name == "travel.rst":
        pytest.importorskip("numpy")
    if page.name == "dated.rst":
        pytest.importorskip("pandas", exc_type=ImportError)
    text = page.read_text(encoding="utf-8")
    test = doctest.DocTestParser().get_doctest(text, {"__name__": "__main__"}, page.name, str(page), 0)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    out = []
    runner.run(test, out=out.append)
    assert runner.failures == 0, "".join(out)


_SCRIPT = re.compile(
    r"^\.\. code-block:: python\n   :caption: (?P<name>\w+\.py)\n\n(?P<body>(?:(?:   .*)?\n)+)", re.M)


def _scripts():
    found = {}
    for page in PAGES:
        for match in _SCRIPT.finditer(page.read_text(encoding="utf-8")):
            body = "\n".join(line[3:] for line in match["body"].splitlines()).strip() + "\n"
            found[match["name"]] = (page, body)
    return found


SCRIPTS = _scripts()


def test_scaling_page_has_its_scripts():
    assert {"calibrate_processes.py", "calibrate_dask.py"} <= set(SCRIPTS)


@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_script_sample(name, tmp_path):
    if "dask" in SCRIPTS[name][1]:
        pytest.importorskip("dask.distributed")
    for other, (_, body) in SCRIPTS.items():
        (tmp_path / other).write_text(body, encoding="utf-8")
    run = subprocess.run([sys.executable, name], cwd=tmp_path, env=child_env(), capture_output=True,
                         text=True, timeout=240)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("best k = "), run.stdout


def _api_module():
    sys.path.insert(0, str(DOCS / "_ext"))
    try:
        return __import__("pelmora_api")
    finally:
        sys.path.pop(0)


def test_api_reference_lists_every_member_without_raw_markdown():
    pytest.importorskip("sphinx")
    api = _api_module()
    text = "\n".join(api.describe_tree(pelmora))
    expected = []

    def walk(module, path):
        for name in module.__all__:
            obj = getattr(module, name)
            if isinstance(obj, type(pelmora)):
                expected.append(f".. py:module:: {path}.{name}")
                walk(obj, f"{path}.{name}")
            elif isinstance(obj, type):
                expected.append(f".. py:class:: {name}")
                for member in vars(obj):
                    if not member.startswith("_"):
                        expected.append(f":: {member}")
            else:
                expected.append(f".. py:function:: {name}(")

    walk(pelmora, "pelmora")
    missing = [e for e in expected if e not in text]
    assert not missing
    raw = [line for line in text.splitlines() if line.lstrip().startswith(("# ", "```", "* `"))]
    assert not raw


def test_api_reference_renders_numpydoc_sections():
    pytest.importorskip("sphinx")
    api = _api_module()
    lines = api.markdown_to_rst(pelmora.utils.IncrementalTimeSeries.disaggregate.__doc__)
    text = "\n".join(lines)
    for expected in (".. rubric:: Parameters", "``target_step`` : *int*", ".. rubric:: Returns",
                     "*IncrementalTimeSeries*", ".. rubric:: Raises", "*ValueError*"):
        assert expected in lines, (expected, text)
    assert "----------" not in text  # no underline left to read as a section title
