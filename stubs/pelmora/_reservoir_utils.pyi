# Rating curves and outlets of a reservoir.

from typing import Self, type_check_only

from typing_extensions import disjoint_base

from ._utils import ContinuousTimeSeries, _FloatSequence, _Value

__all__ = [
    "ElevationDischarge",
    "ElevationStorage",
    "ControlledDischargeInfo",
    "UnControlledDischargeInfo",
    "SpecifiedDischargeInfo",
    "ConstantDischargeInfo",
]

# The four outlet classes share this base for type checkers only, so that a
# dict mixing outlet kinds is a dict[str, _Outlet] that run_level_pool_routing
# accepts.
@type_check_only
class _Outlet(_Value): ...

@disjoint_base
class ElevationDischarge(_Value):
    """Elevation-discharge rating curve of an outlet: elevations strictly
    increasing, discharges non-decreasing, at least two points.
    """

    def __new__(cls, elevation: _FloatSequence, discharge: _FloatSequence) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def discharge(self) -> list[float]: ...

@disjoint_base
class ElevationStorage(_Value):
    """Elevation-storage curve of a reservoir: both strictly increasing."""

    def __new__(cls, elevation: _FloatSequence, storage: _FloatSequence) -> Self: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def storage(self) -> list[float]: ...
    def get_storage(self, elevation: float) -> float:
        """Storage at `elevation`; ValueError outside the curve."""

    def get_elevation(self, storage: float) -> float:
        """Elevation at `storage`; ValueError outside the curve."""

@disjoint_base
class ControlledDischargeInfo(_Outlet):
    """Gated outlet (gate, valve, conduit) following a rating curve."""

    def __new__(
        cls,
        elevation_discharge: ElevationDischarge,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
        maximum_release: float | None = None,
    ) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
    @property
    def maximum_release(self) -> float | None: ...

@disjoint_base
class UnControlledDischargeInfo(_Outlet):
    """Uncontrolled spillway following a rating curve."""

    def __new__(cls, elevation_discharge: ElevationDischarge, elevation_offset: float | None = None) -> Self: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge: ...
    @property
    def elevation_offset(self) -> float | None: ...

@disjoint_base
class SpecifiedDischargeInfo(_Outlet):
    """Outlet releasing a prescribed discharge series."""

    def __new__(
        cls,
        discharge: ContinuousTimeSeries,
        minimum_elevation: float | None = None,
        maximum_elevation: float | None = None,
        maximum_release: float | None = None,
    ) -> Self: ...
    @property
    def discharge(self) -> ContinuousTimeSeries: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
    @property
    def maximum_release(self) -> float | None: ...

@disjoint_base
class ConstantDischargeInfo(_Outlet):
    """Outlet releasing a constant discharge."""

    def __new__(
        cls, discharge: float, minimum_elevation: float | None = None, maximum_elevation: float | None = None
    ) -> Self: ...
    @property
    def discharge(self) -> float: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
