import gc

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
