import os
import platform
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from PyQt5.QtCore import Qt
from PyQt5.QtGui import QImage

import visualization.brelvo as brelvo
from platform_gaps import WINDOWS
from reference_brelvo_polar import image_bytes, polar_bytes
from scipy.spatial import cKDTree as ScipyTree

# The blend's promised accuracy: a colour byte differs from the truncated exact
# value only where that value lies within a fortieth of a step of a byte boundary.
STEP_ERROR = 1 / 40


def reference(*args, **kw):
    return polar_bytes(*args, channels=True, **kw)


# The wide kernel variants exist on x86-64 alone; elsewhere, or when they are
# switched off, the comparisons below would compare a path with itself.
ONE_KERNEL_PATH = bool(os.environ.get("VIS_GENERIC_KERNELS")) or platform.machine() not in ("x86_64", "AMD64")


def make_cloud(n, seed=0, top=20.0, rgba=False):
    g = np.random.default_rng(seed)
    cols = 4 if rgba else 3
    return (g.uniform(-180, 540, n), g.uniform(0, top * 1.05, n), g.integers(0, 256, (n, cols)).astype(np.uint8))


def render(cloud, **kw):
    args = dict(scale=8.0, top=20.0, r_off=0.0, rr=100.0, hucre=1)
    args.update(kw)
    return brelvo.render_polar_alan(cloud, **args)


def assert_close_to_reference(img, ref, scaled_to=None):
    rb, step = ref[:2]
    if step > 1:
        h, w = rb.shape[:2]
        q = QImage(rb.tobytes(), w, h, 4 * w, QImage.Format_ARGB32).copy()
        q = q.scaled(scaled_to, scaled_to, Qt.IgnoreAspectRatio, Qt.SmoothTransformation)
        rb = image_bytes(q)
    got = image_bytes(img)
    assert got.shape == rb.shape
    diff = np.abs(got.astype(int) - rb.astype(int))
    assert diff.max() <= 1
    if step == 1 and len(ref) == 3:
        with np.errstate(invalid="ignore"):  # NaN channels give 0
            lo, hi = (np.nan_to_num(np.clip(ref[2] + e, 0, 255)).astype(np.uint8) for e in (-STEP_ERROR, STEP_ERROR))
        off = (got[..., :3] < lo) | (got[..., :3] > hi)
        assert not off.any(), f"{off.sum()} colour bytes off by more than the promised error"


class WrappedTree:
    """A host replacement for the tree: SciPy's class behind a thin wrapper."""

    calls = 0

    def __init__(self, pts):
        self._t = ScipyTree(pts)

    def query(self, q, k=1):
        WrappedTree.calls += 1
        return self._t.query(q, k=k)


@pytest.mark.parametrize(
    "cloud",
    [
        None,
        (np.zeros(0), np.zeros(0), np.zeros((0, 3))),
        (np.zeros(2), np.ones(2), np.zeros(2)),
        (np.zeros(2), np.ones(2), np.zeros((2, 2))),
        (np.zeros(2), np.array([30.0, -1.0]), np.zeros((2, 3))),
        (np.array([np.nan, 0.0]), np.array([1.0, np.inf]), np.zeros((2, 3))),
    ],
)
def test_nothing_to_draw_returns_none(cloud):
    assert render(cloud) is None


def test_gap_hides_everything():
    cloud = (np.zeros(3), np.array([0.1, 0.2, 0.3]), np.zeros((3, 3)))
    assert render(cloud, min_bosluk_m=0.5) is None


@pytest.mark.parametrize("rr", [0.5, 0.0, -3.0])
def test_empty_frame_returns_none(rr):
    assert render(make_cloud(3), rr=rr) is None


