"""Timings of visualization.tintora against plain NumPy formulations.

Every line prints our time, the NumPy formulation's time measured in the same
run, and the ratio NumPy ÷ ours. The NumPy side (tests/reference_tintora.py)
calls nothing of ours. The inputs are what the host sends: its anomaly field
(a grid whose unwritten cells hold 0), the ground level and range that
running_baseline gives for it, the continuous λ that compute_lambda makes of
it, and for rbf_fill the vertices of its sphere model filled from scattered
samples on the sphere (distances as chords).
"""
import os
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_tintora as ref  # noqa: E402
from visualization import tintora as T  # noqa: E402


def row(name, ours, numpy_t, extra=""):
    print(f"{name:<48} ours {ours * 1e3:9.3f} ms  numpy {numpy_t * 1e3:9.3f} ms  ratio {numpy_t / ours:7.1f}x {extra}")


def anomaly_field(n, seed, unwritten=0.25):
    """The host's magnetic anomaly grid: a few signed blobs plus sensor noise,
    with a fraction of cells never written (0)."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:n, 0:n] / n
    f = np.zeros((n, n))
    for _ in range(6):
        cx, cy, r = rng.uniform(0.1, 0.9), rng.uniform(0.1, 0.9), rng.uniform(0.03, 0.15)
        f += rng.choice([-1.0, 1.0]) * rng.uniform(5.0, 40.0) * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / r**2)
    f += rng.normal(0.0, 0.5, f.shape)
    f[rng.random(f.shape) < unwritten] = 0.0
    return f


def sphere_points(n, rng, radius=1.5):
    v = rng.normal(size=(n, 3))
    return radius * v / np.linalg.norm(v, axis=1)[:, None]


def peak_rss_mb(side, m, n, power, smoothing):
    # VmHWM is the peak of this process's own address space; ru_maxrss would
    # carry over the peak of the (large) benchmark process across fork + exec.
    call = {"ours": "T.rbf_fill", "numpy dense": "ref.rbf_fill", "numpy blocks": "ref.rbf_fill_chunked"}[side]
    code = f"""
import resource, sys, numpy as np
sys.path.insert(0, {os.path.join(HERE, '..', 'tests')!r})
import reference_tintora as ref
from visualization import tintora as T
rng = np.random.default_rng(5)
q = rng.normal(size=({m}, 3)); p = rng.normal(size=({n}, 3)); v = rng.normal(size={n})
{call}(q, p, v, {power}, {smoothing})
try:
    with open('/proc/self/status') as fh:
        kb = next(int(line.split()[1]) for line in fh if line.startswith('VmHWM:'))
except (OSError, StopIteration):
    kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(kb / 1024.0)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def colouring():
    field = anomaly_field(1000, seed=1)
    g, lo, hi = ref.running_baseline(field)
    esik = 1.0
    lam = ref.compute_lambda(field, g, lo, hi, esik, sifiri_topraga_cek=False)
    row("running_baseline 1000x1000 field", best(lambda: T.running_baseline(field), 20),
        best(lambda: ref.running_baseline(field), 5))
    row("compute_lambda 1000x1000 field", best(lambda: T.compute_lambda(field, g, lo, hi, esik), 20),
        best(lambda: ref.compute_lambda(field, g, lo, hi, esik), 5))
    row("apply_colormap 1000x1000 continuous lambda", best(lambda: T.apply_colormap(lam), 20),
        best(lambda: ref.apply_colormap(lam), 5))
    row("boya 1000x1000 field", best(lambda: T.boya(field, g, lo, hi, esik), 20),
        best(lambda: ref.boya(field, g, lo, hi, esik), 5))
    # Extra cases: the thermal field (threshold around the ground), a mask,
    # a caller's 12-stop palette and the 256-row table the sonar module samples.
    thermal = np.where(field != 0.0, 300.0 + 2.0 * field, 0.0)
    tg, tlo, thi = ref.running_baseline(thermal)
    row("  compute_lambda thermal, esik_ref = ground",
        best(lambda: T.compute_lambda(thermal, tg, tlo, thi, 5.0, esik_ref=tg), 20),
        best(lambda: ref.compute_lambda(thermal, tg, tlo, thi, 5.0, esik_ref=tg), 5))
    mask = np.random.default_rng(2).random(field.shape) < 0.9
    row("  boya with a validity mask", best(lambda: T.boya(field, g, lo, hi, esik, mask=mask), 20),
        best(lambda: ref.boya(field, g, lo, hi, esik, mask=mask), 5))
    pal12 = np.c_[np.linspace(0.0, 1.0, 12), np.random.default_rng(3).random((12, 4))]
    row("  apply_colormap, a 12-stop palette", best(lambda: T.apply_colormap(lam, pal12), 20),
        best(lambda: ref.apply_colormap(lam, pal12), 5))
    lut = np.linspace(0.0, 1.0, 256)
    row("  apply_colormap 256 values (lookup table)", best(lambda: T.apply_colormap(lut), 500),
        best(lambda: ref.apply_colormap(lut), 500))


def shepard():
    rng = np.random.default_rng(0)
    m, n = 20000, 2000
    q = sphere_points(m, rng)
    p = sphere_points(n, rng)
    v = rng.normal(size=n)
    for power, smoothing in ((2, 2), (2.4, 0.5)):
        ours = best(lambda: T.rbf_fill(q, p, v, power, smoothing), 5)
        dense = best(lambda: ref.rbf_fill(q, p, v, power, smoothing), 2)
        blocks = best(lambda: ref.rbf_fill_chunked(q, p, v, power, smoothing), 2)
        ns = f"{ours / (m * n) * 1e9:.2f} ns/pair"
        row(f"rbf_fill {m}x{n} 3-D p={power} s={smoothing}", ours, dense, f"(dense M x N NumPy) {ns}")
        row(f"  the same, NumPy in blocks of 128 rows", ours, blocks)
    mem = (f"peak RSS ours {peak_rss_mb('ours', m, n, 2, 2):.0f} MB, NumPy dense "
           f"{peak_rss_mb('numpy dense', m, n, 2, 2):.0f} MB, in blocks {peak_rss_mb('numpy blocks', m, n, 2, 2):.0f} MB")
    print(f"rbf_fill {m}x{n}: {mem}")


def main():
    colouring()
    shepard()


if __name__ == "__main__":
    main()
