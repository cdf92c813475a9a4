"""The baseline kernel paths (no AVX2, no vector libm) give the results the wide ones give."""

import os
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).parent
# The wide kernel variants exist on x86-64 alone; elsewhere, or when they are
# switched off, the comparisons below would compare a path with itself.
ONE_KERNEL_PATH = bool(os.environ.get("VIS_GENERIC_KERNELS")) or platform.machine() not in ("x86_64", "AMD64")
# The suites whose kernels have wide variants chosen at run time.
SUITES = [
    "test_tintora_colormap.py",
    "test_tintora_lambda.py",
    "test_tintora_paint.py",
    "test_tintora_shepard.py",
    "test_brelvo_field.py",
    "test_brelvo_polar.py",
]


@pytest.mark.skipif(ONE_KERNEL_PATH, reason="only the baseline kernel paths here (VIS_GENERIC_KERNELS set, or a processor without wide variants)")
def test_suites_pass_on_the_baseline_kernels():
    env = dict(os.environ, VIS_GENERIC_KERNELS="1")
    cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(str(HERE / s) for s in SUITES)]
    run = subprocess.run(cmd, env=env, cwd=HERE.parent, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]


# Results of the tintora kernels on inputs that reach every wide loop (groups
# of four and eight, pairs, scalar tails; stops hit exactly, non-finite
# values, exact hits), computed in a fresh interpreter on the path given.
_TINTORA_RESULTS = r'''
import sys
import numpy as np
from visualization import tintora as T

rng = np.random.default_rng(5)
out = {}
lam = np.concatenate([rng.uniform(-0.2, 1.2, 1037), T.KORVAL_BENZERI[:, 0], [np.nan, np.inf, -np.inf]])
palettes = {
    "default": None,
    "12 stops": np.c_[np.linspace(0.0, 1.0, 12), rng.random((12, 4))],
    "20 stops": np.c_[np.linspace(0.0, 1.0, 20), rng.random((20, 4))],
    "beyond 255": np.c_[[0.0, 0.5, 1.0], [[0.0, 1.3, 0.2, 1.0], [1.2, -0.4, 0.5, 1.0], [0.3, 2.0, 1.0, 0.5]]],
}
for name, pal in palettes.items():
    out["colours " + name] = T.apply_colormap(lam, pal)
field = rng.normal(0.0, 5.0, 1031)
kinds = rng.integers(0, 10, field.size)
field[kinds == 0] = 0.0
field[kinds == 1] = np.nan
field[kinds == 2] = np.inf
field[kinds == 3] = 1.0
field[kinds == 4] = -1.0
mask = rng.random(field.size) < 0.8
for lo, hi in ((-9.0, 11.0), (0.0, 0.05)):
    for m in (None, mask):
        key = f"{lo} {hi} {m is not None}"
        out["lambda " + key] = T.compute_lambda(field, 0.5, lo, hi, 1.0, mask=m)
        out["paint " + key] = T.boya(field, 0.5, lo, hi, 1.0, mask=m)
out["baseline"] = np.array(T.running_baseline(np.concatenate([field, rng.normal(0.0, 3.0, 5000)])))
q = rng.normal(size=(37, 3))
p = rng.normal(size=(303, 3))
p[7] = q[3]
p[301] = q[5]
v = rng.normal(size=303)
out["shepard values"] = v
for power in (0, 1, 2, 3, 4, 2.4, 0.7):
    for smoothing in (0.0, 0.5):
        out[f"fill {power} {smoothing}"] = T.rbf_fill(q, p, v, power, smoothing)
np.savez(sys.argv[1], **out)
'''


