# Linear-reservoir baseflow.

from datetime import timedelta
from typing import Self, final

from ._utils import ContinuousTimeSeries, IncrementalTimeSeries, _Value

__all__ = ["run_linear_reservoir", "LinearReservoir"]

def run_linear_reservoir(
    basin_area: float, rainfall: IncrementalTimeSeries, reservoirs: dict[str, LinearReservoir]
) -> tuple[ContinuousTimeSeries, dict[str, ContinuousTimeSeries]]:
    """Route infiltrated rainfall through named groundwater layers.

    Returns the total baseflow and the baseflow of each layer, keyed like
    `reservoirs`.
    """

@final
class LinearReservoir(_Value):
    """Configuration of one groundwater layer: `num_reservoir` linear
    reservoirs in series with a total storage constant `k_duration`.
    """

    def __new__(cls, k_duration: timedelta, gw_fraction: float, initial_q: float, num_reservoir: int = 1) -> Self: ...
    @property
    def k_duration(self) -> timedelta:
        """Storage time constant of the layer."""

    @property
    def gw_fraction(self) -> float:
        """Fraction of the infiltrated rainfall that enters this layer."""

    @gw_fraction.setter
    def gw_fraction(self, value: float, /) -> None: ...
    @property
    def initial_q(self) -> float:
        """Discharge of the layer at the start of the simulation (cfs)."""

    @initial_q.setter
    def initial_q(self, value: float, /) -> None: ...
    @property
    def num_reservoir(self) -> int:
        """Number of linear reservoirs chained in series."""

    @num_reservoir.setter
    def num_reservoir(self, value: int, /) -> None: ...
