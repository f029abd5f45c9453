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


def _members(module, path):
    """(qualified name, object) of every function, class, method and property
    below ``module``, in registration order."""
    for name in module.__all__:
        obj = getattr(module, name)
        if isinstance(obj, type(pelmora)):
            yield from _members(obj, f"{path}.{name}")
        elif isinstance(obj, type):
            yield f"{path}.{name}", obj
            for member, value in vars(obj).items():
                if not member.startswith("_"):
                    yield f"{path}.{name}.{member}", value
        else:
            yield f"{path}.{name}", obj


def _parameters(obj):
    """The parameter names a callable reports, without the bound first one
    ($self, $type), or None."""
    sig = getattr(obj, "__text_signature__", None)
    if sig is None:
        return None
    import inspect

    names = list(inspect.signature(obj).parameters)
    return names[1:] if sig.startswith("($") else names


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
    # No numpydoc section is left as a heading and its row of dashes.
    assert not re.search(r"^\s*(Parameters|Returns|Raises|Warns|Notes|Attributes)\n\s*-{3,}$", text, re.M)


def test_api_reference_shows_every_documented_parameter_with_its_type():
    pytest.importorskip("sphinx")
    api = _api_module()
    for name, obj in _members(pelmora, "pelmora"):
        doc, params = getattr(obj, "__doc__", None), _parameters(obj)
        if not api.is_numpydoc(doc) or not params:
            continue
        what = "class" if isinstance(obj, type) else "function"
        rendered = "\n".join(api.docstring_to_rst(doc, what))
        for param in params:
            assert f":param {param}:" in rendered and f":type {param}:" in rendered, (name, param)


# Every callable's docstring is in the numpydoc form.
def _documented():
    """Every class and callable of the module, and every public method of
    its classes, found by walking the module: a new member's docstring is
    checked without editing a list."""
    from members import MEMBERS

    for m in MEMBERS:
        yield f"{m.module}.{m.name}"
        if m.is_class:
            for name, attr in vars(m.obj).items():
                if not name.startswith("_") and callable(attr):
                    yield f"{m.module}.{m.name}.{name}"


NUMPYDOC = list(_documented())
SECTION_ORDER = ["Parameters", "Attributes", "Returns", "Raises", "Warns", "See Also", "Notes", "Examples"]
# What a docstring must not say: Rust's words for Python's.
FOREIGN = ["PyValueError", "Panics", "`true`", "`false`", "# Arguments", "# Returns", "# Errors", "# Fields",
           "Vec<", "Option<", "&str", "f64"]


@pytest.mark.parametrize("name", NUMPYDOC)
def test_numpydoc_docstring(name):
    obj = pelmora
    for part in name.split("."):
        obj = getattr(obj, part) if not isinstance(obj, type) else vars(obj)[part]
    doc = obj.__doc__
    assert not [w for w in FOREIGN if w in doc]
    sections = re.findall(r"^(\w[\w ]*)\n(-+)$", doc, re.M)
    assert all(len(dashes) == len(title) for title, dashes in sections)
    titles = [title for title, _ in sections]
    assert titles == sorted(titles, key=SECTION_ORDER.index)
    # Parameters: every one the signature has, in its order, each with a type
    # and an indented description.
    documented = re.findall(r"^(\w+) : (\S.*)\n    \S", doc.split("Parameters\n----------\n")[-1], re.M)
    params = _parameters(obj)
    if params:
        assert [p for p, _ in documented][:len(params)] == params
    if not isinstance(obj, type):
        assert "Returns" in titles
    for title in ("Returns", "Raises", "Warns"):
        if title in titles:
            body = doc.split(f"{title}\n{'-' * len(title)}\n")[1]
            assert re.match(r"\w[\w.]*( : \S.*)?\n    \S", body), (title, body[:80])