@pytest.mark.skipif(ONE_KERNEL_PATH, reason="only the baseline kernel paths here (VIS_GENERIC_KERNELS set, or a processor without wide variants)")
def test_wide_tintora_kernels_match_the_baseline_ones(tmp_path):
    results = {}
    for generic in ("0", "1"):
        path = tmp_path / f"generic{generic}.npz"
        env = dict(os.environ, VIS_GENERIC_KERNELS=generic)
        subprocess.run([sys.executable, "-c", _TINTORA_RESULTS, str(path)], env=env, check=True, timeout=600)
        with np.load(path) as data:
            results[generic] = dict(data)
    wide, base = results["0"], results["1"]
    assert wide.keys() == base.keys()
    for key in wide:
        if key == "baseline":
            # Minimum and maximum exact; the mean's partial sums differ in number.
            assert wide[key][1:].tolist() == base[key][1:].tolist()
            np.testing.assert_allclose(wide[key][0], base[key][0], rtol=1e-14)
        elif key.startswith("fill"):
            # Weights from their own four-lane formulas against std::pow and
            # divisions: within the fill's tolerance, exact hits exact.
            assert np.max(np.abs(wide[key] - base[key])) <= 1e-14 * np.max(np.abs(wide["shepard values"])), key
            if key.endswith(" 0.0"):
                assert wide[key][[3, 5]].tolist() == base[key][[3, 5]].tolist(), key
        else:
            assert wide[key].tobytes() == base[key].tobytes(), key


# Bytes of build_field on clouds that reach every wide loop of the splat (stencils
# wholly on the grid and clamped at its border, odd row lengths, every colour
# layout) and both neighbour searches (the cell grid with its helper threads, and
# the tree for clustered targets, which lets the helpers go unused).
_FIELD_RESULTS = r'''
import sys
import numpy as np
from visualization import brelvo as B

rng = np.random.default_rng(11)
rgb = B._lut(None)[0]

def cloud(n, spread):
    cols = rgb[rng.integers(0, 256, n)] + rng.uniform(-0.4, 0.4, (n, 3))
    return rng.uniform(0.0, 360.0, n), np.abs(rng.normal(5.0, spread, n)), cols

clouds = {
    "wide": cloud(5000, 4.0),
    "at the rim": cloud(700, 9.0),
    "clustered": (np.repeat(rng.uniform(0, 360, 7), 700), np.repeat(rng.uniform(1, 9, 7), 700),
                  rgb[rng.integers(0, 256, 4900)]),
}
palette = B.apply_colormap
layouts = {
    "rgba bytes": palette,
    "rgb bytes": lambda f, c=None: np.ascontiguousarray(palette(f, c)[..., :3]),
    "rgba doubles": lambda f, c=None: palette(f, c).astype(np.float64),
}
out = {}
for name, cl in clouds.items():
    for layout, colour in layouts.items():
        B.apply_colormap = colour
        for scale, power, softness, cell in ((30.0, 3.0, 2.0, 4.0), (47.0, 1.7, 0.4, 2.0)):
            img = B.build_field(cl, 10.0, scale, power, softness, None, cell)
            ptr = img.constBits()
            ptr.setsize(img.sizeInBytes())
            out[f"{name} {layout} {scale}"] = np.frombuffer(ptr, np.uint8).copy()
np.savez(sys.argv[1], **out)
'''


@pytest.mark.skipif(bool(os.environ.get("VIS_GENERIC_KERNELS")), reason="already on the baseline paths")
def test_wide_field_kernels_match_the_baseline_ones(tmp_path):
    results = {}
    for generic in ("0", "1"):
        path = tmp_path / f"generic{generic}.npz"
        env = dict(os.environ, VIS_GENERIC_KERNELS=generic, QT_QPA_PLATFORM="offscreen")
        subprocess.run([sys.executable, "-c", _FIELD_RESULTS, str(path)], env=env, check=True, timeout=300)
        with np.load(path) as data:
            results[generic] = dict(data)
    wide, base = results["0"], results["1"]
    assert wide.keys() == base.keys()
    for key in wide:
        assert wide[key].size > 0 and wide[key].any(), key
        assert wide[key].tobytes() == base[key].tobytes(), key
