"""render_polar_alan and cloud_key of visualization.brelvo against plain NumPy
formulations (SciPy's cKDTree for the neighbour queries, PyQt5 for the image)
measured in the same run, on the host's workloads. The references call nothing
of ours; our apply_colormap only paints the inputs."""

import numpy as np
from PyQt5.QtCore import Qt
from PyQt5.QtGui import QImage

from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo_polar as ref  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402
from workloads import POWER, RR, SCALE, SOFTNESS, TOP, host_cloud  # noqa: E402


def numpy_render(c, scale, top, r_off, rr, power, softness, hucre):
    """The polar field as the plain formulation builds it, scaled by Qt as ours is."""
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
    """The content key with Python's own byte-string hash."""
    return (hash(np.asarray(c[0]).tobytes()), hash(np.asarray(c[1]).tobytes()),
            hash(np.asarray(c[2]).tobytes()), round(float(top), 4), round(float(scale), 3),
            round(float(power), 3), round(float(softness), 3), float(cell_px),
            0 if colormap is None else id(colormap))


def main():
    for n in (300, 3000):
        c = host_cloud(n, seed=n)
        for hucre in (2, 1):
            args = (c, SCALE, TOP, 0.0, RR, 0.0, POWER, SOFTNESS, hucre)
            ours = best(lambda: brelvo.render_polar_alan(*args), 7)
            numpy = best(lambda: numpy_render(c, SCALE, TOP, 0.0, RR, POWER, SOFTNESS, hucre), 2)
            print(f"render_polar_alan n={n:5d} rr={RR:.0f} hucre={hucre}   ours {ours * 1e3:8.2f} ms   "
                  f"numpy {numpy * 1e3:8.2f} ms   ratio {numpy / ours:6.1f}x")

    for n in (3000, 5000):
        c = host_cloud(n, seed=n)
        ours = best(lambda: brelvo.cloud_key(c, TOP, SCALE, POWER, SOFTNESS), 200)
        py = best(lambda: python_key(c, TOP, SCALE, POWER, SOFTNESS), 200)
        print(f"cloud_key n={n:5d}   ours {ours * 1e6:8.1f} us   python {py * 1e6:8.1f} us   "
              f"ratio {py / ours:6.1f}x")


if __name__ == "__main__":
    main()