def test_single_target_disc():
    cloud = (np.array([90.0]), np.array([5.0]), np.array([[200, 100, 50]], np.uint8))
    img = render(cloud, scale=10.0, rr=200.0, hucre=1)
    assert img.format() == QImage.Format_ARGB32
    assert (img.width(), img.height()) == (400, 400)
    px = image_bytes(img)
    cx, cy = 250.0, 200.0  # the target's position
    yy, xx = np.mgrid[0:400, 0:400] + 0.5
    d = np.sqrt((xx - cx) ** 2 + (yy - cy) ** 2)
    assert np.all(px[..., 3][d <= 10] == 235)
    assert np.all(px[..., 3][d >= 16] == 0)
    ramp = (np.clip(1.0 - (d - 10.0) / 6.0, 0.0, 1.0) * 235.0).astype(np.uint8)
    assert np.array_equal(px[..., 3], ramp)
    assert int(np.clip(1.0 - (13.0 - 10.0) / 6.0, 0, 1) * 235.0) == 117
    # Colour channels carry the colour everywhere, alpha 0 included.
    assert np.all(np.abs(px[..., :3].astype(int) - [50, 100, 200]) <= 1)


def test_rgba_colours_render_as_their_rgb():
    c4 = make_cloud(40, seed=2, rgba=True)
    c3 = (c4[0], c4[1], c4[2][:, :3])
    assert image_bytes(render(c4)).tobytes() == image_bytes(render(c3)).tobytes()


@pytest.mark.parametrize("n", [1, 5, 6, 7, 8, 60, 400])
def test_agrees_with_numpy_formulation(n):
    cloud = make_cloud(n, seed=n)
    assert_close_to_reference(render(cloud), reference(cloud, 8.0, 20.0, 0.0, 100.0, hucre=1))


@pytest.mark.parametrize("softness", [0.0, 0.625, 0.875, 2.0, 8.0, 100.0, -3.0, float("nan")])
def test_softness_and_neighbour_count(softness):
    cloud = make_cloud(80, seed=11)
    kw = dict(scale=5.0, rr=150.0, softness=softness)
    assert_close_to_reference(render(cloud, **kw), reference(cloud, 5.0, 20.0, 0.0, 150.0, softness=softness, hucre=1))


@pytest.mark.parametrize("power", [0.0, 1.0, 2.0, 2.4, 7.3, -1.5, 40.0, 300.0, 1e6, -1e6, float("inf")])
def test_power_is_unbounded(power):
    cloud = make_cloud(50, seed=5)
    img = render(cloud, power=power)
    assert_close_to_reference(img, reference(cloud, 8.0, 20.0, 0.0, 100.0, power=power, hucre=1))


@pytest.mark.parametrize("hucre, rr, side", [(2, 100.0, 100), (3, 200.0, 134), (2.7, 100.0, 100), (0, 50.0, 100), (-4, 50.0, 100), (10**30, 50.0, 1)])
def test_grid_step(hucre, rr, side):
    cloud = make_cloud(30, seed=9)
    img = render(cloud, hucre=hucre, rr=rr)
    W = 2 * int(rr)
    assert (img.width(), img.height()) == (W, W)
    ref = reference(cloud, 8.0, 20.0, 0.0, rr, hucre=hucre)
    assert ref[0].shape[0] == side
    assert_close_to_reference(img, ref, scaled_to=W)


def test_fractional_frame_radius():
    cloud = make_cloud(10, seed=4)
    img = render(cloud, rr=20.7, scale=1.0)
    assert (img.width(), img.height()) == (40, 40)
    assert_close_to_reference(img, reference(cloud, 1.0, 20.0, 0.0, 20.7, hucre=1))


@pytest.mark.parametrize("pair", [(370.0, 10.0), (-90.0, 270.0), (-180.0, 180.0), (725.5, 5.5)])
def test_bearing_wrap(pair):
    imgs = [render((np.array([b]), np.array([7.0]), np.array([[255, 0, 0]]))) for b in pair]
    assert image_bytes(imgs[0]).tobytes() == image_bytes(imgs[1]).tobytes()


