# Time-series classes shared by every model, and the argument types that
# several areas accept.

from collections.abc import Sequence
from datetime import datetime, timedelta
from typing import Any, Literal, Protocol, Self, SupportsIndex, TypeAlias, type_check_only

# pandas is optional, imported only by to_pandas and from_pandas, and ships
# no type information of its own: to a type checker its Series is Any.
from pandas import Series as _PandasSeries  # type: ignore[import-untyped, import-not-found, unused-ignore]
from typing_extensions import disjoint_base

__all__ = ["ContinuousTimeSeries", "IncrementalTimeSeries"]

# The four series kinds. The constructors take any str and check it at run
# time (a ValueError names the four), so a kind held in a plain str variable
# type-checks; the `kind` attribute is always one of them.
_SeriesKind: TypeAlias = Literal["discharge", "rainfall", "elevation", "volume"]

@type_check_only
class _Value:
    # Every pelmora class pickles (by any protocol; through the private
    # pelmora._reconstruct) and copies. Instances of the classes without
    # setters are their own copies.
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

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
class ContinuousTimeSeries(_Value):
    """Values at points spaced `time_step` apart (discharge, elevation, ...).

    Value i sits at `start + i * time_step`; total duration is
    `time_step * (len(data) - 1)`.
    """

    def __new__(
        cls, data: _FloatSequence, time_step: timedelta, kind: str, *, start: datetime | None = None
    ) -> Self: ...
    @property
    def start(self) -> datetime | None:
        """The instant of the first value (naive or aware), or None."""
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

    def to_pandas(self) -> _PandasSeries:
        """float64 values named after the kind, on a DatetimeIndex from `start`
        (a TimedeltaIndex from 0 without one), freq set. Needs pandas."""

    @classmethod
    def from_pandas(cls, series: _PandasSeries, kind: str) -> Self:
        """From numbers on a regular DatetimeIndex (step and start) or
        TimedeltaIndex from 0 (step) of whole seconds. Needs pandas."""

    def __buffer__(self, flags: int, /) -> memoryview:
        """The values, read-only, as float64 ("d"): `numpy.asarray(series)`
        and `memoryview(series)` read the series' own memory."""

    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

@disjoint_base
class IncrementalTimeSeries(_Value):
    """Values accumulated over intervals of `time_step` (rainfall depth, ...).

    Value i covers the interval that begins at `start + i * time_step`;
    total duration is `time_step * len(data)`.
    """

    def __new__(
        cls, data: _FloatSequence, time_step: timedelta, kind: str, *, start: datetime | None = None
    ) -> Self: ...
    @property
    def start(self) -> datetime | None:
        """The instant the first interval begins (naive or aware), or None."""
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

    def to_pandas(self) -> _PandasSeries:
        """float64 values named after the kind, each at the beginning of its
        interval on a DatetimeIndex from `start` (a TimedeltaIndex from 0
        without one), freq set. Needs pandas."""

    @classmethod
    def from_pandas(cls, series: _PandasSeries, kind: str) -> Self:
        """From numbers on a regular DatetimeIndex (step, and the start of the
        first interval) or TimedeltaIndex from 0 (step) of whole seconds.
        Needs pandas."""

    def disaggregate(self, target_step: int) -> IncrementalTimeSeries:
        """Split every interval evenly into intervals of `target_step` seconds.

        `target_step` must be at least 30 and divide the time step.
        """

    def __buffer__(self, flags: int, /) -> memoryview:
        """The values, read-only, as float64 ("d"): `numpy.asarray(series)`
        and `memoryview(series)` read the series' own memory."""

    def __release_buffer__(self, buffer: memoryview, /) -> None: ...
