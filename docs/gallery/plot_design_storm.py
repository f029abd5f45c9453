"""
Design storm, end to end
========================

The study behind ``make demo``: a 6-inch, 24-hour NRCS Type II storm on a
4.5 mi² basin, through the whole chain — loss, Clark runoff, two baseflow
layers, a Muskingum reach and a reservoir with three outlets — scored
against a gauge record, with a small Muskingum calibration on a thread pool.

This page runs ``examples/design_storm.py`` from the repository (it is
imported, not copied), with a coarser calibration grid than the demo.
"""

# %%
# Load the study script as a module.
import importlib.util
import sys
from pathlib import Path

here = Path(__file__).resolve().parent if "__file__" in globals() else Path.cwd()
script = next(p / "examples" / "design_storm.py" for p in (here, *here.parents)
              if (p / "examples" / "design_storm.py").exists())
spec = importlib.util.spec_from_file_location("design_storm", script)
design_storm = sys.modules["design_storm"] = importlib.util.module_from_spec(spec)
spec.loader.exec_module(design_storm)

# %%
# Run the chain with the design parameters, calibrate Muskingum ``k`` and
# ``x`` on a 10 × 10 grid, and print the study's report.
inputs = design_storm.build_inputs()
chain = design_storm.run_chain(inputs)
calibration = design_storm.calibrate(inputs, chain, grid=10, workers=2, progress=False)
summary = design_storm.report(inputs, chain, calibration)

# %%
# The study's own figure (hyetograph, hydrographs, pool, releases,
# calibration surface and outlet ratings), drawn by the script and shown here.
import tempfile

import matplotlib.image
from matplotlib import pyplot as plt

with tempfile.TemporaryDirectory() as tmp:
    png = design_storm.plot(inputs, chain, calibration, Path(tmp) / "design_storm.png")
    image = matplotlib.image.imread(png)
height, width = image.shape[:2]
fig = plt.figure(figsize=(width / 110, height / 110), dpi=110)
fig.figimage(image)
