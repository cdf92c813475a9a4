"""Hostile inputs for every operation of visualization.tintora: each call returns
a well-formed result or raises one of the ordinary errors, never crashes."""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from strategies import FUZZ, array_like, call, hostile, junk, number, palettes, points, shapes
from visualization import tintora

free_palettes = st.one_of(palettes(), shapes(3, 8).flatmap(lambda s: hostile(s)), array_like())
flags = st.one_of(st.booleans(), st.sampled_from([0, 1, 2, None, "", "x", np.bool_(True), np.array([1, 0])]))


def bool_bytes():
    """Boolean arrays whose bytes are not 0 or 1 (views of arbitrary bytes)."""
    return st.binary(min_size=0, max_size=12).map(lambda b: np.frombuffer(b, dtype=np.bool_))


def masks(shape):
    return st.one_of(st.none(), hostile(shape, -2.0, 2.0), bool_bytes(), array_like(), junk())


@FUZZ
@given(free_palettes)
def test_stops_to_bytes(cm):
    ok, res = call(tintora._stops_to_bytes, cm)
    if ok:
        lam, b = res
        assert lam.dtype == np.float64 and b.dtype == np.int64


@FUZZ
@given(array_like(), array_like(), array_like())
def test_interp_channel_bytes(x, xp, fp):
    ok, res = call(tintora._interp_channel_bytes, x, xp, fp)
    if ok:
        assert np.asarray(res).dtype == np.float64


@FUZZ
@given(array_like(), free_palettes, st.booleans())
def test_apply_colormap(t, cm, by_keyword):
    ok, res = call(tintora.apply_colormap, t, colormap=cm) if by_keyword else call(tintora.apply_colormap, t, cm)
    if ok:
        assert res.dtype == np.uint8 and res.flags.c_contiguous and res.shape[-1] == 4


@FUZZ
@given(array_like())
def test_running_baseline(v):
    ok, res = call(tintora.running_baseline, v)
    if ok:
        assert len(res) == 3 and all(isinstance(x, float) for x in res)


lambda_args = shapes(3, 5).flatmap(
    lambda s: st.tuples(st.one_of(hostile(s), hostile(s, -20.0, 20.0), array_like()), number(), number(),
                        number(), number(), masks(s), flags, number()))


@FUZZ
@given(lambda_args)
def test_compute_lambda(a):
    field, ground, lo, hi, esik, mask, sent, ref = a
    ok, res = call(tintora.compute_lambda, field, ground, lo, hi, esik, mask, sent, ref)
    if ok:
        # Non-finite or overflowing references may give NaN, as the array formulation does.
        assert res.dtype == np.float64 and not np.any((res < 0.0) | (res > 1.0) & (res != 1.5))


@FUZZ
@given(lambda_args, st.one_of(st.none(), palettes()))
def test_boya(a, default):
    field, ground, lo, hi, esik, mask, sent, ref = a
    saved = tintora.KORVAL_BENZERI
    try:
        if default is not None:
            tintora.KORVAL_BENZERI = default
        ok, res = call(tintora.boya, field, ground, lo, hi, esik, sent, mask, esik_ref=ref)
    finally:
        tintora.KORVAL_BENZERI = saved
    if ok:
        assert res.dtype == np.uint8 and res.shape[-1] == 4


@FUZZ
@given(points(), points(), st.one_of(st.integers(0, 7).flatmap(lambda n: hostile((n,))), array_like()),
       number(-20.0, 20.0), number(-5.0, 5.0))
def test_rbf_fill(q, p, sv, power, smoothing):
    ok, res = call(tintora.rbf_fill, q, p, sv, power, smoothing)
    if ok:
        assert res.dtype == np.float64 and res.ndim == 1


def test_mask_bytes_other_than_zero_and_one_count_as_true():
    field = [1.0, 2.0, 0.0, -3.0]
    m = np.frombuffer(b"\x10\x00\xff\x01", dtype=np.bool_)
    want = tintora.compute_lambda(field, 0.0, -10.0, 10.0, 0.0, np.array([True, False, True, True]))
    np.testing.assert_array_equal(tintora.compute_lambda(field, 0.0, -10.0, 10.0, 0.0, m), want)
    np.testing.assert_array_equal(tintora.boya(field, 0.0, -10.0, 10.0, 0.0, True, m),
                                  tintora.boya(field, 0.0, -10.0, 10.0, 0.0, True, m.astype(np.uint8) != 0))
