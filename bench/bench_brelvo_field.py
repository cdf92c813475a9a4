"""build_field of visualization.brelvo on the host's clouds against the plain
NumPy formulation measured in the same run (SciPy's tree for the neighbour
search and the palette search, a NumPy palette for the colours)."""

import numpy as np

from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo as ref  # noqa: E402
import reference_tintora as ref_tintora  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402
from workloads import FIELD_SCALE, TOP, host_cloud  # noqa: E402


def numpy_field(c, cell):
    return ref.build_field_bytes(c, TOP, FIELD_SCALE, cell_px=cell,
                                 apply_colormap=ref_tintora.apply_colormap, exact_pow=False,
                                 tree_lookup=True)


def main():
    for n in (500, 5000):
        c = host_cloud(n, signals=False)
        for cell in (4.0, 2.0):
            ours = best(lambda: brelvo.build_field(c, TOP, FIELD_SCALE, cell_px=cell), 11)
            numpy = best(lambda: numpy_field(c, cell), 11)
            G = brelvo.build_field(c, TOP, FIELD_SCALE, cell_px=cell).width()
            print(f"build_field n={n:5d} G={G:3d}   ours {ours * 1e3:8.2f} ms   numpy "
                  f"{numpy * 1e3:8.2f} ms   ratio {numpy / ours:6.1f}x")


if __name__ == "__main__":
    main()
