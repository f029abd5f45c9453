# Goodness-of-fit metrics.

from ._utils import _FloatSequence

__all__ = ["calculate_kge"]

def calculate_kge(sim: _FloatSequence, obs: _FloatSequence, use_log: bool = False) -> float:
    """Kling-Gupta efficiency of `sim` against `obs` (1 is a perfect match).

    With `use_log`, both series are transformed by ln(x + 1e-6) first.
    """
