"""House style of the gallery's figures, reset before every example.

The same look as the figures on the pages (conf.py's ``plot_rcparams``):
constrained layout, so labels are never clipped, and a light grid.
"""

import matplotlib


# Shared with the pages' plot directive (conf.py).
STYLE = {
    "figure.constrained_layout.use": True,
    "axes.grid": True,
    "grid.alpha": 0.3,
}


def reset_style(gallery_conf, fname):
    matplotlib.rcParams.update(STYLE)
