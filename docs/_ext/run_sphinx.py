"""Run sphinx-build, with Debian's Sphinx and docutils able to find their data.

Debian's packages look for their data files under absolute paths: Sphinx
for its themes, templates and search scripts under /usr/share/sphinx
(``sphinx.package_dir``), docutils for the LaTeX writer's docutils.sty and
its stylesheets under /usr/share/docutils.  When they come from an unpacked,
relocated tree such as the private toolchain, those directories do not exist
and Sphinx fails at start-up.  Point both at the share/ directory of the
tree the packages sit in when the absolute one is missing; elsewhere nothing
changes.

    python run_sphinx.py -b html SOURCEDIR OUTPUTDIR [sphinx-build options]
"""

import os
import sys
from pathlib import Path

import docutils

_DEBIAN_DIR = "/usr/share/docutils"
if hasattr(docutils, "_datadir") and not os.path.isdir(_DEBIAN_DIR):
    _local = Path(docutils.__file__).resolve().parents[4] / "share" / "docutils"
    _original = docutils._datadir

    def _datadir(path, buildloc=None):
        found = _original(path, buildloc)
        if found.startswith(_DEBIAN_DIR) and not os.path.exists(found):
            return str(_local) + found[len(_DEBIAN_DIR):]
        return found

    docutils._datadir = _datadir

import sphinx  # noqa: E402  (only sphinx/__init__.py: nothing has read package_dir yet)

_SPHINX_DIR = "/usr/share/sphinx"
if str(sphinx.package_dir) == _SPHINX_DIR and not os.path.isdir(_SPHINX_DIR):
    _share = Path(sphinx.__file__).resolve().parents[4] / "share" / "sphinx"
    sphinx.package_dir = type(sphinx.package_dir)(str(_share))

from sphinx.cmd.build import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