@pytest.mark.parametrize("hucre", [1, 2, 5])
def test_without_scipy(monkeypatch, hucre):
    cloud = make_cloud(70, seed=3)
    monkeypatch.setattr(brelvo, "cKDTree", None)
    img = render(cloud, hucre=hucre)
    ref = reference(cloud, 8.0, 20.0, 0.0, 100.0, hucre=hucre, brute=True)
    assert ref[1] == max(4, hucre)
    assert_close_to_reference(img, ref, scaled_to=200)


@pytest.mark.parametrize("n, hucre", [(3, 1), (9, 1), (200, 2)])
def test_host_tree_is_called_and_changes_nothing(monkeypatch, n, hucre):
    cloud = make_cloud(n, seed=n + 100, top=18.0)  # every target visible
    native = image_bytes(render(cloud, hucre=hucre))
    WrappedTree.calls = 0
    monkeypatch.setattr(brelvo, "cKDTree", WrappedTree)
    called = image_bytes(render(cloud, hucre=hucre))
    assert WrappedTree.calls == (2 if n > 6 else 1)
    assert np.abs(native.astype(int) - called.astype(int)).max() <= 1


def test_host_tree_bad_indices_raise(monkeypatch):
    class Bad(WrappedTree):
        def query(self, q, k=1):
            d, i = self._t.query(q, k=k)
            return d, i + 100

    monkeypatch.setattr(brelvo, "cKDTree", Bad)
    with pytest.raises(IndexError):
        render(make_cloud(3))


@pytest.mark.parametrize("scale", [float("inf"), float("nan"), 1e308])
def test_non_finite_positions(monkeypatch, scale):
    cloud = make_cloud(12, seed=8)
    with pytest.raises(ValueError):
        render(cloud, scale=scale)  # SciPy's tree refuses non-finite data
    monkeypatch.setattr(brelvo, "cKDTree", None)
    img = render(cloud, scale=scale)
    assert (img.width(), img.height()) == (200, 200)


def test_mismatched_lengths_raise():
    with pytest.raises(IndexError):
        render((np.zeros(3), np.ones(3), np.zeros((4, 3))))
    with pytest.raises(ValueError):
        render((np.zeros(3), np.ones(2), np.zeros((3, 3))))
    with pytest.raises(IndexError):
        render((np.zeros(2),))


@pytest.mark.parametrize(
    "rr, exc, scipy",
    [(float("nan"), ValueError, True), (float("inf"), ValueError, True), (float("inf"), OverflowError, False),
     (float("nan"), ValueError, False), (1e12, MemoryError, True)],
)
def test_bad_frame_radius(monkeypatch, rr, exc, scipy):
    if not scipy:
        monkeypatch.setattr(brelvo, "cKDTree", None)
    with pytest.raises(exc):
        render(make_cloud(3), rr=rr)


def test_arguments_by_keyword_and_position():
    cloud = make_cloud(20, seed=1)
    a = brelvo.render_polar_alan(cloud, 8.0, 20.0, 0.0, 100.0, 0.0, 2.4, 2.0, 2)
    b = brelvo.render_polar_alan(cloud=cloud, scale=8.0, top=20.0, r_off=0.0, rr=100.0)
    assert image_bytes(a).tobytes() == image_bytes(b).tobytes()
    with pytest.raises(TypeError):
        brelvo.render_polar_alan(cloud, 8.0, 20.0, 0.0)


