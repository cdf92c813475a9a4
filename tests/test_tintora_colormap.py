import numpy as np
import pytest

import reference_tintora as ref
from visualization import tintora as T

BLUE, CYAN, GREEN, RED = [0, 0, 255, 255], [0, 255, 255, 255], [0, 127, 0, 255], [255, 0, 0, 255]


@pytest.mark.parametrize("lam, rgba", [
    (0.0, BLUE), (0.5, GREEN), (1.0, RED), (0.25, CYAN), (-0.3, BLUE), (2.0, RED), (1.5, RED),
    (-np.inf, BLUE), (np.inf, RED), (0.05, BLUE), (0.15, [0, 84, 255, 255]),
    (0.175, [0, 127, 255, 255]), (0.2, [0, 170, 255, 255]), (0.3, [0, 229, 204, 255]),
    (0.375, [0, 191, 127, 255]), (0.4, [0, 178, 101, 255]), (0.45, [0, 152, 51, 255]),
    (0.55, [51, 152, 0, 255]), (0.6, [101, 178, 0, 255]), (0.625, [127, 191, 0, 255]),
    (0.7, [203, 229, 0, 255]), (0.8, [255, 169, 0, 255]), (0.825, [255, 127, 0, 255]),
    (0.85, [255, 85, 0, 255]), (0.95, RED),
])
def test_default_palette_bytes(lam, rgba):
    out = T.apply_colormap(lam)
    assert out.dtype == np.uint8 and out.shape == (4,)
    assert out.tolist() == rgba


def test_shapes_and_layout():
    lam = np.array([[0.0, 0.5, 1.0], [0.25, 0.15, 2.0]])
    out = T.apply_colormap(lam)
    assert out.shape == (2, 3, 4) and out.flags.c_contiguous
    assert out[1, 1].tolist() == [0, 84, 255, 255]
    assert T.apply_colormap(np.zeros(0)).shape == (0, 4)
    assert T.apply_colormap([0.0, 0.5, 1.0]).tolist() == [BLUE, GREEN, RED]


@pytest.mark.parametrize("t", [
    np.linspace(0, 1, 12)[::3],                    # non-contiguous view
    [[0, 1], [1, 0]],                              # integer nested list
    np.arange(6, dtype=np.int32).reshape(2, 3) / 5,
    np.asfortranarray(np.random.default_rng(0).random((5, 4))),
])
def test_any_array_like_matches_reference(t):
    np.testing.assert_array_equal(T.apply_colormap(t), ref.apply_colormap(t))


def test_caller_palette_and_host_assigned_default(monkeypatch):
    bw = [[0, 0, 0, 0, 1], [1, 1, 1, 1, 1]]
    assert T.apply_colormap([0.5, 0.25], bw).tolist() == [[127, 127, 127, 255], [63, 63, 63, 255]]
    assert T.apply_colormap(0.5, colormap=None).tolist() == GREEN
    monkeypatch.setattr(T, "KORVAL_BENZERI", np.array(bw, dtype=np.float64))
    assert T.apply_colormap(0.5).tolist() == [127, 127, 127, 255]


def test_stops_to_bytes_and_channel_interp():
    lam, b = T._stops_to_bytes(T.KORVAL_BENZERI)
    np.testing.assert_array_equal(lam, [0.0, 0.1, 0.25, 0.5, 0.75, 0.9, 1.0])
    assert b.dtype == np.int64 and b.tolist() == [BLUE, BLUE, CYAN, GREEN, [255, 255, 0, 255], RED, RED]
    assert T._interp_channel_bytes(np.array([0.375]), lam, b[:, 2]).tolist() == [127.5]
    assert T._interp_channel_bytes(0.375, lam, b[:, 2]) == 127.5
    assert T.KORVAL_BENZERI.shape == (7, 5) and T.KORVAL_BENZERI.dtype == np.float64


def test_nan_lambda_is_byte_zero():
    assert T.apply_colormap([np.nan, 0.5]).tolist() == [[0, 0, 0, 0], GREEN]


@pytest.mark.parametrize("palette, lam, rgba", [
    ([[0, 2, 0, 0, 1], [1, 2, 0, 0, 1]], 0.5, [255, 0, 0, 255]),          # intensity > 1
    ([[0, -1, 0, 0, 1], [1, -1, 0, 0, 1]], 0.5, [0, 0, 0, 255]),          # negative
    ([[0, np.inf, 0, 0, 1], [1, 0, 0, 0, 1]], 0.5, [255, 0, 0, 255]),     # infinite
    ([[0, np.nan, 0, 0, 1], [1, 0, 0, 0, 1]], 0.5, [0, 0, 0, 255]),       # NaN stop
    ([[0.5, 0.2, 0.4, 0.6, 0.8]], np.nan, [51, 102, 153, 204]),           # single stop
])
def test_out_of_range_palette_is_clipped(palette, lam, rgba):
    assert T.apply_colormap(lam, palette).tolist() == rgba


