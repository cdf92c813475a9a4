"""Hostile inputs for every operation of visualization.brelvo: each call returns
a well-formed result or raises one of the ordinary errors, never crashes."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from strategies import FUZZ, array_like, call, clouds, hostile, junk, number, palettes, points, qimages
from visualization import brelvo

QImage = brelvo.QImage

# Arguments that decide an output size are capped; the huge values among the
# extras must be refused before anything is allocated.
tops = number(-5.0, 60.0, extra=(1e300, 1e-300))
scales = number(-5.0, 60.0, extra=(1e300, 1e-300, 1e7))
radii = number(-5.0, 60.0, extra=(1e7, 1e12, 1e300, 0.9))
cell_sizes = number(-3.0, 40.0, extra=(1e-300, 1e300))
ks = st.one_of(st.integers(-3, 12), st.sampled_from([2 ** 63, 2 ** 70, -(2 ** 70), 2.9, -0.5, 1e300]),
               number(-3.0, 12.0))


def check_image(img, fmt=None):
    assert img is None or isinstance(img, QImage)
    if img is not None and fmt is not None:
        assert img.format() == fmt


@pytest.fixture(params=["scipy", "fallback"])
def tree_choice(request, monkeypatch):
    """Every operation that consults the module's cKDTree, with and without SciPy."""
    if request.param == "fallback":
        monkeypatch.setattr(brelvo, "cKDTree", None)
    return request.param


@FUZZ
@given(points(max_n=8), points(max_n=8), ks, st.one_of(st.none(), st.integers(-2, 4), junk()))
def test_numpy_kdtree(pts, q, k, workers):
    ok, tree = call(brelvo._NumpyKDTree, pts)
    if not ok:
        return
    ok, res = call(tree.query, q, k, workers)
    if ok:
        di, ix = res
        assert di.dtype == np.float64 and ix.dtype == np.int64 and di.shape == ix.shape
        m = tree._p.shape[0]
        assert np.all((ix >= 0) & (ix < max(m, 1)))


@FUZZ
@given(points(), st.one_of(array_like(), junk(), hostile((3, 3))), ks)
def test_numpy_kdtree_reassigned_points(pts, new_p, k):
    """The indexed points are a plain attribute; anything assigned to it is checked at query time."""
    ok, tree = call(brelvo._NumpyKDTree, pts)
    if not ok:
        return
    try:
        tree._p = new_p
    except (TypeError, ValueError):
        return
    call(tree.query, pts, k)


@FUZZ
@given(palettes())
def test_lut(tree_choice, cm):
    ok, res = call(brelvo._lut, cm)
    if ok:
        rgb, _ = res
        assert rgb.shape == (256, 3)


@FUZZ
@given(st.one_of(st.integers(0, 5).flatmap(lambda n: hostile((n, 3), -10.0, 300.0)), array_like()), palettes())
def test_lambda_from_colors(tree_choice, cols, cm):
    ok, res = call(brelvo.lambda_from_colors, cols, cm)
    if ok:
        assert res.dtype == np.float64 and np.all((res >= 0.0) & (res <= 1.0))


@FUZZ
@given(clouds(), tops, scales, number(-20.0, 20.0), number(-20.0, 20.0), palettes(), cell_sizes)
def test_build_field(tree_choice, cloud, top, scale, power, softness, cm, cell_px):
    ok, img = call(brelvo.build_field, cloud, top, scale, power, softness, cm, cell_px)
    if ok:
        check_image(img, QImage.Format_RGBA8888_Premultiplied)
        if img is not None:
            assert 49 <= img.width() == img.height() <= 601


@FUZZ
@given(clouds(), number(), number(), number(), number(), number(), palettes())
def test_cloud_key(cloud, top, scale, power, softness, cell_px, cm):
    ok, key = call(brelvo.cloud_key, cloud, top, scale, power, softness, cell_px, cm)
    if ok:
        assert isinstance(key, tuple) and len(key) == 9
        again = call(brelvo.cloud_key, cloud, top, scale, power, softness, cell_px, cm)
        assert repr(again) == repr((True, key))  # repr: NaN elements compare unequal


@FUZZ
@given(clouds(), number(), number(), number())
def test_visible_cloud_mask(cloud, r_off, top, gap):
    ok, m = call(brelvo.visible_cloud_mask, cloud, r_off, top, gap)
    if ok:
        assert np.asarray(m).dtype == np.bool_


@FUZZ
@given(clouds(), scales, tops, number(-5.0, 5.0), radii, number(-2.0, 5.0), number(-10.0, 10.0),
       number(-3.0, 12.0), st.one_of(st.integers(-2, 6), number(-2.0, 6.0), st.sampled_from([2 ** 70, 1e300])))
def test_render_polar_alan(tree_choice, cloud, scale, top, r_off, rr, gap, power, softness, hucre):
    ok, img = call(brelvo.render_polar_alan, cloud, scale, top, r_off, rr, gap, power, softness, hucre)
    if ok:
        check_image(img)
        if img is not None:
            assert img.width() == img.height() == 2 * int(float(rr))


@FUZZ
@given(clouds(), number(-5.0, 5.0), number(), number(-2.0, 5.0), qimages(),
       st.one_of(st.none(), number(-10.0, 10.0)))
def test_en_guclu_kutup_indeksleri(cloud, r_off, top, gap, image, scale):
    ok, res = call(brelvo.en_guclu_kutup_indeksleri, cloud, r_off, top, gap, image, scale)
    if ok:
        assert list(res) == ["metal", "void"]
        for v in res.values():
            assert v is None or (isinstance(v, int) and 0 <= v < len(cloud[0]))


@FUZZ
@given(clouds(), number(-5.0, 5.0), number(), number(-2.0, 5.0))
def test_en_guclu_kutuplar(cloud, r_off, top, gap):
    ok, res = call(brelvo.en_guclu_kutuplar, cloud, r_off, top, gap)
    if ok:
        assert list(res) == ["metal", "void"]
        for v in res.values():
            assert v is None or (len(v) == 2 and all(isinstance(x, float) for x in v))


CONSTANTS = ["KAPPA", "RMIN_PX", "RMIN_TOP", "RMAX_TOP", "W0", "COV_LO", "COV_HI", "A_MAX", "NBUCK", "KNN",
             "RIM_FADE", "_SM_RATIO"]


@FUZZ
@given(st.sampled_from(CONSTANTS), st.one_of(number(-20.0, 20.0), st.integers(-(2 ** 70), 2 ** 70)),
       clouds(min_len=3, max_len=3), tops, scales)
def test_build_field_with_hostile_constants(monkeypatch_module, name, value, cloud, top, scale):
    """Module constants are read at call time; whatever the host assigns is checked."""
    monkeypatch_module.setattr(brelvo, name, value)
    try:
        ok, img = call(brelvo.build_field, cloud, top, scale)
    finally:
        monkeypatch_module.undo()
    if ok:
        check_image(img)


@pytest.fixture
def monkeypatch_module():
    mp = pytest.MonkeyPatch()
    yield mp
    mp.undo()
