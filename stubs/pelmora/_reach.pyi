# Channel reach routing.

from datetime import timedelta

from ._utils import ContinuousTimeSeries

__all__ = ["run_muskingum_routing"]

def run_muskingum_routing(
    inflow: ContinuousTimeSeries, k: timedelta, x: float, sub_reaches: int, initial_outflow: float
) -> ContinuousTimeSeries:
    """Route an inflow hydrograph through a reach by the Muskingum method.

    `k` is the storage constant of the whole reach, split evenly over
    `sub_reaches`; `initial_outflow` is required.  `x` outside [0.0, 0.5],
    and negative coefficients C0 or C2, each issue a UserWarning.  Returns a
    discharge series at the inflow's time step.
    """