def _layout(kind, n=120, seed=0):
    g = np.random.default_rng(seed)
    cols = g.integers(0, 256, (n, 3)).astype(np.uint8)
    if kind == "coincident":
        return (np.full(n, 30.0), np.full(n, 5.0), cols)
    if kind == "line":
        return (np.full(n, 90.0), np.sort(g.uniform(0.0, 19.0, n)), cols)
    if kind == "far cluster":
        return (g.normal(45.0, 0.01, n), g.normal(19.0, 0.01, n), cols)
    if kind == "grid ties":
        b = np.repeat([0.0, 90.0, 180.0, 270.0], n // 4)
        return (b, np.tile(np.arange(1.0, n // 4 + 1), 4) * 0.5, cols)
    return (g.uniform(0, 360, n), g.uniform(0, 19, n), cols)


@pytest.mark.parametrize("kind", ["coincident", "line", "far cluster", "grid ties", "spread"])
@pytest.mark.parametrize("scale", [1.0, 8.0, 40.0])
def test_degenerate_layouts_agree(kind, scale):
    cloud = _layout(kind)
    img = render(cloud, scale=scale, rr=60.0)
    ref = reference(cloud, scale, 20.0, 0.0, 60.0, hucre=1)
    if kind in ("coincident", "grid ties"):
        # Which of several targets tied at the K-th place blend is open; coverage is not.
        got = image_bytes(img)
        assert np.abs(got[..., 3].astype(int) - ref[0][..., 3].astype(int)).max() <= 1
    else:
        assert_close_to_reference(img, ref)


def _tied_layout(kind):
    g = np.random.default_rng(12)
    if kind == "duplicates":  # the host saw every target twice, in other colours
        b, r = np.tile(g.uniform(0, 360, 60), 2), np.tile(g.uniform(0, 12, 60), 2)
    else:  # a lattice 3 px apart along the four axes, placed exactly: ties on its diagonals and between its points
        b, r = np.repeat([0.0, 90.0, 180.0, 270.0], 16), np.tile(np.arange(1, 17) * 3 / 8, 4)
    return b, r, g.integers(0, 256, (len(b), 3)).astype(np.uint8)


@pytest.mark.parametrize("kind", ["duplicates", "axis lattice"])
@pytest.mark.parametrize("softness", [0.0, 0.625, 2.0])
def test_grid_point_colour_does_not_depend_on_the_grid_step(kind, softness):
    # Of targets tied at the K-th place the lowest rows blend, however the search
    # reached the grid point; the unscaled grids of hucre h sample those of hucre 1.
    cloud = _tied_layout(kind)
    grid = lambda h: brelvo._polar_grid(cloud, 8.0, 20.0, 0.0, 100.0, softness=softness, hucre=h)[0].astype(int)
    fine = grid(1)
    for h in (2, 3, 4):
        coarse, sampled = grid(h), fine[::h, ::h]
        assert np.array_equal(coarse[..., 3], sampled[..., 3])
        assert np.abs(coarse[..., :3] - sampled[..., :3]).max() <= 1


@pytest.mark.parametrize("n, hucre, softness", [(3000, 1, 2.0), (3000, 2, 0.0), (300, 1, 8.0)])
def test_carried_bounds_settle_the_neighbours(n, hucre, softness):
    # Every grid point bounds its K-th distance from the tile centre's and its
    # neighbours' one step away. Bounds carried from elsewhere leave points to a
    # selection among all their tile's candidates: the same pixels, more work.
    cloud = make_cloud(n, seed=4, top=18.0)
    grid, full = brelvo._polar_grid(cloud, 20.0, 20.0, 0.0, 400.0, softness=softness, hucre=hucre)
    assert full <= grid.shape[0] ** 2 // 10000
    assert_close_to_reference(render(cloud, scale=20.0, rr=400.0, softness=softness, hucre=hucre),
                              (grid, hucre), scaled_to=800)


@pytest.mark.parametrize("scale", [1e20, 1e150])
@pytest.mark.parametrize("power", [0.0, 2.4])
def test_far_targets_agree(scale, power):
    # Targets so far from the frame that their exact weights are tiny (1e20) or
    # vanish altogether, leaving the exact blend at 0 / 0 (1e150).
    cloud = _layout("spread")
    img = render(cloud, scale=scale, rr=60.0, power=power)
    assert_close_to_reference(img, reference(cloud, scale, 20.0, 0.0, 60.0, 0.0, power, 2.0, 1))


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, 1e308])
def test_non_finite_colours_give_defined_bytes(bad):
    cloud = make_cloud(30, seed=21, top=18.0)
    cols = cloud[2].astype(float)
    cols[4, 0] = bad
    cloud = (cloud[0], cloud[1], cols)
    assert_close_to_reference(render(cloud), reference(cloud, 8.0, 20.0, 0.0, 100.0, hucre=1))


# ---- spacing from the median of an even count ---------------------------------------


def _cloud_at_pixels(xy, rr, scale, seed=5):
    """Targets drawn at the pixel positions xy (n x 2) of a frame of radius rr."""
    dx, dy = xy[:, 0] - rr, rr - xy[:, 1]
    cols = np.random.default_rng(seed).integers(0, 256, (len(xy), 3)).astype(np.uint8)
    return np.degrees(np.arctan2(dx, dy)), np.hypot(dx, dy) / scale, cols


@pytest.mark.parametrize("n", [40, 41])
def test_spacing_median_at_a_radius_that_does_not_clip_it(n):
    # At rr 400 spacings from 7 to 24 px are used as measured. Half the targets
    # sit 6 px apart, half 20 px apart: the two middle fourth-neighbour distances
    # of the even count are 12 and 20 px, and taking either instead of their
    # mean moves the coverage of many pixels.
    g = np.random.default_rng(5)
    k = n // 2
    gx, gy = np.meshgrid(np.arange(5), np.arange(4))
    dense = np.column_stack([gx.ravel(), gy.ravel()])[:k] * 6.0 + [420, 300]
    gx, gy = np.meshgrid(np.arange(6), np.arange(4))
    sparse = np.column_stack([gx.ravel(), gy.ravel()])[: n - k] * 20.0 + [250, 450]
    xy = np.vstack([dense, sparse]) + g.uniform(-0.4, 0.4, (n, 2))
    d4 = np.sort(ScipyTree(xy).query(xy, k=5)[0][:, 4])
    assert d4[n // 2 - 1] < 13.0 and d4[n // 2] > 19.0  # the case this test is about
    cloud = _cloud_at_pixels(xy, 400.0, 20.0)
    img = brelvo.render_polar_alan(cloud, 20.0, 20.0, 0.0, 400.0, hucre=1)
    assert_close_to_reference(img, reference(cloud, 20.0, 20.0, 0.0, 400.0, hucre=1))


# ---- the wide kernel paths against the baseline ones -------------------------------

_PATH_CASES = """
import sys
import numpy as np
import visualization.brelvo as brelvo

def cases():
    g = np.random.default_rng(7)
    spread = (g.uniform(0, 360, 300), g.uniform(0, 19, 300), g.integers(0, 256, (300, 3)).astype(np.uint8))
    ties = (np.repeat([0.0, 90.0, 180.0, 270.0], 25), np.tile(np.arange(1.0, 26.0), 4) * 0.5,
            g.integers(0, 256, (100, 3)).astype(np.uint8))
    same = (np.full(50, 30.0), np.full(50, 5.0), g.integers(0, 256, (50, 3)).astype(np.uint8))
    # Targets on (up to the rounding of the polar round trip) tile corners and
    # pixel centres of the full-resolution grid, in a regular lattice full of ties.
    xs, ys = np.meshgrid(np.r_[0.0:200.0:16.0, 8.5:200.0:16.0], np.r_[0.0:200.0:16.0, 8.5:200.0:16.0])
    xs, ys = xs.ravel() - 100.0, 100.0 - ys.ravel()
    corners = (np.degrees(np.arctan2(xs, ys)), np.hypot(xs, ys) / 8.0, g.integers(0, 256, (xs.size, 3)).astype(np.uint8))
    bad = spread[2].astype(float)
    bad[::37, 0], bad[5::41, 1], bad[9::43, 2] = np.nan, np.inf, -np.inf
    nonfinite = (spread[0], spread[1], bad)
    for name, c in [("spread", spread), ("ties", ties), ("same", same), ("corners", corners), ("nonfinite", nonfinite)]:
        for soft in (0.0, 0.25, 0.625, 0.75, 2.0, 8.0):  # K = 9, 10, 11, 12, 17, 41: every K mod 4
            for power in (2.4, 2.0, -1.5):
                for hucre in (1, 3):
                    yield name, c, dict(scale=8.0, top=20.0, r_off=0.0, rr=100.0, power=power, softness=soft, hucre=hucre)
    for power in (0.0, 40.0, 64.0, 64.5):            # the ends of the single-precision powers
        yield "spread", spread, dict(scale=8.0, top=20.0, r_off=0.0, rr=100.0, power=power, softness=1.0, hucre=1)
    for n in (1, 2, 3, 4, 5, 7):                      # K = n, short and odd lengths
        yield "few", (spread[0][:n], spread[1][:n], spread[2][:n]), dict(scale=8.0, top=20.0, r_off=0.0, rr=100.0, hucre=1)

images = {}
for at, (name, c, kw) in enumerate(cases()):
    img = brelvo.render_polar_alan(c, **kw)
    raw = img.constBits().asstring(img.sizeInBytes())
    images[f"{at:03d} {name} {sorted(kw.items())}"] = np.frombuffer(raw, np.uint8).reshape(-1, 4)
np.savez(sys.argv[1], **images)
"""


@pytest.mark.skipif(ONE_KERNEL_PATH, reason="only the baseline kernel paths here (VIS_GENERIC_KERNELS set, or a processor without wide variants)")
def test_wide_and_baseline_paths_agree(tmp_path):
    # The wide paths pick the same neighbours as the baseline ones (equal distances
    # included), so coverage is identical; the single-precision blend of the wide
    # path may move a colour byte by one where the exact value lies next to an integer.
    runs = []
    for generic in ("0", "1"):
        env = dict(os.environ, VIS_GENERIC_KERNELS=generic)
        out = tmp_path / f"generic{generic}.npz"
        run = subprocess.run([sys.executable, "-c", _PATH_CASES, str(out)], env=env, capture_output=True, text=True,
                             timeout=600)
        assert run.returncode == 0, run.stderr[-2000:]
        runs.append(np.load(out))
    wide, base = runs
    assert len(wide.files) == 5 * 6 * 3 * 2 + 4 + 6 and wide.files == base.files
    for key in wide.files:
        a, b = wide[key].astype(int), base[key].astype(int)
        assert np.array_equal(a[:, 3], b[:, 3]), key
        assert np.abs(a[:, :3] - b[:, :3]).max() <= 1, key


# ---- Ctrl-C, other threads, failed allocations ---------------------------------------


_CTRL_C = """
import _thread, sys, threading, time
import numpy as np
import visualization.brelvo as brelvo
if sys.argv[1] == "fallback":
    brelvo.cKDTree = None
g = np.random.default_rng(3)
cloud = (g.uniform(0, 360, 3000), g.uniform(0, 18, 3000), g.integers(0, 256, (3000, 3)).astype(np.uint8))
threading.Timer(0.3, _thread.interrupt_main).start()
t0 = time.monotonic()
try:
    brelvo.render_polar_alan(cloud, 400.0, 20.0, 0.0, 8000.0, softness=8.0, hucre=1)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - t0)
"""


@pytest.mark.parametrize("tree", ["scipy", "fallback"])
def test_ctrl_c_stops_a_long_render(tree):
    # Uninterrupted, each call renders for minutes (256 million pixels, or 16
    # million tree queries of 41 neighbours); the interrupt must end it.
    run = subprocess.run([sys.executable, "-c", _CTRL_C, tree], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    word, seconds = run.stdout.split()
    assert word == "interrupted"
    assert float(seconds) < 20.0


def _longest_stall_of_another_thread_during(fn):
    """fn()'s result, the longest time a busy Python thread made no progress while
    fn() ran, and fn()'s duration, both counted in the processor time the
    process's other threads used: time in which the machine let none of them
    run does not count, so load cannot lengthen a stall."""
    longest, mine = [0.0], [0.0]
    stop = threading.Event()

    def spin():
        last = time.process_time() - time.thread_time()
        while not stop.is_set():
            mine[0] = time.thread_time()
            others = time.process_time() - mine[0]
            longest[0] = max(longest[0], others - last)
            last = others

    t = threading.Thread(target=spin)
    t.start()
    try:
        time.sleep(0.05)
        longest[0] = 0.0
        start = time.process_time() - mine[0]
        result = fn()
        end = time.process_time() - mine[0]
    finally:
        stop.set()
        t.join()  # its last round measures a stall that lasted to the end of fn()
    return result, longest[0], end - start


@pytest.mark.parametrize(
    "n, rr, hucre",
    [
        (3000, 1500.0, 1),  # the time goes into the blend
        # the time goes into Qt's scaling of 750 x 750 pixels to 6000 x 6000
        pytest.param(1, 3000.0, 8, marks=pytest.mark.skipif(
            WINDOWS, reason="Qt is MSVC-built on Windows: PyQt5's own scaled, which holds the GIL, scales there")),
    ],
)
def test_other_threads_run_while_rendering(n, rr, hucre):
    cloud = make_cloud(n, seed=4, top=18.0)
    img, stall, duration = _longest_stall_of_another_thread_during(
        lambda: brelvo.render_polar_alan(cloud, rr / 20.0, 20.0, 0.0, rr, hucre=hucre))
    assert img.width() == 2 * int(rr)
    # Holding the GIL through the blend or the scaling would stall the other
    # thread for most of the call.
    assert stall < duration / 2


class ScaledThroughPython(QImage):
    """A subclass: the module scales it through PyQt5's own scaled."""


@pytest.mark.parametrize("hucre, rr", [(2, 100.0), (3, 61.0)])
def test_direct_qt_scaling_equals_pyqt(monkeypatch, hucre, rr):
    # Linux builds of Qt carry the symbols the direct call needs, on every CPU.
    assert brelvo._QT_SCALES_DIRECTLY or not sys.platform.startswith("linux")
    cloud = make_cloud(120, seed=21)
    direct = render(cloud, hucre=hucre, rr=rr)
    monkeypatch.setattr(brelvo, "QImage", ScaledThroughPython)
    through_python = render(cloud, hucre=hucre, rr=rr)
    assert (direct.width(), direct.height()) == (through_python.width(), through_python.height()) == (2 * int(rr),) * 2
    assert image_bytes(direct).tobytes() == image_bytes(through_python).tobytes()


class NullImage(QImage):
    """Qt's answer to a failed allocation: a null image."""

    def __init__(self, *args):
        super().__init__()


class NullScaled(QImage):
    def scaled(self, *args):
        return QImage()


@pytest.mark.parametrize(
    "cls, hucre, side", [(NullImage, 1, 200), (NullImage, 2, 100), (NullScaled, 2, 200)]
)
def test_null_images_raise_memory_error(monkeypatch, cls, hucre, side):
    monkeypatch.setattr(brelvo, "QImage", cls)
    with pytest.raises(MemoryError, match=rf"{side} x {side} image of 32-bit pixels needs {4 * side * side} bytes"):
        render(make_cloud(30, seed=9), hucre=hucre)


def test_null_field_image_raises_memory_error(monkeypatch):
    monkeypatch.setattr(brelvo, "QImage", NullImage)
    with pytest.raises(MemoryError, match=r"needs \d+ bytes"):
        brelvo.build_field(make_cloud(30, seed=9), 20.0, 10.0)


@pytest.mark.parametrize(
    "rr, exc, words",
    [(float("nan"), ValueError, "rr is NaN"), (float("inf"), OverflowError, "rr is inf"),
     (-float("inf"), OverflowError, "rr is -inf"), (1e12, MemoryError, r"rr = 1000000000000 asks for a 2000000000000 x")],
)
def test_frame_radius_errors_name_rr(monkeypatch, rr, exc, words):
    monkeypatch.setattr(brelvo, "cKDTree", None)  # SciPy's tree would refuse the positions first
    with pytest.raises(exc, match=words):
        render(make_cloud(3), rr=rr)


def test_oversized_frame_names_the_limit():
    with pytest.raises(MemoryError, match=r"16000000000000 bytes of 32-bit pixels; the limit is \d+ bytes"):
        render(make_cloud(3), rr=1e6)
