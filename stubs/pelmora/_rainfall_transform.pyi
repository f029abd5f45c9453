# Excess rainfall to runoff.

from datetime import timedelta

from ._utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_clark_uh"]

def run_clark_uh(
    rainfall: IncrementalTimeSeries, basin_area: float, tc: timedelta, storage_r: timedelta
) -> ContinuousTimeSeries:
    """Transform excess rainfall (inches per step) over `basin_area` acres into
    a discharge series (cfs) with the Clark unit hydrograph.
    """
