"""
Real gauges: CAMELS-US, calibrated and validated
=================================================

Two real basins of the CAMELS-US data set (Newman et al. 2015; Addor et al.
2017): Daymet basin-mean daily precipitation and USGS daily discharge,
2000–2002. Each basin runs the chain on a daily step

- deficit-and-constant loss splits the rain into excess and loss;
- Clark turns the excess into direct runoff;
- one linear reservoir turns the loss into baseflow;

and seven parameters are fitted by ``scipy.optimize.differential_evolution``
(seeded) to the KGE of 2001, after 2000 as warm-up. 2002 is the validation
year, which the fit never sees. Days the gauge did not record (−999) stay
missing, out of every score.

The model has no snow and no seasonal evapotranspiration (water leaves only
through the deficit's recovery and the share of the loss that no baseflow
layer takes), so it should not be expected to do well: the yardstick is the
inherent benchmark of Knoben et al. (2019), under which the mean flow scores
KGE = 1 − √2 ≈ −0.41.

This page runs ``examples/camels_calibration.py`` from the repository (it is
imported, not copied) with a much shorter search than ``make camels``. It
reads the data where they lie, in ``../shared/data/camels_us`` beside the
repository; without them it says where to download CAMELS-US.
"""

# %%
# Load the study script as a module and find the gauges.
import sys
from pathlib import Path

here = Path(__file__).resolve().parent if "__file__" in globals() else Path.cwd()
examples = next(p / "examples" for p in (here, *here.parents) if (p / "examples" / "camels_calibration.py").exists())
sys.path.insert(0, str(examples))
import camels_calibration as cc  # noqa: E402

data = cc.default_data()
files = cc.find_gauges(data) if data is not None else {}
if not files:
    print("No CAMELS-US data beside the repository.\n" + cc.DOWNLOAD_HINT)
gauges = [cc.load_gauge(data, gauge, paths) for gauge, paths in files.items()]
for g in gauges:
    recorded = g["observed"].notna().sum()
    print(f"{g['gauge']} {g['name']}: {g['area_km2']:.1f} km², {len(g['rain'])} days of rain, "
          f"{recorded} days of recorded flow")

# %%
# Calibrate each gauge, one task per gauge, and print the table. Here the
# tasks run one after the other; ``make camels`` sends the same function to
# threads or Dask workers and gets the same bits.
import time

settings = {"generations": 60, "popsize": 8, "seed": 2026}
start = time.perf_counter()
results = cc.run_serial(gauges, settings, progress=False)
if results:
    cc.report(results, time.perf_counter() - start, "serial")

# %%
# Observed and simulated daily flow of the calibration year and the
# validation year (shaded), with the rain above.
import matplotlib.pyplot as plt
import pandas as pd

if results:
    fig, axes = plt.subplots(len(results), 1, figsize=(10, 3.2 * len(results)), squeeze=False)
    for ax, g, r in zip(axes[:, 0], gauges, results):
        dates = g["observed"].index
        shown = dates.year >= cc.CALIBRATION
        ax.axvspan(pd.Timestamp(f"{cc.VALIDATION}-01-01"), dates[-1], color="#fde9c9", label="validation")
        ax.plot(dates[shown], g["observed"].to_numpy()[shown], color="k", lw=0.9, label="observed")
        ax.plot(dates[shown], r["simulated"][shown], color="#d95f02", lw=0.9,
                label=f"simulated (KGE {r['validation']['kge']:.2f}, NSE {r['validation']['nse']:.2f})")
        rain = ax.twinx()
        rain.bar(dates[shown], g["rain"].to_numpy()[shown], width=1.0, color="#2b7bba", alpha=0.5)
        rain.set_ylim(4.0 * g["rain"].max(), 0)
        rain.set_ylabel("rain (in/day)")
        rain.grid(False)
        ax.set_ylabel("discharge (cfs)")
        ax.set_title(f"{r['gauge']} {r['name']}", fontsize=10, loc="left")
        ax.legend(loc="upper left", fontsize=8)
