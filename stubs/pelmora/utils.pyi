# Time-series classes shared by every model, and the argument types that
# several areas accept.

from collections.abc import Sequence
from datetime import timedelta
from typing import Any, Literal, Protocol, Self, TypeAlias, type_check_only

from typing_extensions import disjoint_base

__all__ = ["ContinuousTimeSeries", "IncrementalTimeSeries"]

# The four series kinds accepted by the constructors.
_SeriesKind: TypeAlias = Literal["discharge", "rainfall", "elevation", "volume"]

@type_check_only
class _NumericArray(Protocol):
    # numpy.ndarray, pandas.Series and other array types: sequences at run
    # time, but not registered as collections.abc.Sequence for type checkers.
    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

# Anything converted to a vector of floats: a list, tuple, range or array of
# numbers (a str is refused at run time and by the type).
_FloatSequence: TypeAlias = Sequence[float] | _NumericArray

@disjoint_base
class ContinuousTimeSeries:
    """Values at points spaced `time_step` apart (discharge, elevation, ...).

    Total duration is `time_step * (len(data) - 1)`.
    """

    def __new__(cls, data: _FloatSequence, time_step: timedelta, kind: _SeriesKind) -> Self: ...
    @property
    def data(self) -> list[float]:
        """A fresh copy of the values."""

    @property
    def time_step(self) -> timedelta:
        """Spacing of the points, in whole seconds."""

    @property
    def kind(self) -> _SeriesKind: ...
    def total_duration(self) -> int:
        """Seconds from the first to the last point."""

@disjoint_base
class IncrementalTimeSeries:
    """Values accumulated over intervals of `time_step` (rainfall depth, ...).

    Total duration is `time_step * len(data)`.
    """

    def __new__(cls, data: _FloatSequence, time_step: timedelta, kind: _SeriesKind) -> Self: ...
    @property
    def data(self) -> list[float]:
        """A fresh copy of the values."""

    @property
    def time_step(self) -> timedelta:
        """Length of each interval, in whole seconds."""

    @property
    def kind(self) -> _SeriesKind: ...
    def total_duration(self) -> int:
        """Seconds spanned by all intervals."""

    def disaggregate(self, target_step: int) -> IncrementalTimeSeries:
        """Split every interval evenly into intervals of `target_step` seconds.

        `target_step` must be at least 30 and divide the time step.
        """
