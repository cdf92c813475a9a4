"""Ctrl-C during a long call: the kernels check for it while they run, and the
call raises KeyboardInterrupt within 0.2 s instead of after finishing its work
(the `ctrl_c` fixture says how that is judged on a loaded machine), leaving
nothing behind."""

import numpy as np
import pytest

from visualization import brelvo
from visualization import tintora as T

rng = np.random.default_rng(31)
# Each call below needs about a second of processor time or more to finish.
MANY_STOPS = np.c_[np.linspace(0.0, 1.0, 2_000_000), rng.random((2_000_000, 4))]
LAMBDAS = rng.random(8_000_000)
QUERIES = rng.normal(size=(1_000_000, 3))
SAMPLES = rng.normal(size=(4_000, 3))
VALUES = rng.normal(size=4_000)
TARGETS = (rng.uniform(0, 360, 100_000), rng.uniform(0, 18, 100_000),
           rng.integers(0, 256, (100_000, 3)).astype(np.uint8))


def polar_bytes(rr):
    img = brelvo.render_polar_alan(TARGETS, rr / 20.0, 20.0, 0.0, rr, softness=8.0, hucre=1)
    return img.constBits().asstring(img.sizeInBytes())


SMALL_FILL = T.rbf_fill([[0, 0]], [[1, 0], [3, 0]], [10.0, 20.0], 2, 2.0)
SMALL_COLOURS = T.apply_colormap([0.0, 0.5, 1.0])
SMALL_POLAR = polar_bytes(20.0)

CALLS = {
    "rbf_fill power 2": (T, lambda: T.rbf_fill(QUERIES, SAMPLES, VALUES, 2, 2)),
    "rbf_fill power 2.4": (T, lambda: T.rbf_fill(QUERIES, SAMPLES, VALUES, 2.4, 0.5)),
    "apply_colormap": (T, lambda: T.apply_colormap(LAMBDAS, MANY_STOPS)),
    "_interp_channel_bytes": (T, lambda: T._interp_channel_bytes(LAMBDAS, MANY_STOPS[:, 0], MANY_STOPS[:, 1])),
    "render_polar_alan": (brelvo, lambda: polar_bytes(2000.0)),
    "render_polar_alan without SciPy": (brelvo, lambda: polar_bytes(2000.0)),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_ctrl_c_interrupts_the_call(name, ctrl_c, monkeypatch):
    if name.endswith("without SciPy"):
        monkeypatch.setattr(brelvo, "cKDTree", None)
    ctrl_c(*CALLS[name])
    monkeypatch.undo()
    # Nothing of the interrupted call is left behind.
    assert T.rbf_fill([[0, 0]], [[1, 0], [3, 0]], [10.0, 20.0], 2, 2.0).tolist() == SMALL_FILL.tolist()
    assert T.apply_colormap([0.0, 0.5, 1.0]).tolist() == SMALL_COLOURS.tolist()
    assert polar_bytes(20.0) == SMALL_POLAR
