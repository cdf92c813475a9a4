import gc
import weakref

import numpy as np
import pytest
from scipy.spatial import cKDTree

import visualization.brelvo as brelvo
import visualization.tintora as tintora
from reference_brelvo import lambda_from_colors as ref_lambda
from reference_brelvo import palette_table

GREY = np.array([[0, 0, 0, 0, 1], [1, 1, 1, 1, 1]], dtype=np.float64)


@pytest.fixture(autouse=True)
def fresh_cache(monkeypatch):
    monkeypatch.setattr(brelvo, "_LUT_CACHE", {})


@pytest.fixture(params=["tree", "brute"])
def path(request, monkeypatch):
    if request.param == "brute":
        monkeypatch.setattr(brelvo, "cKDTree", None)
    return request.param


def test_table_samples_the_palette(path):
    rgb, tree = brelvo._lut(None)
    np.testing.assert_array_equal(rgb, palette_table(tintora.apply_colormap))
    assert rgb.shape == (256, 3) and rgb.dtype == np.float64
    assert (tree is None) == (path == "brute")
    if tree is not None:
        assert isinstance(tree, cKDTree)
    assert brelvo._LUT_CACHE[0] == (rgb, tree) or brelvo._LUT_CACHE[0][0] is rgb


def test_entries_by_identity():
    e1 = brelvo._lut(GREY)
    assert brelvo._lut(GREY) is e1
    copy = GREY.copy()
    e2 = brelvo._lut(copy)
    assert e2 is not e1 and set(brelvo._LUT_CACHE) == {id(GREY), id(copy)}
    pal = GREY.copy()
    old = brelvo._lut(pal)[0].copy()
    pal[:, 1:4] = 0.5
    np.testing.assert_array_equal(brelvo._lut(pal)[0], old)


def test_default_table_built_once(monkeypatch):
    first = brelvo._lut(None)
    monkeypatch.setattr(tintora, "KORVAL_BENZERI", GREY)
    assert brelvo._lut(None) is first


def test_uses_module_apply_colormap_and_tree(monkeypatch):
    calls = []

    def cmap(t, colormap=None):
        calls.append(np.array(t))
        return tintora.apply_colormap(t, colormap)

    class Tree:
        def __init__(self, data):
            self.inner = cKDTree(data)

        def query(self, x, k=1, **kw):
            calls.append("query")
            return self.inner.query(x, k=k, **kw)

    monkeypatch.setattr(brelvo, "apply_colormap", cmap)
    monkeypatch.setattr(brelvo, "cKDTree", Tree)
    lam = brelvo.lambda_from_colors([[100, 100, 100]], GREY)
    np.testing.assert_array_equal(calls[0], np.linspace(0.0, 1.0, 256))
    assert calls[1] == "query" and isinstance(brelvo._lut(GREY)[1], Tree)
    np.testing.assert_array_equal(
        lam, ref_lambda([[100, 100, 100]], palette_table(tintora.apply_colormap, GREY)))


def test_dead_palette_identity_is_not_reused():
    # A palette created after another one died must get its own table, even if
    # it lands at the dead one's address.
    for i in range(30):
        pal = np.array([[0, 0, 0, 0, 1], [1, i / 30, 1, 1, 1]], dtype=np.float64)
        cols = palette_table(tintora.apply_colormap, pal)[::37]
        got = brelvo.lambda_from_colors(cols, pal)
        np.testing.assert_array_equal(got, ref_lambda(cols, palette_table(tintora.apply_colormap, pal)))
        del pal
        gc.collect()


def test_rows_read_back(path):
    rgb = palette_table(tintora.apply_colormap)
    lam = brelvo.lambda_from_colors(rgb)
    uniq = [i for i in range(256) if (rgb == rgb[i]).all(1).sum() == 1]
    np.testing.assert_array_equal(lam[uniq], np.array(uniq) / 255.0)
    # Every answer maps back to the colour that was given.
    np.testing.assert_array_equal(rgb[np.rint(lam * 255).astype(int)], rgb)


@pytest.mark.parametrize("colour,expected", [((0, 0, 255), 0.0), ((255, 0, 0), 230 / 255),
                                             ])
