
import numpy as np
import pytest
from scipy.spatial import cKDTree

import visualization.brelvo as brelvo
from reference_brelvo import build_field_bytes


def pixels(img):
    G = img.width()
    assert img.height() == G and img.bytesPerLine() == 4 * G
    assert img.format() == brelvo.QImage.Format_RGBA8888_Premultiplied
    return np.frombuffer(img.constBits().asstring(G * G * 4), np.uint8).reshape(G, G, 4)


def reference(*args, **kw):
    return build_field_bytes(*args, apply_colormap=brelvo.apply_colormap,
                             use_tree=brelvo.cKDTree is not None, **kw)


def random_cloud(seed, n, top):
    rng = np.random.default_rng(seed)
    rgb = brelvo._lut(None)[0]
    cols = rgb[rng.integers(26, 230, n)] + rng.uniform(-0.4, 0.4, (n, 3))
    b = rng.uniform(-360, 720, n)
    r = np.abs(rng.normal(top * 0.5, top * 0.4, n))
    return b, r, cols


ONE = (np.array([0.0]), np.array([5.0]), np.array([[255, 0, 0]], dtype=np.uint8))


@pytest.mark.parametrize("args", [
    (None, 10, 30), ((ONE[0], ONE[1]), 10, 30), ((np.zeros(0), np.zeros(0), np.zeros((0, 3))), 10, 30),
    ((np.zeros(5), np.ones(4), np.zeros((5, 3))), 10, 30), (ONE, 0, 30), (ONE, 10, -1),
    ((np.zeros(5), np.ones(5), np.zeros((4, 3))), 10, 30),
    ((np.zeros(3), np.full(3, np.nan), np.zeros((3, 3))), 10, 30),
    ((np.zeros(1), np.array([10 + 2 * 3.5]), np.zeros((1, 3))), 10, 30),
    (ONE, float("nan"), 30)])
def test_nothing_to_draw(args):
    assert brelvo.build_field(*args) is None


@pytest.mark.parametrize("top,scale,exc", [(float("inf"), 30, OverflowError),
                                           (10, float("inf"), OverflowError),
                                           (10, float("nan"), ValueError),
                                           (10, 1e-9, MemoryError)])
def test_unroundable_grid_raises(top, scale, exc):
    with pytest.raises(exc):
        brelvo.build_field(ONE, top, scale)


@pytest.mark.parametrize("seed,n,top,scale,power,softness,cell", [
    (0, 500, 20.0, 15.0, 3.0, 2.0, 4.0), (1, 5000, 20.0, 15.0, 3.0, 2.0, 2.0),
    (2, 40, 8.0, 40.0, 5.5, 0.7, 3.0), (3, 3, 30.0, 5.0, 1.0, 10.0, 1.0),
    (4, 200, 12.0, 25.0, 2.0, 0.0, 4.0), (5, 7, 10.0, 30.0, 0.5, 3.0, 2.5),
    (6, 150, 15.0, 60.0, 20.0, 4.0, 6.0)])
@pytest.mark.parametrize("tree", ["scipy", "none"])
def test_agrees_with_reference(seed, n, top, scale, power, softness, cell, tree, monkeypatch):
    if tree == "none":
        monkeypatch.setattr(brelvo, "cKDTree", None)
    cloud = random_cloud(seed, n, top)
    img = brelvo.build_field(cloud, top, scale, power, softness, None, cell)
    want = reference(cloud, top, scale, power, softness, None, cell)
    np.testing.assert_array_equal(pixels(img), want)


def test_tree_replacement_is_called_and_gives_the_same_image(monkeypatch):
    cloud = random_cloud(7, 800, 20.0)
    native = pixels(brelvo.build_field(cloud, 20.0, 15.0))
    calls = []

    class Wrapped:
        def __init__(self, data):
            self.t = cKDTree(data)

        def query(self, x, k=1, workers=None):
            calls.append((k, workers))
            return self.t.query(x, k=k, workers=workers)

    monkeypatch.setattr(brelvo, "cKDTree", Wrapped)
    wrapped = pixels(brelvo.build_field(cloud, 20.0, 15.0))
    assert calls == [(7, -1)]
    np.testing.assert_array_equal(native, wrapped)