@pytest.mark.parametrize("palette, exc", [
    ([1, 2, 3], IndexError), ([[0, 1, 1, 1]], IndexError), (np.zeros((2, 0)), IndexError),
    (np.zeros((0, 5)), ValueError), ("x", ValueError), (np.zeros((3, 2, 5)), ValueError),
])
def test_bad_palettes(palette, exc):
    with pytest.raises(exc):
        T.apply_colormap([0.5], palette)
    with pytest.raises(exc):
        ref.apply_colormap([0.5], palette)


def test_interface_rules():
    with pytest.raises(TypeError):
        T.apply_colormap()
    with pytest.raises(TypeError):
        T.apply_colormap([0.5], None, 1)
    with pytest.raises(TypeError):
        T.apply_colormap(t=[0.5], palette=None)
    with pytest.raises(ValueError):
        T.apply_colormap([[0.5], [0.1, 0.2]])
    t = np.array([0.3, 0.6])
    cm = T.KORVAL_BENZERI.copy()
    T.apply_colormap(t=t, colormap=cm)
    np.testing.assert_array_equal(cm, T.KORVAL_BENZERI)
    assert t.tolist() == [0.3, 0.6]


@pytest.mark.parametrize("seed", [0, 1])
def test_random_fields_bit_exact(seed):
    rng = np.random.default_rng(seed)
    lam = rng.uniform(-0.2, 1.2, (200, 300))
    lam[rng.random(lam.shape) < 0.05] = 0.15
    pal = np.c_[np.sort(rng.random(12)), rng.random((12, 4))]
    np.testing.assert_array_equal(T.apply_colormap(lam), ref.apply_colormap(lam))
    np.testing.assert_array_equal(T.apply_colormap(lam, pal), ref.apply_colormap(lam, pal))


def _random_palette(rng, n):
    return np.c_[np.sort(rng.uniform(-0.1, 1.1, n)), rng.random((n, 4))]


# Palette sizes around every change of the row search (compare counts of 1 to
# 8 thresholds, padded groups of 12 and 16, binary search beyond), inputs of
# lengths that leave partial groups of four and partial blocks.
@pytest.mark.parametrize("stops", [2, 3, 5, 7, 9, 10, 13, 14, 17, 18, 40])
@pytest.mark.parametrize("size", [1, 3, 4, 130, 1027])
def test_palette_sizes_and_lengths_bit_exact(stops, size):
    rng = np.random.default_rng(stops * 1000 + size)
    pal = _random_palette(rng, stops)
    lam = rng.uniform(-0.3, 1.3, size)
    hits = rng.integers(0, stops, size // 3)
    lam[: hits.size] = pal[hits, 0]                     # exactly on the stops
    nan = rng.random(size) < 0.05
    expected = ref.apply_colormap(np.where(nan, 0.5, lam), pal)
    expected[nan] = 0                                   # NaN lambda: byte 0
    lam[nan] = np.nan
    np.testing.assert_array_equal(T.apply_colormap(lam, pal), expected)


def test_smooth_field_bit_exact():
    yy, xx = np.mgrid[0:300, 0:301] / 300.0
    lam = 0.5 + 0.5 * np.sin(7 * xx) * np.cos(5 * yy)
    np.testing.assert_array_equal(T.apply_colormap(lam), ref.apply_colormap(lam))
    lam = np.linspace(-0.05, 1.05, 100003)                # every byte boundary of the default palette
    np.testing.assert_array_equal(T.apply_colormap(lam), ref.apply_colormap(lam))


@pytest.mark.parametrize("pal", [
    [[0, 0, 0, 0, 1], [0.5, 3, 0.5, -2, 1], [1, 1, 1, 1, 1]],   # bytes above 255 and below 0
    [[0, 0, 0, 0, 1], [1e-300, 1, 1, 1, 1], [1, 0, 0, 0, 1]],  # a very steep segment
])
def test_out_of_range_bytes_are_clipped_everywhere(pal):
    lam = np.r_[np.linspace(-0.1, 1.1, 1001), np.nan, np.inf, -np.inf, 5e-301]
    expected = np.clip(np.nan_to_num(_interp_all(lam, pal), nan=0.0), 0.0, 255.0).astype(np.uint8)
    np.testing.assert_array_equal(T.apply_colormap(lam, pal), expected)


def _interp_all(lam, pal):
    l, b = ref.stops_to_bytes(pal)
    return np.trunc(np.stack([np.interp(lam, l, b[:, c].astype(np.float64)) for c in range(4)], axis=-1))
