"""Sphinx configuration of the pelmora documentation.

Built by ``make docs`` against the freshly built extension (PYTHONPATH=build):
every figure, gallery example and the API reference come from running the
module itself.  The site needs no network, to build or to view: equations are
rendered by a local copy of MathJax 3 (SVG output, no web fonts), and nothing
is loaded from a CDN.
"""

from __future__ import annotations

import os
import sys
import tomllib
from pathlib import Path

DOCS = Path(__file__).resolve().parent
REPO = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import gallery_style  # noqa: E402  (docs/_ext)
import pelmora  # noqa: E402  (the built module; make docs puts build/ on the path)

project = "pelmora"
author = "the pelmora developers"
copyright = "the pelmora developers"
release = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]
version = release

extensions = [
    "sphinx.ext.mathjax",
    "matplotlib.sphinxext.plot_directive",
    "sphinx_gallery.gen_gallery",
    "sphinx_copybutton",
    "pelmora_api",
]

root_doc = "index"
source_suffix = {".rst": "restructuredtext"}
exclude_patterns = ["_build", "gallery/GALLERY_HEADER.rst", "auto_gallery/*.md5", "auto_gallery/*.py",
                    "auto_gallery/*.ipynb", "auto_gallery/*.zip"]
templates_path: list[str] = []
default_role = "code"
highlight_language = "python3"
pygments_style = "sphinx"

# ---- HTML ------------------------------------------------------------------

html_theme = "furo"
html_title = f"pelmora {release}"
html_static_path = ["_static"]
html_css_files = ["pelmora.css"]
html_show_sourcelink = False
html_copy_source = False
html_last_updated_fmt = None


def _mathjax() -> Path:
    """The local MathJax 3 bundle (TeX input, SVG output)."""
    candidates = [
        os.environ.get("PELMORA_MATHJAX", ""),
        REPO / ".toolchain/root/usr/share/nodejs/mathjax-full/es5/tex-svg.js",
        "/usr/share/nodejs/mathjax-full/es5/tex-svg.js",
        "/usr/share/javascript/mathjax/es5/tex-svg.js",
    ]
    for candidate in candidates:
        if candidate and Path(candidate).is_file():
            return Path(candidate)
    raise RuntimeError("MathJax 3 (tex-svg.js) not found: set PELMORA_MATHJAX to its path "
                       "(Debian package node-mathjax-full)")


# The bundle is copied into the site's _static, so equations render offline.
html_static_path.append(str(_mathjax()))
mathjax_path = "tex-svg.js"
mathjax3_config = {
    "tex": {"inlineMath": [["\\(", "\\)"]], "displayMath": [["\\[", "\\]"]]},
    "svg": {"fontCache": "global"},
    "options": {"enableMenu": False},
}

# ---- figures ---------------------------------------------------------------

plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_working_directory = str(DOCS)  # figure code runs in docs/
plot_pre_code = ""  # every sample carries its own imports
plot_rcparams = {**gallery_style.STYLE, "figure.figsize": (7.5, 3.6), "savefig.bbox": "tight"}
plot_apply_rcparams = True

sphinx_gallery_conf = {
    "examples_dirs": ["gallery"],
    "gallery_dirs": ["auto_gallery"],
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    "write_computation_times": False,
    "show_memory": False,
    "backreferences_dir": None,
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib", "gallery_style.reset_style"),
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "capture_repr": (),
    "min_reported_time": 1e9,
    "show_signature": False,
}

# ---- copy buttons: copy the code, not the prompts or the output --------------

copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True
