# Type stubs for the pelmora extension module.
#
# At run time `pelmora` is one native module whose areas are submodule
# *attributes*: `pelmora.utils.ContinuousTimeSeries` and
# `from pelmora import utils` work, but the submodules are not entered in
# sys.modules, so `import pelmora.utils` and `from pelmora.utils import X`
# fail.  The stubs still describe each area as a submodule, which is the only
# way a type checker can model a module-valued attribute; write
# `from pelmora import utils` in code that has to run.
#
# In a wheel these files are shipped as the stub-only package
# `pelmora-stubs` (PEP 561).

from . import baseflow as baseflow
from . import metrics as metrics
from . import rainfall_loss as rainfall_loss
from . import rainfall_transform as rainfall_transform
from . import reach as reach
from . import reservoir as reservoir
from . import utils as utils

__all__ = [
    "utils",
    "reach",
    "reservoir",
    "rainfall_transform",
    "rainfall_loss",
    "baseflow",
    "metrics",
]
