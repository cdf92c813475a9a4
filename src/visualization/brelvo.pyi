"""Sonar blob field: colour -> lambda, blob field, polar view, cache key, strongest poles."""

from typing import Any, Sequence

import numpy as np
import numpy.typing as npt
from PyQt5.QtGui import QImage

ArrayLike = npt.ArrayLike
# The host's target record: bearings, ranges, colours, ... (signals in 7 or 11, ids in 9).
Cloud = Sequence[Any]

cKDTree: Any  # scipy.spatial.cKDTree, or None when SciPy cannot be imported

class _NumpyKDTree:
    _p: npt.NDArray[np.float64]
    def __init__(self, pts: ArrayLike) -> None: ...
    def query(
        self, Q: ArrayLike, k: Any = 1, workers: Any = None
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...

def apply_colormap(t: ArrayLike, colormap: ArrayLike | None = None) -> npt.NDArray[np.uint8]: ...

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
_LUT_CACHE: dict[int, tuple[npt.NDArray[np.float64], Any]]

def _lut(colormap: ArrayLike | None) -> tuple[npt.NDArray[np.float64], Any]: ...
def lambda_from_colors(cols: ArrayLike, colormap: ArrayLike | None = None) -> npt.NDArray[np.float64]: ...
def build_field(
    cloud: Cloud | None,
    top: float,
    scale: float,
    power: float = 3.0,
    softness: float = 2.0,
    colormap: ArrayLike | None = None,
    cell_px: float = 4.0,
) -> QImage | None: ...
def cloud_key(
    cloud: Cloud,
    top: float,
    scale: float,
    power: float,
    softness: float,
    cell_px: float = 4.0,
    colormap: ArrayLike | None = None,
) -> tuple[int, int, int, float, float, float, float, float, int]: ...
def visible_cloud_mask(
    cloud: Cloud, r_off: float, top: float, min_bosluk_m: float = 0.0
) -> npt.NDArray[np.bool_]: ...
def render_polar_alan(
    cloud: Cloud | None,
    scale: float,
    top: float,
    r_off: float,
    rr: float,
    min_bosluk_m: float = 0.0,
    power: float = 2.4,
    softness: float = 2.0,
    hucre: float = 2,
) -> QImage | None: ...
def en_guclu_kutup_indeksleri(
    cloud: Cloud | None,
    r_off: float,
    top: float,
    min_bosluk_m: float = 0.0,
    image: QImage | None = None,
    scale: float | None = None,
) -> dict[str, int | None]: ...
def en_guclu_kutuplar(
    cloud: Cloud | None, r_off: float, top: float, min_bosluk_m: float = 0.0
) -> dict[str, tuple[float, float] | None]: ...
