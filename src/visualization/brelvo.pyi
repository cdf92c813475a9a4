"""Sonar blob field: colour -> lambda lookup, blob field, polar view, cache key, strongest poles.

A cloud is a tuple of per-target arrays: 0 bearings in degrees clockwise from north,
1 ranges in metres, 2 colours (R, G, B on 0..255, one row per target), 7 or 11 signals,
9 source ids. Turkish names: render_polar_alan = render the polar field, hucre = cell,
min_bosluk_m = minimum gap in metres, en_guclu_kutuplar = the strongest poles,
en_guclu_kutup_indeksleri = indices of the strongest poles.
"""

import collections.abc
import typing

import numpy
import numpy.typing
from PyQt5.QtGui import QImage

cKDTree: typing.Any  # scipy.spatial.cKDTree, or None when SciPy cannot be imported

class _NumpyKDTree:
    _p: numpy.typing.NDArray[numpy.float64]
    def __init__(self, pts: numpy.typing.ArrayLike) -> None: ...
    def query(
        self, Q: numpy.typing.ArrayLike, k: int = 1, workers: int | None = None
    ) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """Return the tuple (distances, indices) of the k nearest indexed points of every row of Q."""

def apply_colormap(
    t: numpy.typing.ArrayLike, colormap: numpy.typing.ArrayLike | None = None
) -> numpy.typing.NDArray[numpy.uint8]:
    """Return the colour array of lambda values t: uint8 R, G, B, A, shape t.shape + (4,)."""

# Blob field shape constants (read at every call).
KAPPA: float
RMIN_PX: float
RMIN_TOP: float
RMAX_TOP: float
W0: float
COV_LO: float
COV_HI: float
A_MAX: float
CELL_PX: float
NBUCK: int
KNN: int
RIM_FADE: float
_SM_RATIO: float
# Palette tables by palette identity (0 for the default palette), never evicted.
_LUT_CACHE: dict[int, tuple[numpy.typing.NDArray[numpy.float64], typing.Any]]

def _lut(
    colormap: numpy.typing.ArrayLike | None,
) -> tuple[numpy.typing.NDArray[numpy.float64], typing.Any]:
    """Return the cached tuple (rgb, tree), the sampled table of a palette."""

def lambda_from_colors(
    cols: numpy.typing.ArrayLike, colormap: numpy.typing.ArrayLike | None = None
) -> numpy.typing.NDArray[numpy.float64]:
    """Return the lambda of every colour: a float64 array of N values i / 255 (256 levels).

    Palette tables are cached by palette object (its identity): pass the same palette
    object every time; a fresh copy per call builds and keeps a new table each time, and
    a palette changed in place keeps its old table.
    """

def build_field(
    cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None,
    top: float,
    scale: float,
    power: float = 3.0,
    softness: float = 2.0,
    colormap: numpy.typing.ArrayLike | None = None,
    cell_px: float = 4.0,
) -> QImage | None:
    """Return the north-up blob field of a cloud as a QImage, or None when there is nothing
    to draw.

    top in metres, scale in pixels per metre, cell_px in pixels. Palette tables are cached
    by palette object (its identity): pass the same palette object every time.
    """

def cloud_key(
    cloud: collections.abc.Sequence[numpy.typing.ArrayLike],
    top: float,
    scale: float,
    power: float,
    softness: float,
    cell_px: float = 4.0,
    colormap: numpy.typing.ArrayLike | None = None,
) -> tuple[int, int, int, float, float, float, float, float, int]:
    """Return the nine-element key tuple under which the host caches build_field's image."""

def visible_cloud_mask(
    cloud: collections.abc.Sequence[numpy.typing.ArrayLike],
    r_off: float,
    top: float,
    min_bosluk_m: float = 0.0,
) -> numpy.typing.NDArray[numpy.bool_]:
    """Return the boolean mask array of the targets inside the visible radial band."""

def render_polar_alan(
    cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None,
    scale: float,
    top: float,
    r_off: float,
    rr: float,
    min_bosluk_m: float = 0.0,
    power: float = 2.4,
    softness: float = 2.0,
    hucre: int = 2,
) -> QImage | None:
    """Return the polar field of the visible targets as a QImage, or None when there is
    nothing to draw (render_polar_alan: render the polar field).
    """

def en_guclu_kutup_indeksleri(
    cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None,
    r_off: float,
    top: float,
    min_bosluk_m: float = 0.0,
    image: QImage | None = None,
    scale: float | None = None,
) -> dict[str, int | None]:
    """Return the dict {'metal': i or None, 'void': j or None} of the positions of the
    strongest metal and void targets (en_guclu_kutup_indeksleri: indices of the strongest
    poles).
    """

def en_guclu_kutuplar(
    cloud: collections.abc.Sequence[numpy.typing.ArrayLike] | None,
    r_off: float,
    top: float,
    min_bosluk_m: float = 0.0,
) -> dict[str, tuple[float, float] | None]:
    """Return the dict {'metal': (bearing, range) or None, 'void': ...} of the strongest
    metal and void targets (en_guclu_kutuplar: the strongest poles).
    """

def _signal_checks() -> int:
    """Return the number of Ctrl-C checks this module's calls have made (a test hook)."""
