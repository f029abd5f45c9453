# Type stubs for the pelmora extension module.
#
# At run time `pelmora` is one native module whose areas are submodule
# *attributes*: `pelmora.utils.ContinuousTimeSeries` and
# `from pelmora import utils` work, but the submodules are not entered in
# sys.modules, so `import pelmora.utils` and `from pelmora.utils import X`
# fail.  The stubs say the same: each area is described in a private stub
# module (`_utils.pyi`, ...) that this package only re-exports under the
# area's name, so a type checker accepts `from pelmora import utils` and
# `pelmora.reservoir.reservoir_utils.ElevationStorage` and rejects the
# imports that fail at run time.  (Type checkers print the classes with the
# private module's name: `pelmora._utils.ContinuousTimeSeries`.)
#
# The private reconstructor that pickles call, `pelmora._reconstruct`, is not
# part of the interface and is not declared.
#
# In a wheel these files are shipped as the stub-only package
# `pelmora-stubs` (PEP 561).

from . import _baseflow as baseflow
from . import _metrics as metrics
from . import _rainfall_loss as rainfall_loss
from . import _rainfall_transform as rainfall_transform
from . import _reach as reach
from . import _reservoir as reservoir
from . import _utils as utils

__all__ = [
    "utils",
    "reach",
    "reservoir",
    "rainfall_transform",
    "rainfall_loss",
    "baseflow",
    "metrics",
]
