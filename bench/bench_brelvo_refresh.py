"""One full sonar refresh as the host runs it (cloud_key, build_field,
render_polar_alan, en_guclu_kutup_indeksleri) with visualization.brelvo against
the plain NumPy formulations (SciPy's cKDTree) measured in the same run."""

import os
import sys

import numpy as np
from PyQt5.QtGui import QImage

sys.path.insert(0, os.path.dirname(__file__))
from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo as ref_field  # noqa: E402
import reference_brelvo_polar as ref  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402
from bench_brelvo_polar import numpy_render, python_key  # noqa: E402

TOP, SCALE, RR, HUCRE = 20.0, 20.0, 400.0, 2


def cloud(n, seed=0):
    rng = np.random.default_rng(seed)
    rgb = brelvo._lut(None)[0]
    cols = rgb[rng.integers(0, 256, n)].astype(np.uint8)
    return (rng.uniform(0, 360, n), TOP * np.sqrt(rng.uniform(0.001, 0.99, n)), cols, 0, 0, 0, 0,
            rng.uniform(0, 1, n), 0, np.arange(n))


def ours(c):
    brelvo.cloud_key(c, TOP, SCALE, 3.0, 2.0)
    brelvo.build_field(c, TOP, SCALE)
    brelvo.render_polar_alan(c, SCALE, TOP, 0.0, RR, hucre=HUCRE)
    brelvo.en_guclu_kutup_indeksleri(c, 0.0, TOP)


def numpy_refresh(c):
    python_key(c, TOP, SCALE, 3.0, 2.0)
    px = ref_field.build_field_bytes(c, TOP, SCALE, apply_colormap=brelvo.apply_colormap, exact_pow=False)
    G = px.shape[0]
    QImage(px.tobytes(), G, G, 4 * G, QImage.Format_RGBA8888_Premultiplied).copy()
    numpy_render(c, SCALE, TOP, 0.0, RR, 2.4, 2.0, HUCRE)
    ref.strongest_poles(c, 0.0, TOP)


def main():
    c = cloud(3000)
    t_ours = best(lambda: ours(c), 7)
    t_np = best(lambda: numpy_refresh(c), 3)
    print(f"sonar refresh n= 3000   ours {t_ours * 1e3:8.2f} ms   numpy {t_np * 1e3:8.2f} ms   "
          f"ratio {t_np / t_ours:6.1f}x")


if __name__ == "__main__":
    main()
