"""The source layout keeps the Python boundary visible: every file under
src/binding/ uses the C API, and no kernel source includes Python.h."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"
PYTHON_FACE = re.compile(r"^py_|^pelmora\.cpp$")


@pytest.mark.parametrize("path", sorted((SRC / "binding").iterdir()), ids=lambda p: p.name)
def test_binding_holds_only_c_api_code(path):
    text = path.read_text()
    assert path.name.startswith("py_"), f"{path.name}: binding files are named py_*"
    assert re.search(r'#include [<"](Python\.h|binding/py_\w+\.hpp)[>"]', text) or "PyObject" in text, (
        f"{path.name} touches no Python API: it belongs outside binding/"
    )


def test_kernels_never_include_python():
    offenders = [
        str(p.relative_to(SRC))
        for p in SRC.rglob("*.[ch]pp")
        if not PYTHON_FACE.search(p.name) and re.search(r'#include [<"](Python\.h|binding/)', p.read_text())
    ]
    assert offenders == []