def test_flat_runs_lowest_row(colour, expected, path):
    lam = brelvo.lambda_from_colors(np.array([colour], dtype=np.uint8))
    if path == "brute":
        assert lam[0] == expected
    else:
        rgb = brelvo._lut(None)[0]
        np.testing.assert_array_equal(rgb[round(lam[0] * 255)], colour)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_agrees_with_brute_force(seed, path):
    rng = np.random.default_rng(seed)
    cols = np.vstack([rng.uniform(-30, 290, (300, 3)), rng.integers(0, 256, (300, 3)),
                      [[np.nan, 0, 0], [np.inf, 0, 0]]])
    pal = None if seed != 2 else GREY
    got = brelvo.lambda_from_colors(cols, pal)
    want = ref_lambda(cols, palette_table(tintora.apply_colormap, pal))
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("cols,shape", [(np.zeros((0, 3), np.uint8), (0,)), ([], (0,)),
                                        (np.zeros((2, 3, 3), np.uint8), (6,)),
                                        (np.zeros(9, np.int16), (3,))])
def test_shapes_and_dtype(cols, shape):
    lam = brelvo.lambda_from_colors(cols=cols, colormap=None)
    assert lam.shape == shape and lam.dtype == np.float64


def test_bad_colours_raise_and_keep_cache():
    with pytest.raises(ValueError):
        brelvo.lambda_from_colors(np.zeros(4))
    assert list(brelvo._LUT_CACHE) == [0]
    with pytest.raises(IndexError):
        brelvo.lambda_from_colors(np.zeros((2, 3)), np.zeros((3, 2)))
    assert list(brelvo._LUT_CACHE) == [0]


# ---- the cell index and the per-call memo against the plain search -------------------

STEPPED = np.array([[0.0, 0.2, 0.1, 0.9, 1], [0.3, 0.2, 0.1, 0.9, 1], [0.31, 0.8, 0.8, 0.1, 1],
                    [0.7, 0.05, 0.6, 0.3, 1], [1.0, 1.0, 1.0, 1.0, 1]])
PALETTES = {"default": None, "grey": GREY, "stepped": STEPPED}


def ties(rgb):
    """Colours exactly halfway between pairs of distinct rows (whole or half
    values), so two or more rows share the smallest distance."""
    i = np.arange(len(rgb))
    pairs = np.vstack([np.c_[i[:-1], i[1:]], np.c_[i[:-5], i[5:]], np.c_[i[::7], i[::-7]]])
    return (rgb[pairs[:, 0]] + rgb[pairs[:, 1]]) / 2


def cell_corners():
    """Every combination of values on and around the cell boundaries of the
    cube's index (multiples of 8) and the cube's faces."""
    v = np.array([0.0, 1e-300, 7.999999999, 8.0, 8.000000001, 63.5, 64.0, 127.999, 128.0,
                  200.0, 247.9999999, 248.0, 255.0, 255.5, 255.99999999])
    return np.stack(np.meshgrid(v, v, v, indexing="ij"), -1).reshape(-1, 3)


def non_finite():
    c = np.array([np.nan, np.inf, -np.inf, -0.0, -1e-9, 256.0, 300.0, -300.0, 12.0])
    return np.stack(np.meshgrid(c, c, [0.0, 128.0, np.nan], indexing="ij"), -1).reshape(-1, 3)


@pytest.mark.parametrize("palette", list(PALETTES))
@pytest.mark.parametrize("kind", ["ties", "corners", "non-finite", "whole colours"])
def test_fast_paths_agree_with_plain_search(palette, kind, path):
    pal = PALETTES[palette]
    rgb = palette_table(tintora.apply_colormap, pal)
    if kind == "ties":
        cols = ties(rgb)
    elif kind == "corners":
        cols = cell_corners()
    elif kind == "non-finite":
        cols = non_finite()
    else:  # more distinct colours than the memo has slots: collisions
        cols = np.random.default_rng(5).integers(0, 256, (20000, 3)).astype(np.float64)
    got = brelvo.lambda_from_colors(cols, pal)
    np.testing.assert_array_equal(got, ref_lambda(cols, rgb))
    # uint8 input takes the byte path of the same search.
    if kind == "whole colours":
        np.testing.assert_array_equal(brelvo.lambda_from_colors(cols.astype(np.uint8), pal), got)


