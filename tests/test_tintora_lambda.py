import math
import warnings

import numpy as np
import pytest

import reference_tintora as ref
from visualization import tintora as T

nan, inf = np.nan, np.inf


@pytest.mark.parametrize("values, expected", [
    ([2, 4, 0, 6, nan], (4.0, 2.0, 6.0)), ([], (0.0, 0.0, 0.0)), ([0, 0, -0.0], (0.0, 0.0, 0.0)),
    ([nan, nan], (0.0, 0.0, 0.0)), ([1.0, inf, 3.0], (2.0, 1.0, 3.0)), ([-2.0, 4.0], (1.0, -2.0, 4.0)),
    ([[1, 2], [3, 0]], (2.0, 1.0, 3.0)), (5, (5.0, 5.0, 5.0)),
])
def test_running_baseline(values, expected):
    out = T.running_baseline(values)
    assert isinstance(out, tuple) and out == expected


C = dict(ground=0.0, data_min=-10.0, data_max=10.0)


@pytest.mark.parametrize("field, kw, expected", [
    ([10.0, 0.0001, -10.0, 5.0, -5.0], dict(C, esik=0.0), [1.0, 0.5 + 0.000005, 0.0, 0.75, 0.25]),
    ([0.0], dict(C, esik=0.0), [1.5]), ([0.0], dict(C, esik=5.0), [1.5]),
    ([0.0], dict(C, esik=0.0, sifiri_topraga_cek=False), [0.5]),
    ([3.0], dict(C, esik=5.0, sifiri_topraga_cek=False), [0.5]),
    ([3.0], dict(C, esik=0.0), [0.65]),
    ([1.0, 2.0], dict(ground=1.5, data_min=1.0, data_max=1.05, esik=0.0, sifiri_topraga_cek=False), [0.5, 0.5]),
    ([0.05], dict(ground=0.05, data_min=0.0, data_max=0.1, esik=0.0), [0.5]),
    ([20.0, -20.0], dict(C, esik=0.0), [1.0, 0.0]),
    ([12.0], dict(ground=10.0, data_min=-10.0, data_max=10.0, esik=0.0), [0.5]),
    ([296, 304, 350, 280, 450, 200], dict(ground=300, data_min=250, data_max=400, esik=5, esik_ref=300),
     [0.5, 0.5, 0.75, 0.3, 1.0, 0.0]),
    ([296, 304], dict(ground=300, data_min=250, data_max=400, esik=5), [0.46, 0.52]),
    ([nan, inf, -inf], dict(C, esik=0.0), [0.5, 0.5, 0.5]),
    ([0.0, 5.0], dict(C, esik=0.0, mask=[False, True]), [0.5, 0.75]),
    ([0.0], dict(C, esik=0.0, esik_ref="0.0"), [1.5]),
])
def test_compute_lambda_cases(field, kw, expected):
    out = T.compute_lambda(field, **kw)
    assert out.dtype == np.float64
    np.testing.assert_allclose(out, expected, rtol=1e-15, atol=0)
    np.testing.assert_array_equal(out, ref.compute_lambda(field, **kw))


def test_shapes_and_mask_broadcasting():
    assert T.compute_lambda(3.0, 0, -10, 10, 0).shape == ()
    assert T.compute_lambda(np.ones((2, 3)), 0, -10, 10, 0).shape == (2, 3)
    out = T.compute_lambda([1.0, 0.0, 2.0], 0, -10, 10, 0, mask=[[1], [0]])
    np.testing.assert_array_equal(out, ref.compute_lambda([1.0, 0.0, 2.0], 0, -10, 10, 0, mask=[[1], [0]]))
    assert T.compute_lambda([1.0, 0.0], 0, -10, 10, 0, mask=True).shape == (2,)
    with pytest.raises(ValueError):
        T.compute_lambda([1.0, 2.0, 3.0], 0, -10, 10, 0, mask=[True, False])


@pytest.mark.parametrize("bad, exc", [
    (dict(ground="a"), TypeError), (dict(data_min=None), TypeError), (dict(data_max="1"), TypeError),
    (dict(esik=None), TypeError), (dict(esik_ref="x"), ValueError), (dict(esik_ref=None), TypeError),
    (dict(field=[[1], [1, 2]]), ValueError), (dict(field="abc"), ValueError),
])
def test_bad_arguments(bad, exc):
    kw = dict(field=[1.0, 2.0], ground=0.0, data_min=-10.0, data_max=10.0, esik=0.0)
    kw.update(bad)
    with pytest.raises(exc):
        T.compute_lambda(**kw)


