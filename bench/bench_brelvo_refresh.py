"""One sonar refresh as the host runs it (cloud_key, build_field,
render_polar_alan, en_guclu_kutup_indeksleri) with visualization.brelvo
against plain NumPy formulations (SciPy's cKDTree where the described
algorithms use a tree, NumPy's palette arithmetic for the colours) measured in
the same run. The references call nothing of ours."""

import numpy as np
from PyQt5.QtGui import QImage
from scipy.spatial import cKDTree

from timing import best  # noqa: E402  (also puts tests/ on sys.path)
import reference_brelvo as ref_field  # noqa: E402
import reference_brelvo_polar as ref  # noqa: E402
import reference_tintora as ref_palette  # noqa: E402
import visualization.brelvo as brelvo  # noqa: E402
from bench_brelvo_polar import numpy_render, python_key  # noqa: E402
from workloads import FIELD_SCALE, POWER, RR, SCALE, SOFTNESS, TOP, host_cloud  # noqa: E402

HUCRE = 2

# The reverse palette lookup as described: SciPy's tree over the 256 palette rows,
# built once per palette like the module's table cache, queried with k = 1.
_TREES = {}


def tree_lambda_from_colors(cols, rgb):
    key = rgb.tobytes()
    if key not in _TREES:
        _TREES[key] = cKDTree(rgb)
    c = np.asarray(cols, dtype=np.float64).reshape(-1, 3)
    return _TREES[key].query(c, k=1)[1].astype(np.float64) / 255.0


ref_field.lambda_from_colors = tree_lambda_from_colors


def ours(c):
    brelvo.cloud_key(c, TOP, FIELD_SCALE, POWER, SOFTNESS)
    brelvo.build_field(c, TOP, FIELD_SCALE, POWER, SOFTNESS)
    brelvo.render_polar_alan(c, SCALE, TOP, 0.0, RR, 0.0, POWER, SOFTNESS, HUCRE)
    brelvo.en_guclu_kutup_indeksleri(c, 0.0, TOP)


def numpy_refresh(c):
    python_key(c, TOP, FIELD_SCALE, POWER, SOFTNESS)
    px = ref_field.build_field_bytes(c, TOP, FIELD_SCALE, POWER, SOFTNESS,
                                     apply_colormap=ref_palette.apply_colormap, exact_pow=False)
    G = px.shape[0]
    QImage(px.tobytes(), G, G, 4 * G, QImage.Format_RGBA8888_Premultiplied).copy()
    numpy_render(c, SCALE, TOP, 0.0, RR, POWER, SOFTNESS, HUCRE)
    ref.strongest_poles(c, 0.0, TOP)


def main():
    for n in (300, 3000):
        c = host_cloud(n, seed=n)
        t_ours = best(lambda: ours(c), 7)
        t_np = best(lambda: numpy_refresh(c), 3)
        print(f"sonar refresh n={n:5d} rr={RR:.0f} hucre={HUCRE}   ours {t_ours * 1e3:8.2f} ms   "
              f"numpy {t_np * 1e3:8.2f} ms   ratio {t_np / t_ours:6.1f}x")


if __name__ == "__main__":
    main()
