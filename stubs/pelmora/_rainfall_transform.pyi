# Excess rainfall to runoff.

from datetime import timedelta

from ._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_clark_uh"]

def run_clark_uh(
    rainfall: IncrementalTimeSeries, basin_area: float, tc: timedelta, storage_r: timedelta
) -> ContinuousTimeSeries:
    """Transform excess rainfall (inches per time step) over `basin_area` acres
    into a discharge series (cfs) with the Clark unit hydrograph.

    `tc` and `storage_r` are timedeltas. For N rainfall values and a unit
    hydrograph of m ordinates (a zero, ceil(tc / time step) routed translation
    ordinates, then the drained recession) the result holds N + m - 1 values,
    value i being the flow at i * time step; all of the excess comes out.
    Raises ValueError for a negative or NaN `basin_area`, a negative duration
    or more than 2**28 ordinates, and MemoryError when they cannot be held.
    """