def test_interface_rules():
    with pytest.raises(TypeError):
        T.compute_lambda([1.0], 0, -10, 10)
    with pytest.raises(TypeError):
        T.compute_lambda([1.0], 0, -10, 10, 0, None, True, 0.0, 1)
    with pytest.raises(TypeError):
        T.running_baseline(vals=[1.0])
    f = np.array([0.0, 5.0, -3.0])
    m = np.array([True, False, True])
    T.compute_lambda(f, 0, -10, 10, 0, m, False, 0.0)
    assert f.tolist() == [0.0, 5.0, -3.0] and m.tolist() == [True, False, True]


def test_no_floating_point_warnings():
    with np.errstate(all="raise"), warnings.catch_warnings():
        warnings.simplefilter("error")
        T.compute_lambda([5.0, -5.0, inf, nan], 0.0, 0.0, 10.0, 0.0)
        T.compute_lambda([5.0, -5.0, inf], 10.0, -10.0, 10.0, 0.0)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_random_fields_bit_exact(seed):
    rng = np.random.default_rng(seed)
    f = rng.normal(0, 5, (150, 170))
    f[rng.random(f.shape) < 0.1] = 0.0
    f[rng.random(f.shape) < 0.01] = nan
    g, lo, hi = ref.running_baseline(f)
    np.testing.assert_allclose(T.running_baseline(f), (g, lo, hi), rtol=1e-12)
    mask = rng.random(f.shape) < 0.8
    for kw in (dict(), dict(mask=mask), dict(sifiri_topraga_cek=False, esik_ref=g)):
        np.testing.assert_array_equal(T.compute_lambda(f, g, lo, hi, 1.0, **kw),
                                      ref.compute_lambda(f, g, lo, hi, 1.0, **kw))


# Lengths that leave partial groups of four and eight and partial blocks of
# the summation, with every kind of unwritten cell.
@pytest.mark.parametrize("size", [1, 3, 7, 8, 9, 1023, 1025, 4099])
def test_odd_lengths_bit_exact(size):
    rng = np.random.default_rng(size)
    f = rng.normal(0, 5, size)
    kinds = rng.integers(0, 8, size)
    f[kinds == 0] = 0.0
    f[kinds == 1] = nan
    f[kinds == 2] = inf
    f[kinds == 3] = -0.0
    mask = rng.random(size) < 0.7
    g, lo, hi = T.running_baseline(f)
    rg, rlo, rhi = ref.running_baseline(f)
    assert (lo, hi) == (rlo, rhi)
    np.testing.assert_allclose(g, rg, rtol=1e-13)
    for kw in (dict(), dict(mask=mask), dict(sifiri_topraga_cek=False, esik_ref=rg)):
        np.testing.assert_array_equal(T.compute_lambda(f, rg, rlo, rhi, 0.8, **kw),
                                      ref.compute_lambda(f, rg, rlo, rhi, 0.8, **kw))


def test_baseline_sum_is_accurate_on_long_inputs():
    # 10^6 values of very different sizes: the blockwise sum stays within a few
    # ulps of the exactly rounded mean.
    rng = np.random.default_rng(7)
    v = rng.normal(0, 1, 10**6) * 10.0 ** rng.integers(-3, 4, 10**6)
    exact = math.fsum(v) / v.size
    assert abs(T.running_baseline(v)[0] - exact) <= 1e-12 * np.abs(v).mean()


# Cells exactly at the edges of the dead band, reference + esik and
# reference - esik, lie outside it (both comparisons are strict), at every
# position of arrays long enough for groups of four, pairs and single cells;
# VIS_GENERIC_KERNELS=1 runs the same cells through the two-lane and scalar
# loops. Every value and difference here is exact in binary.
@pytest.mark.parametrize("esik_ref", [0.0, 300.0])
@pytest.mark.parametrize("size", [1, 2, 3, 4, 5, 6, 7, 9, 13])
def test_dead_band_edges_are_outside_at_every_position(size, esik_ref):
    rule = dict(ground=esik_ref, data_min=esik_ref - 16.0, data_max=esik_ref + 16.0, esik=4.0,
                esik_ref=esik_ref, sifiri_topraga_cek=False)
    for edge, expected in ((esik_ref + 4.0, 0.625), (esik_ref - 4.0, 0.375)):
        for pos in range(size):
            f = np.full(size, esik_ref + 1.0)  # inside the band
            f[pos] = edge
            out = T.compute_lambda(f, **rule)
            want = np.full(size, 0.5)
            want[pos] = expected
            np.testing.assert_array_equal(out, want)
            np.testing.assert_array_equal(out, ref.compute_lambda(f, **rule))
            paint = T.boya(f, rule["ground"], rule["data_min"], rule["data_max"], rule["esik"],
                           sifiri_topraga_cek=False, esik_ref=esik_ref)
            np.testing.assert_array_equal(paint, T.apply_colormap(want))
