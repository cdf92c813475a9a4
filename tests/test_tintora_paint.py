import numpy as np
import pytest

import reference_tintora as ref
from visualization import tintora as T

nan = np.nan
FIELD = [10.0, -10.0, 5.0, 0.0, nan]


@pytest.mark.parametrize("args, kw, expected", [
    (([0.0], 0.0, -10.0, 10.0, 0.0), dict(sifiri_topraga_cek=True), [[0, 50, 0, 255]]),
    ((FIELD, 0.0, -10.0, 10.0, 0.0), dict(),
     [[255, 0, 0, 255], [0, 0, 255, 255], [255, 255, 0, 255], [0, 50, 0, 255], [0, 127, 0, 255]]),
    ((FIELD, 0.0, -10.0, 10.0, 0.0), dict(sifiri_topraga_cek=False),
     [[255, 0, 0, 255], [0, 0, 255, 255], [255, 255, 0, 255], [0, 127, 0, 255], [0, 127, 0, 255]]),
    (([0.0, 0.0], 0.0, -10.0, 10.0, 0.0), dict(mask=[False, True]), [[0, 127, 0, 255], [0, 50, 0, 255]]),
])
def test_paint_cases(args, kw, expected):
    out = T.boya(*args, **kw)
    assert out.dtype == np.uint8 and out.tolist() == expected


def test_positional_flag_order():
    f = np.array([0.0, 4.0, -2.0])
    m = np.array([True, False, True])
    np.testing.assert_array_equal(T.boya(f, 0.0, -10.0, 10.0, 0.0, False, m),
                                  T.apply_colormap(T.compute_lambda(f, 0.0, -10.0, 10.0, 0.0, m, False)))
    assert f.tolist() == [0.0, 4.0, -2.0] and m.tolist() == [True, False, True]


def test_host_assigned_palette(monkeypatch):
    pal = np.array([[0.0, 0.0, 1.0, 0.0, 128 / 255], [1.0, 0.0, 1.0, 0.0, 128 / 255]])
    assert T.apply_colormap(0.5, pal).tolist() == [0, 255, 0, 128]
    monkeypatch.setattr(T, "KORVAL_BENZERI", pal)
    assert T.boya([0.0], 0.0, -10.0, 10.0, 0.0).tolist() == [[0, 102, 0, 128]]


def test_shape_and_errors():
    assert T.boya(0.0, 0.0, -10.0, 10.0, 0.0).shape == (4,)
    assert T.boya(np.ones((2, 3)), 0.0, -10.0, 10.0, 0.0).shape == (2, 3, 4)
    with pytest.raises(TypeError):
        T.boya([1.0], 0.0, -10.0, 10.0)
    with pytest.raises(TypeError):
        T.boya([1.0], 0.0, -10.0, 10.0, 0.0, colormap=None)
    with pytest.raises(TypeError):
        T.boya([1.0], "g", -10.0, 10.0, 0.0)


@pytest.mark.parametrize("seed", [0, 1])
def test_random_fields_bit_exact(seed):
    rng = np.random.default_rng(seed)
    f = rng.normal(0, 5, (160, 140))
    f[rng.random(f.shape) < 0.1] = 0.0
    g, lo, hi = ref.running_baseline(f)
    mask = rng.random(f.shape) < 0.9
    for kw in (dict(), dict(mask=mask), dict(sifiri_topraga_cek=False), dict(esik_ref=g)):
        np.testing.assert_array_equal(T.boya(f, g, lo, hi, 0.7, **kw), ref.boya(f, g, lo, hi, 0.7, **kw))
    nz = f[f != 0.0]
    np.testing.assert_array_equal(T.boya(nz, g, lo, hi, 0.7),
                                  T.apply_colormap(T.compute_lambda(nz, g, lo, hi, 0.7)))


@pytest.mark.parametrize("size", [1, 2, 5, 1023, 1029, 5000])
def test_no_data_cells_at_every_position(size):
    rng = np.random.default_rng(size)
    f = rng.normal(0, 5, size)
    f[rng.random(size) < 0.3] = 0.0
    f[-1] = 0.0                                          # last cell in a partial group
    g, lo, hi = ref.running_baseline(f)
    mask = rng.random(size) < 0.8
    for kw in (dict(), dict(mask=mask), dict(sifiri_topraga_cek=False)):
        np.testing.assert_array_equal(T.boya(f, g, lo, hi, 0.4, **kw), ref.boya(f, g, lo, hi, 0.4, **kw))
