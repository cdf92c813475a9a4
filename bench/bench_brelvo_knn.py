"""Nearest-neighbour index of visualization.brelvo against plain NumPy
formulations (and SciPy's cKDTree) measured in the same run."""


import numpy as np

from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo as ref  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402



def report(name, ours, other, label):
    print(f"{name:48s} ours {ours * 1e3:9.2f} ms   {label} {other * 1e3:9.2f} ms   ratio {other / ours:7.1f}x")


def main():
    rng = np.random.default_rng(0)
    P = rng.uniform(-20, 20, (5000, 2))
    Q = rng.uniform(-20, 20, (50000, 2))
    tree = brelvo._NumpyKDTree(P)
    ours = best(lambda: brelvo._NumpyKDTree(P).query(Q, k=8), 5)
    numpy = best(lambda: ref.knn_query(P, Q, 8), 1)
    report("_NumpyKDTree.query 50000 x 5000, k=8", ours, numpy, "numpy")
    if ref.cKDTree is not None:
        sc = best(lambda: ref.cKDTree(P).query(Q, k=8), 5)
        report("_NumpyKDTree.query 50000 x 5000, k=8", ours, sc, "scipy")
        sc1 = best(lambda: ref.cKDTree(P).query(Q, k=8, workers=1), 5)
        report("  (scipy single worker)", ours, sc1, "scipy")
    ours_q = best(lambda: tree.query(Q, k=8), 5)
    print(f"  query alone (tree reused): {ours_q * 1e3:.2f} ms")
    # The palette search on the host's colours is measured by bench_brelvo_lookup.py.


if __name__ == "__main__":
    main()
