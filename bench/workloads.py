"""Inputs as the host sends them, shared by the benchmark scripts.

The host's targets carry the colours the anomaly view painted: apply_colormap
of a continuous λ, with the RGB columns taken as a view of the RGBA result (so
the colour element is a non-contiguous uint8 array), and now and then a colour
from elsewhere (a marker, a hand-picked colour). Targets are spread over the
disc of the view's top range. Our apply_colormap only makes the inputs; no
reference formulation calls it."""

import numpy as np

from visualization.tintora import apply_colormap

# The host's view settings.
TOP = 20.0          # metres, outer edge of the sonar disc
SCALE = 20.0        # pixels per metre in the polar view
FIELD_SCALE = 15.0  # pixels per metre of the canonical blob field
RR = 400.0          # polar view radius in pixels
POWER = 2.4         # inverse-distance power
SOFTNESS = 2.0


def host_colours(n, seed=0, arbitrary=0.01):
    """n RGB colours painted from continuous λ in [0, 1], an (n, 3) uint8 view of
    the (n, 4) RGBA result, with a fraction `arbitrary` of random colours."""
    rng = np.random.default_rng(seed)
    rgba = apply_colormap(rng.uniform(0.0, 1.0, n))
    k = int(round(arbitrary * n))
    if k:
        rgba[rng.choice(n, k, replace=False), :3] = rng.integers(0, 256, (k, 3))
    return rgba[:, :3]


def host_cloud(n, seed=0, top=TOP, signals=True):
    """A record of n targets spread over the disc: bearings, ranges, colours
    and, when `signals`, a signal per target (element 7) and source ids
    (element 9)."""
    rng = np.random.default_rng(seed)
    bearings = rng.uniform(0.0, 360.0, n)
    ranges = top * np.sqrt(rng.uniform(0.001, 0.99, n))
    colours = host_colours(n, seed + 1)
    if not signals:
        return (bearings, ranges, colours)
    return (bearings, ranges, colours, 0, 0, 0, 0, rng.uniform(0.0, 1.0, n), 0, np.arange(n))
