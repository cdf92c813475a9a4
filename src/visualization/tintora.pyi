"""Anomaly colouring: palette, bipolar lambda, whole-field paint, Shepard fill.

Turkish names: boya = paint, esik = threshold, esik_ref = threshold reference,
sifiri_topraga_cek = pull zero to ground.
"""

import numpy
import numpy.typing

# Default palette: 7 stops of (lambda, R, G, B, A), intensities 0..1.
KORVAL_BENZERI: numpy.typing.NDArray[numpy.float64]

def _stops_to_bytes(
    colormap: numpy.typing.ArrayLike,
) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
    """Return the tuple (lam, rgba255) of a palette: its lambda column and its channel bytes."""

def _interp_channel_bytes(
    lambdas: numpy.typing.ArrayLike,
    stop_lams: numpy.typing.ArrayLike,
    stop_chan: numpy.typing.ArrayLike,
) -> numpy.typing.NDArray[numpy.float64]:
    """Return one channel interpolated between the stops: a float64 array of lambdas' shape."""

def apply_colormap(
    t: numpy.typing.ArrayLike, colormap: numpy.typing.ArrayLike | None = None
) -> numpy.typing.NDArray[numpy.uint8]:
    """Return the colour array of lambda values t: uint8 R, G, B, A, shape t.shape + (4,)."""

def compute_lambda(
    field: numpy.typing.ArrayLike,
    ground: float,
    data_min: float,
    data_max: float,
    esik: float,
    mask: numpy.typing.ArrayLike | None = None,
    sifiri_topraga_cek: bool = True,
    esik_ref: float = 0.0,
) -> numpy.typing.NDArray[numpy.float64]:
    """Return the bipolar lambda of every cell: a float64 array of field's shape.

    esik (threshold): dead-band half-width around esik_ref (threshold reference).
    sifiri_topraga_cek (pull zero to ground): cells exactly 0 get the no-data lambda 1.5.
    """

def boya(
    field: numpy.typing.ArrayLike,
    ground: float,
    data_min: float,
    data_max: float,
    esik: float,
    sifiri_topraga_cek: bool = True,
    mask: numpy.typing.ArrayLike | None = None,
    esik_ref: float = 0.0,
) -> numpy.typing.NDArray[numpy.uint8]:
    """Return the painted field (boya means paint): a uint8 R, G, B, A array, field.shape + (4,)."""

def running_baseline(values: numpy.typing.ArrayLike) -> tuple[float, float, float]:
    """Return the tuple (ground, data_min, data_max) of the written cells of values."""

def rbf_fill(
    grid_coords: numpy.typing.ArrayLike,
    sample_coords: numpy.typing.ArrayLike,
    sample_values: numpy.typing.ArrayLike,
    power: float,
    smoothing: float,
) -> numpy.typing.NDArray[numpy.float64]:
    """Return the Shepard fill at M query points: a float64 array of M values."""

def _signal_checks() -> int:
    """Return the number of Ctrl-C checks this module's calls have made (a test hook)."""
