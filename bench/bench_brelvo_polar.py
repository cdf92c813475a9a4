"""render_polar_alan and cloud_key of visualization.brelvo against the plain
NumPy formulations (SciPy's cKDTree for the neighbour queries) measured in the
same run."""


import numpy as np
from PyQt5.QtCore import Qt
from PyQt5.QtGui import QImage

from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo_polar as ref  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402



def cloud(n, top, seed=0):
    """n targets, all inside the visible band, spread over the disc."""
    rng = np.random.default_rng(seed)
    return (rng.uniform(0, 360, n), top * np.sqrt(rng.uniform(0.001, 0.99, n)),
            rng.integers(0, 256, (n, 3)).astype(np.uint8))


def numpy_render(c, scale, top, r_off, rr, power, softness, hucre):
    out = ref.polar_bytes(c, scale, top, r_off, rr, 0.0, power, softness, hucre)
    if out is None:
        return None
    px, step = out
    nx = px.shape[0]
    img = QImage(px.tobytes(), nx, nx, 4 * nx, QImage.Format_ARGB32).copy()
    if step > 1:
        W = 2 * int(rr)
        img = img.scaled(W, W, Qt.IgnoreAspectRatio, Qt.SmoothTransformation)
    return img


def python_key(c, top, scale, power, softness, cell_px=4.0, colormap=None):
    return (hash(np.asarray(c[0]).tobytes()), hash(np.asarray(c[1]).tobytes()),
            hash(np.asarray(c[2]).tobytes()), round(float(top), 4), round(float(scale), 3),
            round(float(power), 3), round(float(softness), 3), float(cell_px),
            0 if colormap is None else id(colormap))


def main():
    rr, scale, top, power, softness = 400.0, 20.0, 20.0, 2.4, 2.0
    for n in (300, 3000):
        for hucre in (2, 1):
            c = cloud(n, top, seed=n)
            args = (c, scale, top, 0.0, rr, 0.0, power, softness, hucre)
            ours = best(lambda: brelvo.render_polar_alan(*args), 7)
            numpy = best(lambda: numpy_render(c, scale, top, 0.0, rr, power, softness, hucre), 2)
            print(f"render_polar_alan n={n:5d} hucre={hucre}   ours {ours * 1e3:8.2f} ms   numpy "
                  f"{numpy * 1e3:8.2f} ms   ratio {numpy / ours:6.1f}x")

    c = cloud(10000, top, seed=1)
    c = (c[0], c[1], c[2].astype(np.float64))
    ours = best(lambda: brelvo.cloud_key(c, top, scale, power, softness), 200)
    py = best(lambda: python_key(c, top, scale, power, softness), 200)
    print(f"cloud_key n=10000 (float64 colours)   ours {ours * 1e6:8.1f} us   python "
          f"{py * 1e6:8.1f} us   ratio {py / ours:6.1f}x")
    c8 = cloud(10000, top, seed=2)
    ours = best(lambda: brelvo.cloud_key(c8, top, scale, power, softness), 200)
    py = best(lambda: python_key(c8, top, scale, power, softness), 200)
    print(f"cloud_key n=10000 (uint8 colours)     ours {ours * 1e6:8.1f} us   python "
          f"{py * 1e6:8.1f} us   ratio {py / ours:6.1f}x")


if __name__ == "__main__":
    main()
