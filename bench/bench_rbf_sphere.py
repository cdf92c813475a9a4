"""The sphere view's fill: rbf_fill of every vertex of the host's sphere model.

Each refresh fills the model's vertices twice from the samples measured so
far: the values with the user's power and softness (2.4 and 0.5 here), and
the depth with power 2 and smoothing 2. The model is 10 242 points of the
unit sphere (Fibonacci lattice), distances are chords, and the samples lie
on a cap of the sphere, where the instrument has pointed. Every line prints
our time and ns per query-sample pair, the NumPy formulation's time from the
same run and the ratio NumPy ÷ ours: the dense M x N formula where its
matrices fit in half the available memory, and always the same formula in
blocks of 128 query rows (with 10 000 samples also in blocks of 512, the
size a NumPy user would pick for this workload's memory). Our CPU time is
printed too: on a shared machine it is the steadier of the two (the fill
runs on one thread).
"""
import time

import numpy as np

from timing import best  # also puts tests/ on sys.path
import reference_tintora as ref  # noqa: E402
from visualization import tintora as T  # noqa: E402

VERTICES = 10242
CALLS = ((2.4, 0.5), (2.0, 2.0))  # (power, smoothing): values, then depth


def fibonacci_sphere(n):
    i = np.arange(n) + 0.5
    z = 1.0 - 2.0 * i / n
    r = np.sqrt(1.0 - z * z)
    phi = np.pi * (3.0 - np.sqrt(5.0)) * i
    return np.column_stack([r * np.cos(phi), r * np.sin(phi), z])


def cap_samples(n, seed, half_angle=np.radians(50.0)):
    """n points spread evenly over a cap of the unit sphere around +x, with values."""
    rng = np.random.default_rng(seed)
    z = rng.uniform(np.cos(half_angle), 1.0, n)
    phi = rng.uniform(0.0, 2.0 * np.pi, n)
    r = np.sqrt(1.0 - z * z)
    pts = np.column_stack([z, r * np.cos(phi), r * np.sin(phi)])
    return pts, np.sin(3.0 * pts[:, 1]) * np.cos(2.0 * pts[:, 2]) * 40.0 + rng.normal(0.0, 1.0, n)


def dense_fits(m, n):
    # The dense formula holds about eight M x N float64 matrices at its peak.
    try:
        with open("/proc/meminfo") as fh:
            avail = next(int(line.split()[1]) * 1024 for line in fh if line.startswith("MemAvailable:"))
    except (OSError, StopIteration):
        return False
    return 8 * 8 * m * n < avail / 2


def line(name, ours, pairs, numpy_t, numpy_name, cpu):
    ns = ours / pairs * 1e9
    print(f"{name:<40} ours {ours * 1e3:7.1f} ms {ns:5.2f} ns/pair (CPU {cpu / pairs * 1e9:5.2f})  "
          f"{numpy_name} {numpy_t * 1e3:8.1f} ms ratio {numpy_t / ours:6.1f}x")


def main():
    q = fibonacci_sphere(VERTICES)
    for n in (10000, 40000):
        p, v = cap_samples(n, seed=n)
        pairs = VERTICES * n
        both = {"ours": 0.0, "cpu": 0.0, "blocks": 0.0, "blocks512": 0.0, "dense": 0.0}
        for power, smoothing in CALLS:
            name = f"sphere {VERTICES}x{n} p={power:g} s={smoothing:g}"
            ours = best(lambda: T.rbf_fill(q, p, v, power, smoothing), 5)
            cpu = best(lambda: T.rbf_fill(q, p, v, power, smoothing), 3, time.process_time)
            blocks = best(lambda: ref.rbf_fill_chunked(q, p, v, power, smoothing), 1)
            line(name, ours, pairs, blocks, "numpy 128-row blocks", cpu)
            both["ours"] += ours
            both["cpu"] += cpu
            both["blocks"] += blocks
            if n == 10000:
                blocks512 = best(lambda: ref.rbf_fill_chunked(q, p, v, power, smoothing, rows=512), 1)
                line("  the same", ours, pairs, blocks512, "numpy 512-row blocks", cpu)
                both["blocks512"] += blocks512
            if dense_fits(VERTICES, n):
                dense = best(lambda: ref.rbf_fill(q, p, v, power, smoothing), 1)
                line("  the same", ours, pairs, dense, "numpy dense          ", cpu)
                both["dense"] += dense
        extra = f", dense {both['dense']:.2f} s ({both['dense'] / both['ours']:.1f}x)" if both["dense"] else ""
        if both["blocks512"]:
            extra += f", 512-row blocks {both['blocks512']:.2f} s ({both['blocks512'] / both['ours']:.1f}x)"
        ns = both["ours"] / (2 * pairs) * 1e9
        print(f"sphere {VERTICES}x{n}, both calls: ours {both['ours']:.3f} s (CPU {both['cpu']:.3f} s), "
              f"{ns:.2f} ns/pair; numpy blocks {both['blocks']:.2f} s ({both['blocks'] / both['ours']:.1f}x){extra}")


if __name__ == "__main__":
    main()
