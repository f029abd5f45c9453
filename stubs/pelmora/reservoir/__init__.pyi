# Level pool reservoir routing.

from typing import TypeVar

from typing_extensions import disjoint_base

from pelmora.utils import ContinuousTimeSeries

from . import reservoir_utils as reservoir_utils
from .reservoir_utils import (
    ConstantDischargeInfo,
    ControlledDischargeInfo,
    ElevationStorage,
    SpecifiedDischargeInfo,
    UnControlledDischargeInfo,
)

__all__ = ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]

# A dict of one outlet class (or a union of them) is accepted as is: dict is
# invariant, so a plain union in the value type would refuse
# `dict[str, ConstantDischargeInfo]`.
_Outlet = TypeVar(
    "_Outlet",
    bound=ConstantDischargeInfo | SpecifiedDischargeInfo | ControlledDischargeInfo | UnControlledDischargeInfo,
)

def run_level_pool_routing(
    inflow: ContinuousTimeSeries,
    initial_elevation: float,
    elevation_storage: ElevationStorage,
    discharge_info: dict[str, _Outlet],
) -> LevelPoolResult:
    """Route an inflow hydrograph through a reservoir with named outlets
    (level pool, modified Puls).
    """

# Not constructible from Python: instances come only from
# run_level_pool_routing.
@disjoint_base
class LevelPoolResult:
    """Results from a level pool routing simulation."""

    @property
    def reservoir_storage(self) -> ContinuousTimeSeries:
        """Storage at each time step (kind "volume")."""

    @property
    def reservoir_elevation(self) -> ContinuousTimeSeries:
        """Water surface elevation at each time step (kind "elevation")."""

    @property
    def reservoir_total_outflow(self) -> ContinuousTimeSeries:
        """Outflow of all outlets together (kind "discharge")."""

    @property
    def reservoir_individual_outflows(self) -> dict[str, ContinuousTimeSeries]:
        """Outflow of each outlet, keyed by outlet name."""
