# Gross rainfall to excess and loss.

from datetime import timedelta

from typing_extensions import disjoint_base

from ._utils import IncrementalTimeSeries, _Value

__all__ = ["DeficitConstantResult", "run_deficit_and_constant"]

# Not constructible from Python: instances come only from
# run_deficit_and_constant.
@disjoint_base
class DeficitConstantResult(_Value):
    """Results from the deficit-and-constant rainfall loss model."""

    @property
    def excess(self) -> IncrementalTimeSeries:
        """Rainfall that becomes surface runoff (inches per time step)."""

    @property
    def loss(self) -> IncrementalTimeSeries:
        """Infiltrated depth per time step (inches)."""

    @property
    def deficit(self) -> IncrementalTimeSeries:
        """Soil moisture deficit at the end of each time step (inches)."""

def run_deficit_and_constant(
    rainfall: IncrementalTimeSeries,
    initial_deficit: float,
    max_deficit: float,
    constant_loss_per_hr: float,
    time_to_dry: timedelta,
) -> DeficitConstantResult:
    """Separate gross rainfall (inches per step) into excess and loss with the
    deficit-and-constant model.

    A negative or NaN deficit or loss rate, or an infinite `max_deficit`,
    raises ValueError.
    """
