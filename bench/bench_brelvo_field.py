"""build_field of visualization.brelvo against the plain NumPy formulation
measured in the same run (SciPy's tree present for both)."""


import numpy as np

from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo as ref  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402



def cloud(n, top, seed=0):
    rng = np.random.default_rng(seed)
    rgb = brelvo._lut(None)[0]
    return (rng.uniform(0, 360, n), top * np.sqrt(rng.uniform(0, 1, n)),
            rgb[rng.integers(0, 256, n)].astype(np.uint8))


def main():
    top, scale = 20.0, 15.0
    for n in (500, 5000):
        for cell in (4.0, 2.0):
            c = cloud(n, top)
            ours = best(lambda: brelvo.build_field(c, top, scale, cell_px=cell), 7)
            numpy = best(lambda: ref.build_field_bytes(c, top, scale, cell_px=cell,
                                                       apply_colormap=brelvo.apply_colormap,
                                                       exact_pow=False), 3)
            G = brelvo.build_field(c, top, scale, cell_px=cell).width()
            print(f"build_field n={n:5d} G={G:3d}   ours {ours * 1e3:8.2f} ms   numpy "
                  f"{numpy * 1e3:8.2f} ms   ratio {numpy / ours:6.1f}x")


if __name__ == "__main__":
    main()
