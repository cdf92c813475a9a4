"""Anomaly colouring: palette, bipolar lambda, whole-field paint, Shepard fill."""

from typing import Any

import numpy as np
import numpy.typing as npt

ArrayLike = npt.ArrayLike

# Default palette: 7 stops of (lambda, R, G, B, A), intensities 0..1.
KORVAL_BENZERI: npt.NDArray[np.float64]

def _stops_to_bytes(colormap: ArrayLike) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def _interp_channel_bytes(
    lambdas: ArrayLike, stop_lams: ArrayLike, stop_chan: ArrayLike
) -> npt.NDArray[np.float64]: ...
def apply_colormap(t: ArrayLike, colormap: ArrayLike | None = None) -> npt.NDArray[np.uint8]: ...
def compute_lambda(
    field: ArrayLike,
    ground: float,
    data_min: float,
    data_max: float,
    esik: float,
    mask: ArrayLike | None = None,
    sifiri_topraga_cek: Any = True,
    esik_ref: float = 0.0,
) -> npt.NDArray[np.float64]: ...
def boya(
    field: ArrayLike,
    ground: float,
    data_min: float,
    data_max: float,
    esik: float,
    sifiri_topraga_cek: Any = True,
    mask: ArrayLike | None = None,
    esik_ref: float = 0.0,
) -> npt.NDArray[np.uint8]: ...
def running_baseline(values: ArrayLike) -> tuple[float, float, float]: ...
def rbf_fill(
    grid_coords: ArrayLike,
    sample_coords: ArrayLike,
    sample_values: ArrayLike,
    power: float,
    smoothing: float,
) -> npt.NDArray[np.float64]: ...