def test_single_target_blob():
    px = pixels(brelvo.build_field(ONE, 10, 30))
    assert px.shape == (151, 151, 4)
    a = px[..., 3]
    rows, cols = np.nonzero(a)
    assert rows.size and abs(rows - 37).max() <= 3 and abs(cols - 75).max() <= 3
    assert rows.mean() == 37 and cols.mean() == 75
    assert a[37, 75] == a.max()


@pytest.mark.parametrize("top,scale,cell,G", [(97.5, 1.0, 2.0, 99), (96.5, 1.0, 2.0, 97),
                                              (20.0, 1.0, 2.0, 49), (5000.0, 1.0, 2.0, 601),
                                              (10.0, 30.0, 1.0, 301), (10.0, 30.0, 4.0, 151)])
def test_grid_size(top, scale, cell, G):
    cloud = (np.zeros(1), np.zeros(1), np.zeros((1, 3)))
    assert brelvo.build_field(cloud, top, scale, cell_px=cell).width() == G


@pytest.mark.parametrize("a,b", [(dict(power=20.0), dict(power=8.0)),
                                 (dict(softness=0.0), dict(softness=0.03 / 0.0847)),
                                 (dict(softness=10.0), dict(softness=0.45 / 0.0847))])
def test_shape_clamps(a, b):
    cloud = random_cloud(8, 60, 10.0)
    np.testing.assert_array_equal(pixels(brelvo.build_field(cloud, 10, 30, **a)),
                                  pixels(brelvo.build_field(cloud, 10, 30, **b)))


@pytest.mark.parametrize("kw", [dict(power=float("nan")), dict(softness=float("nan"))])
def test_nan_shape_is_transparent(kw):
    px = pixels(brelvo.build_field(random_cloud(9, 60, 10.0), 10, 30, **kw))
    assert not px.any()


