# Level pool reservoir routing.

from typing import TypeVar

from typing_extensions import disjoint_base

from ._utils import ContinuousTimeSeries, _Value

from . import _reservoir_utils as reservoir_utils
from ._reservoir_utils import ElevationStorage, _Outlet

__all__ = ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]

# A dict of one outlet class, of a union of them, or of outlets of mixed
# kinds (inferred as dict[str, _Outlet]) is accepted as is: dict is
# invariant, so a plain union in the value type would refuse
# `dict[str, ConstantDischargeInfo]`.
_AnyOutlet = TypeVar("_AnyOutlet", bound=_Outlet)

def run_level_pool_routing(
    inflow: ContinuousTimeSeries,
    initial_elevation: float,
    elevation_storage: ElevationStorage,
    discharge_info: dict[str, _AnyOutlet],
) -> LevelPoolResult:
    """Route an inflow hydrograph through a reservoir with named outlets
    (level pool, the mass balance stepped explicitly one second at a time).

    Every series of the result has one value per inflow value: value k is
    the state at k * time_step.
    """

# Not constructible from Python: instances come only from
# run_level_pool_routing.
@disjoint_base
class LevelPoolResult(_Value):
    """Results from a level pool routing simulation."""

    @property
    def reservoir_storage(self) -> ContinuousTimeSeries:
        """Storage at each inflow instant (kind "volume")."""

    @property
    def reservoir_elevation(self) -> ContinuousTimeSeries:
        """Water surface elevation at each inflow instant (kind "elevation")."""

    @property
    def reservoir_total_outflow(self) -> ContinuousTimeSeries:
        """Outflow of all outlets together at each inflow instant (kind "discharge")."""

    @property
    def reservoir_individual_outflows(self) -> dict[str, ContinuousTimeSeries]:
        """Outflow of each outlet, keyed by outlet name."""
