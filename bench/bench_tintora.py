"""Timings of visualization.tintora against the plain NumPy formulation.

Prints, per workload, our time, NumPy's time (same run), the ratio, and for
rbf_fill the peak resident memory of each side measured in a fresh subprocess.
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
    print(f"{name:<44} ours {ours * 1e3:9.3f} ms  numpy {numpy_t * 1e3:9.3f} ms  ratio {numpy_t / ours:7.1f}x {extra}")


def peak_rss_mb(side, m, n, power, smoothing):
    # VmHWM is the peak of this process's own address space; ru_maxrss would
    # carry over the peak of the (large) benchmark process across fork + exec.
    code = f"""
import resource, sys, numpy as np
sys.path.insert(0, {os.path.join(HERE, '..', 'tests')!r})
import reference_tintora as ref
from visualization import tintora as T
rng = np.random.default_rng(5)
q = rng.normal(size=({m}, 3)); p = rng.normal(size=({n}, 3)); v = rng.normal(size={n})
({'T' if side == 'ours' else 'ref'}).rbf_fill(q, p, v, {power}, {smoothing})
try:
    with open('/proc/self/status') as fh:
        kb = next(int(line.split()[1]) for line in fh if line.startswith('VmHWM:'))
except (OSError, StopIteration):
    kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(kb / 1024.0)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main():
    rng = np.random.default_rng(0)
    yy, xx = np.mgrid[0:1000, 0:1000] / 1000.0
    lam_random = rng.uniform(-0.1, 1.1, (1000, 1000))
    lam_smooth = 0.5 + 0.5 * np.sin(7 * xx) * np.cos(5 * yy)
    for name, lam in (("apply_colormap 1000x1000 random lambda", lam_random),
                      ("apply_colormap 1000x1000 smooth lambda", lam_smooth)):
        row(name, best(lambda: T.apply_colormap(lam), 10), best(lambda: ref.apply_colormap(lam), 3))
    pal12 = np.c_[np.linspace(0.0, 1.0, 12), rng.random((12, 4))]
    row("apply_colormap 1000x1000 random, 12 stops", best(lambda: T.apply_colormap(lam_random, pal12), 10),
        best(lambda: ref.apply_colormap(lam_random, pal12), 3))
    lut = np.linspace(0.0, 1.0, 256)
    row("apply_colormap 256 values (lookup table)", best(lambda: T.apply_colormap(lut), 200),
        best(lambda: ref.apply_colormap(lut), 200))

    field = rng.normal(0.0, 5.0, (1000, 1000))
    field[rng.random(field.shape) < 0.1] = 0.0
    g, lo, hi = ref.running_baseline(field)
    row("compute_lambda 1000x1000", best(lambda: T.compute_lambda(field, g, lo, hi, 0.5), 10),
        best(lambda: ref.compute_lambda(field, g, lo, hi, 0.5), 3))
    row("boya 1000x1000, 10% zero cells", best(lambda: T.boya(field, g, lo, hi, 0.5), 10),
        best(lambda: ref.boya(field, g, lo, hi, 0.5), 3))
    mask = rng.random(field.shape) < 0.9
    row("boya 1000x1000, 10% zero cells, mask", best(lambda: T.boya(field, g, lo, hi, 0.5, mask=mask), 10),
        best(lambda: ref.boya(field, g, lo, hi, 0.5, mask=mask), 3))
    row("running_baseline 1000x1000", best(lambda: T.running_baseline(field), 10),
        best(lambda: ref.running_baseline(field), 10))

    m, n = 20000, 2000
    q = rng.normal(size=(m, 3))
    p = rng.normal(size=(n, 3))
    v = rng.normal(size=n)
    for power, smoothing in ((2, 2), (2.4, 0.5)):
        ours = best(lambda: T.rbf_fill(q, p, v, power, smoothing), 2)
        dense = best(lambda: ref.rbf_fill(q, p, v, power, smoothing), 1)
        mem = (f"peak RSS {peak_rss_mb('ours', m, n, power, smoothing):.1f} MB vs "
               f"{peak_rss_mb('numpy', m, n, power, smoothing):.1f} MB")
        row(f"rbf_fill {m}x{n} 3-D p={power} s={smoothing}", ours, dense, mem)
    big = peak_rss_mb("ours", 200000, 2000, 2, 2)
    print(f"rbf_fill 200000x2000 (ours only): peak RSS {big:.1f} MB (an M x N matrix would be 3200 MB)")


if __name__ == "__main__":
    main()