def test_byte_invariants_and_orientation():
    cloud = (np.array([90.0, 0.0]), np.array([6.0, 6.0]),
             np.array([[255, 0, 0], [0, 0, 255]], dtype=np.uint8))
    px = pixels(brelvo.build_field(cloud, 10, 30))
    G = px.shape[0]
    assert px[..., 3].max() <= 216 and (px[..., :3] <= px[..., 3:]).all()
    yy, xx = np.mgrid[0:G, 0:G]
    far = np.hypot(xx - G // 2, yy - G // 2) > G / 2
    assert not px[far].any()
    red = px[..., 0] > 100
    blue = px[..., 2] > 100
    assert xx[red].mean() > G / 2 + 20 and abs(yy[red].mean() - G / 2) < 3
    assert yy[blue].mean() < G / 2 - 20 and abs(xx[blue].mean() - G / 2) < 3


def test_constants_read_at_call_time_and_cell_default_bound(monkeypatch):
    cloud = random_cloud(10, 100, 10.0)
    monkeypatch.setattr(brelvo, "W0", 0.3)
    monkeypatch.setattr(brelvo, "KNN", 4)
    monkeypatch.setattr(brelvo, "CELL_PX", 2.0)
    img = brelvo.build_field(cloud, 10, 30)
    assert img.width() == 151
    np.testing.assert_array_equal(pixels(img), reference(cloud, 10, 30, const=dict(W0=0.3, KNN=4)))


def test_image_owns_its_pixels():
    img = brelvo.build_field(ONE, 10, 30)
    first = pixels(img).copy()
    brelvo.build_field(random_cloud(11, 300, 10.0), 10, 30)
    np.testing.assert_array_equal(pixels(img), first)
    assert img.copy() == img


def layout_cloud(kind, top, seed=0):
    """Clouds whose neighbour distances stress the k-th neighbour search:
    near-lattice ties, exact duplicates, a line, tight clusters, far outliers."""
    rng = np.random.default_rng(seed)
    if kind == "lattice":
        x, y = np.meshgrid(np.arange(-12, 13) * 0.7, np.arange(-12, 13) * 0.7)
        x, y = x.ravel(), y.ravel()
    elif kind == "duplicates":
        x, y = rng.uniform(-top, top, (2, 150))
        x, y = np.repeat(x, 4), np.repeat(y, 4)
    elif kind == "line":
        x = np.linspace(-top, top, 400)
        y = np.zeros_like(x)
    elif kind == "clusters":
        c = rng.uniform(-top, top, (5, 2))
        p = c[rng.integers(0, 5, 900)] + rng.normal(0, 0.02, (900, 2))
        x, y = p[:, 0], p[:, 1]
    else:  # outliers around a dense core
        x, y = np.r_[rng.normal(0, 1, 600), [top, -top, 0.0]], np.r_[rng.normal(0, 1, 600), [top, 0.0, -top]]
    b = np.degrees(np.arctan2(x, y))
    r = np.hypot(x, y)
    cols = brelvo._lut(None)[0][rng.integers(0, 256, len(b))]
    return b, r, cols


@pytest.mark.parametrize("kind", ["lattice", "duplicates", "line", "clusters", "outliers"])
def test_neighbour_layouts_agree_with_reference(kind):
    top, scale = 20.0, 15.0
    cloud = layout_cloud(kind, top)
    img = brelvo.build_field(cloud, top, scale, cell_px=2.0)
    np.testing.assert_array_equal(pixels(img), reference(cloud, top, scale, cell_px=2.0))


def search_cloud(kind, seed=0):
    """Clouds for the neighbour search's cell grid, which answers sets of 64
    points or more: uniform discs (the host's), points on a fine lattice
    (exact ties, and coordinates on cell edges), a thin strip, sparse points
    around dense patches (searches that go past the first rings of cells),
    and pairs of coincident points."""
    rng = np.random.default_rng(seed)
    top = 20.0
    if kind == "disc":
        a, r = rng.uniform(0, 2 * np.pi, 3000), top * np.sqrt(rng.uniform(0.001, 0.99, 3000))
        x, y = np.sin(a) * r, np.cos(a) * r
    elif kind == "small disc":
        a, r = rng.uniform(0, 2 * np.pi, 70), top * np.sqrt(rng.uniform(0.001, 0.99, 70))
        x, y = np.sin(a) * r, np.cos(a) * r
    elif kind == "lattice":
        x, y = (rng.integers(-40, 41, (2, 2500)) * 0.25).astype(float)
    elif kind == "strip":
        x, y = rng.uniform(-top, top, 1500), rng.uniform(-0.01, 0.01, 1500)
    elif kind == "patches":
        c = rng.uniform(-top / 2, top / 2, (6, 2))
        p = np.vstack([c[rng.integers(0, 6, 1500)] + rng.normal(0, 0.8, (1500, 2)),
                       rng.uniform(-top, top, (150, 2))])
        x, y = p[:, 0], p[:, 1]
    else:  # pairs
        x, y = np.repeat(rng.uniform(-top, top, (2, 600)), 2, axis=1)
    b, r = np.degrees(np.arctan2(x, y)), np.hypot(x, y)
    return b, r, brelvo._lut(None)[0][rng.integers(0, 256, len(b))]


# Thousands of radius buckets and almost no clipping of the radius: the image
# changes when any target's k-th neighbour distance does.
FINE_RADII = {"NBUCK": 4096, "RMIN_TOP": 0.001, "RMIN_PX": 0.01, "RMAX_TOP": 2.0}


@pytest.mark.parametrize("kind", ["disc", "small disc", "lattice", "strip", "patches", "pairs"])
def test_neighbour_distances_agree_with_reference(kind, monkeypatch):
    for name, value in FINE_RADII.items():
        monkeypatch.setattr(brelvo, name, value)
    cloud = search_cloud(kind)
    img = brelvo.build_field(cloud, 20.0, 3.0, cell_px=1.0)
    np.testing.assert_array_equal(pixels(img), reference(cloud, 20.0, 3.0, cell_px=1.0, const=FINE_RADII))


# Constants that drive the lambda, opacity and rim arithmetic through its
# corners: NaN and infinite sums, negative and zero weights and opacities,
# no fade ring or one wider than the disk.
SHADING_CASES = [{}, {"W0": float("inf")}, {"W0": -0.12}, {"W0": 0.0}, {"W0": -0.0},
                 {"COV_LO": float("nan")}, {"COV_HI": -1.0}, {"A_MAX": -0.5}, {"A_MAX": float("inf")},
                 {"RIM_FADE": 0.0}, {"RIM_FADE": 0.999999}, {"RIM_FADE": 1.5}, {"RIM_FADE": -3.0}]


@pytest.mark.parametrize("const", SHADING_CASES)
def test_lambda_grid_and_bytes_agree_with_reference(const, monkeypatch):
    # The lambda grid is what the palette call receives; the bytes add the opacity.
    for name, value in const.items():
        monkeypatch.setattr(brelvo, name, value)
    seen = {}
    palette = brelvo.apply_colormap

    def capture(key):
        def colour(field, colormap=None):
            seen[key] = np.array(field)
            return palette(field, colormap)
        return colour

    cloud = random_cloud(21, 700, 10.0)
    monkeypatch.setattr(brelvo, "apply_colormap", capture("ours"))
    img = brelvo.build_field(cloud, 10.0, 30.0, 2.4, 1.5, None, 3.0)
    monkeypatch.undo()
    with np.errstate(all="ignore"):
        want = build_field_bytes(cloud, 10.0, 30.0, 2.4, 1.5, None, 3.0, apply_colormap=capture("reference"),
                                 const=const)
    np.testing.assert_array_equal(seen["ours"], seen["reference"])
    np.testing.assert_array_equal(pixels(img), want)


@pytest.mark.parametrize("layout", ["rgb bytes", "rgba doubles", "five byte columns"])
def test_colour_layouts_give_the_same_bytes(layout, monkeypatch):
    # The palette's own R, G, B, A bytes take a wide path; other layouts the plain one.
    monkeypatch.setattr(brelvo, "A_MAX", 1.3)  # colours clipped at 255 too
    cloud = random_cloud(5, 900, 10.0)
    want = pixels(brelvo.build_field(cloud, 10.0, 30.0))
    palette = brelvo.apply_colormap

    def colour(field, colormap=None):
        rgba = palette(field, colormap)
        if layout == "rgb bytes":
            return np.ascontiguousarray(rgba[..., :3])
        if layout == "rgba doubles":
            return rgba.astype(np.float64)
        return np.concatenate([rgba, rgba[..., :1]], axis=-1)

    monkeypatch.setattr(brelvo, "apply_colormap", colour)
    np.testing.assert_array_equal(pixels(brelvo.build_field(cloud, 10.0, 30.0)), want)


# ---- module constants read at every call ----------------------------------------------

CONSTANT_CASES = [("KAPPA", 0.9), ("RMIN_PX", 40.0), ("RMIN_TOP", 0.06), ("RMAX_TOP", 0.15),
                  ("COV_LO", 0.3), ("COV_HI", 1.4), ("A_MAX", 0.5), ("RIM_FADE", 0.6),
                  ("_SM_RATIO", 0.2), ("NBUCK", 3)]


@pytest.mark.parametrize("name,value", CONSTANT_CASES)
def test_each_constant_is_read_at_call_time(name, value, monkeypatch):
    cloud = random_cloud(12, 300, 10.0)
    default = pixels(brelvo.build_field(cloud, 10, 30))
    monkeypatch.setattr(brelvo, name, value)
    got = pixels(brelvo.build_field(cloud, 10, 30))
    np.testing.assert_array_equal(got, reference(cloud, 10, 30, const={name: value}))
    assert (got != default).any()


# ---- colours read as triples -----------------------------------------------------------


def test_four_colour_columns_say_so():
    cloud = (np.zeros(5), np.ones(5), np.zeros((5, 4), np.uint8))
    with pytest.raises(ValueError, match=r"rows of three.*\(5, 4\)"):
        brelvo.build_field(cloud, 10, 30)


def test_host_colour_views_agree_with_reference():
    from visualization.tintora import apply_colormap
    rng = np.random.default_rng(13)
    n = 6000  # enough targets for the neighbour search to split its work
    rgba = apply_colormap(rng.uniform(0, 1, n))
    rgba[rng.choice(n, 60, replace=False), :3] = rng.integers(0, 256, (60, 3))
    cloud = (rng.uniform(0, 360, n), 20 * np.sqrt(rng.uniform(0.001, 0.99, n)), rgba[:, :3])
    for cell in (4.0, 2.0):
        img = brelvo.build_field(cloud, 20.0, 15.0, cell_px=cell)
        np.testing.assert_array_equal(pixels(img), reference(cloud, 20.0, 15.0, cell_px=cell))


# ---- a call made while another one runs on the same thread -----------------------------

SMALL = (10.0, 1.0, 2.0)   # G = 49
LARGE = (10.0, 200.0, 2.0)  # G = 601


def test_nested_call_from_the_palette_call(monkeypatch):
    cloud = random_cloud(14, 200, 10.0)
    want = {G: pixels(brelvo.build_field(cloud, *args[:2], cell_px=args[2]))
            for G, args in ((49, SMALL), (601, LARGE))}
    real = brelvo.apply_colormap
    for outer, inner in ((SMALL, LARGE), (LARGE, SMALL)):
        nested = []

        def cmap(t, colormap=None):
            if not nested:
                nested.append(None)
                nested[0] = brelvo.build_field(cloud, *inner[:2], cell_px=inner[2])
            return real(t, colormap)

        monkeypatch.setattr(brelvo, "apply_colormap", cmap)
        img = brelvo.build_field(cloud, *outer[:2], cell_px=outer[2])
        monkeypatch.setattr(brelvo, "apply_colormap", real)
        np.testing.assert_array_equal(pixels(img), want[img.width()])
        np.testing.assert_array_equal(pixels(nested[0]), want[nested[0].width()])
        assert {img.width(), nested[0].width()} == {49, 601}


def test_nested_calls_from_finalisers():
    import gc
    cloud = random_cloud(15, 100, 10.0)
    small = pixels(brelvo.build_field(cloud, *SMALL[:2], cell_px=SMALL[2]))
    large = pixels(brelvo.build_field(cloud, *LARGE[:2], cell_px=LARGE[2]))
    inner = []

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            if len(inner) < 20:
                inner.append(pixels(brelvo.build_field(cloud, *LARGE[:2], cell_px=LARGE[2])))

    old = gc.get_threshold()
    gc.freeze()  # collections then walk only the objects made below
    gc.set_threshold(1, 1, 1)
    try:
        outer = []
        for _ in range(300):
            Cycle()
            outer.append(pixels(brelvo.build_field(cloud, *SMALL[:2], cell_px=SMALL[2])))
    finally:
        gc.set_threshold(*old)
        gc.unfreeze()
    gc.collect()
    for px in outer:
        np.testing.assert_array_equal(px, small)
    assert inner
    for px in inner:
        np.testing.assert_array_equal(px, large)


# ---- Ctrl-C ----------------------------------------------------------------------------


def test_ctrl_c_stops_a_long_splat(monkeypatch, ctrl_c):
    # Every target gets a 10 m kernel on a 601 x 601 grid of 3.3 cm cells:
    # minutes of scattering unless the splat stops.
    monkeypatch.setattr(brelvo, "cKDTree", None)
    monkeypatch.setattr(brelvo, "RMIN_TOP", 1.0)
    cloud = random_cloud(16, 10000, 10.0)
    real = brelvo.apply_colormap

    def cmap(t, colormap=None):
        return real(t, colormap)

    monkeypatch.setattr(brelvo, "apply_colormap", cmap)
    keys = list(brelvo._LUT_CACHE)
    info = ctrl_c(brelvo, lambda: brelvo.build_field(cloud, 10.0, 60.0, cell_px=2.0))
    # Raised by the stopped splat itself, not on entering the palette call after it.
    assert all(tb.tb_frame.f_code is not cmap.__code__ for tb in walk(info.tb))
    assert list(brelvo._LUT_CACHE) == keys
    # The stopped splat's half-added sums are not carried into the next call.
    monkeypatch.undo()
    cloud = random_cloud(17, 300, 10.0)
    img = brelvo.build_field(cloud, 10.0, 30.0)
    np.testing.assert_array_equal(pixels(img), reference(cloud, 10.0, 30.0))


def walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


@pytest.mark.parametrize("seed", [0, 1])
def test_large_uneven_clouds_agree_with_reference(seed):
    # Thousands of targets, split between processors by the neighbour search:
    # loose clusters over a sparse background, with points whose neighbours
    # lie beyond the search's first rings.
    rng = np.random.default_rng(seed)
    top = 20.0
    centres = rng.uniform(-top, top, (8, 2))
    p = np.vstack([centres[rng.integers(0, 8, 4500)] + rng.normal(0, 0.6, (4500, 2)),
                   rng.uniform(-top, top, (300, 2))])
    b, r = np.degrees(np.arctan2(p[:, 0], p[:, 1])), np.hypot(p[:, 0], p[:, 1])
    cloud = (b, r, brelvo._lut(None)[0][rng.integers(0, 256, len(b))])
    img = brelvo.build_field(cloud, top, 15.0, cell_px=2.0)
    np.testing.assert_array_equal(pixels(img), reference(cloud, top, 15.0, cell_px=2.0))