@pytest.mark.parametrize("n", [1, 2, 63, 64, 65, 4095, 4096, 4097])
def test_odd_lengths(n):
    rng = np.random.default_rng(n)
    rgb = palette_table(tintora.apply_colormap)
    cols = np.where(rng.random((n, 1)) < 0.5, rgb[rng.integers(0, 256, n)], rng.integers(0, 256, (n, 3)))
    np.testing.assert_array_equal(brelvo.lambda_from_colors(cols), ref_lambda(cols, rgb))


def layouts():
    rng = np.random.default_rng(9)
    rgba = tintora.apply_colormap(rng.uniform(0, 1, 500))
    rgba[::37, :3] = rng.integers(0, 256, (len(rgba[::37]), 3))
    f = rgba.astype(np.float64)
    return {
        "uint8 rgb of rgba": rgba[:, :3],
        "uint8 reversed rows": rgba[::-1, :3],
        "uint8 reversed channels": rgba[:, 2::-1],
        "uint8 fortran": np.asfortranarray(rgba[:, :3]),
        "uint8 every third row": rgba[::3, 1:],
        "float64 rgb of rgba": f[:, :3],
        "float64 reversed": f[::-2, 2::-1],
        "float64 fortran": np.asfortranarray(f[:, :3]),
        "float32": f[:, :3].astype(np.float32),
        "big-endian": f[:, :3].astype(">f8"),
        "flat uint8": np.ascontiguousarray(rgba[:, :3]).ravel(),
        "list": f[:20, :3].tolist(),
    }


@pytest.mark.parametrize("name", list(layouts()))
def test_colour_layouts_read_in_place(name):
    cols = layouts()[name]
    want = ref_lambda(np.array(cols, dtype=np.float64), palette_table(tintora.apply_colormap))
    np.testing.assert_array_equal(brelvo.lambda_from_colors(cols), want)


def test_index_follows_a_table_changed_in_place(monkeypatch):
    monkeypatch.setattr(brelvo, "cKDTree", None)
    rgb = brelvo._lut(None)[0]
    cols = np.random.default_rng(2).integers(0, 256, (300, 3))
    brelvo.lambda_from_colors(cols)
    rgb[:] = rgb[::-1].copy()
    np.testing.assert_array_equal(brelvo.lambda_from_colors(cols), ref_lambda(cols, rgb))


def test_palettes_live_exactly_as_long_as_their_entries():
    refs = []
    for i in range(50):
        pal = np.array([[0, 0, 0, 0, 1], [1, i / 50, 1, 1, 1]], dtype=np.float64)
        brelvo.lambda_from_colors([[10, 20, 30]], pal)
        refs.append(weakref.ref(pal))
        del pal
    gc.collect()
    assert all(r() is not None for r in refs)  # their entries still answer for them
    brelvo._LUT_CACHE.clear()
    brelvo.lambda_from_colors([[1, 2, 3]])
    gc.collect()
    assert all(r() is None for r in refs)


def test_entries_removed_one_by_one_release_their_palettes():
    pals = [GREY.copy() for _ in range(3)]
    for p in pals:
        brelvo._lut(p)
    refs = [weakref.ref(p) for p in pals]
    del brelvo._LUT_CACHE[id(pals[1])]
    del pals
    brelvo._lut(None)
    gc.collect()
    assert [r() is None for r in refs] == [False, True, False]


def test_four_columns_say_so():
    with pytest.raises(ValueError, match=r"rows of three.*\(5, 4\).*20 values"):
        brelvo.lambda_from_colors(np.zeros((5, 4), np.uint8))


def test_ndarray_subclass_with_odd_size_attribute():
    class Odd(np.ndarray):
        size = -1

    cols = np.array([[0, 0, 255], [255, 0, 0]], np.uint8).view(Odd)
    np.testing.assert_array_equal(brelvo.lambda_from_colors(cols),
                                  ref_lambda(np.asarray(cols), palette_table(tintora.apply_colormap)))


def test_cache_swapped_back_holds_its_palettes_again(monkeypatch):
    pal = GREY.copy()
    brelvo._lut(pal)
    first = brelvo._LUT_CACHE
    monkeypatch.setattr(brelvo, "_LUT_CACHE", {})
    brelvo._lut(None)  # the palette's entry is no longer in the cache: let go
    monkeypatch.setattr(brelvo, "_LUT_CACHE", first)
    brelvo._lut(pal)
    ref = weakref.ref(pal)
    del pal
    gc.collect()
    assert ref() is not None
