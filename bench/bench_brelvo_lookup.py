"""Reverse palette lookup (lambda_from_colors) and the content key (cloud_key)
of visualization.brelvo on the host's inputs, against plain NumPy formulations
(SciPy's cKDTree for the palette search) measured in the same run."""

import numpy as np

from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo as ref  # noqa: E402
import reference_tintora as ref_tintora  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402
from bench_brelvo_polar import python_key  # noqa: E402
from workloads import FIELD_SCALE, POWER, SOFTNESS, TOP, host_cloud, host_colours  # noqa: E402


def report(name, ours, other):
    print(f"{name:52s} ours {ours * 1e3:8.3f} ms   numpy {other * 1e3:8.3f} ms   "
          f"ratio {other / ours:7.1f}x")


def main():
    rgb = ref.palette_table(ref_tintora.apply_colormap)
    tree = ref.cKDTree(rgb)

    def numpy_lookup(cols):
        return tree.query(np.asarray(cols, dtype=np.float64).reshape(-1, 3), k=1)[1] / 255.0

    brelvo.lambda_from_colors(rgb)  # the palette's table is built once, outside the timings
    cols = host_colours(100_000)
    report("lambda_from_colors 100000 host colours", best(lambda: brelvo.lambda_from_colors(cols), 9),
           best(lambda: numpy_lookup(cols), 3))
    contiguous = np.ascontiguousarray(cols)
    report("  (same colours, contiguous)", best(lambda: brelvo.lambda_from_colors(contiguous), 9),
           best(lambda: numpy_lookup(contiguous), 3))
    rows = rgb[np.random.default_rng(1).integers(0, 256, 100_000)]
    report("  (exact table rows, float64)", best(lambda: brelvo.lambda_from_colors(rows), 9),
           best(lambda: numpy_lookup(rows), 3))

    c = host_cloud(10_000)
    args = (TOP, FIELD_SCALE, POWER, SOFTNESS)
    report("cloud_key 10000 targets, colour view", best(lambda: brelvo.cloud_key(c, *args), 51),
           best(lambda: python_key(c, *args), 51))
    cc = (c[0], c[1], np.ascontiguousarray(c[2]))
    report("  (contiguous colours)", best(lambda: brelvo.cloud_key(cc, *args), 51),
           best(lambda: python_key(cc, *args), 51))


if __name__ == "__main__":
    main()
