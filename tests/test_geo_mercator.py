"""Web Mercator tile geometry: documented cases, zoom semantics and bit-for-bit
agreement with the plain-Python formulation."""
import math
import random

import pytest

import reference_geo as ref
from visualization import geo

LIMIT = math.degrees(math.atan(math.sinh(math.pi)))


def test_world_px_cases():
    assert geo.latlon_to_world_px(0, 0, 0) == (128.0, 128.0)
    x, y = geo.latlon_to_world_px(90, 180, 0)
    assert x == 256.0 and -2e-9 < y < 0.0
    x, y = geo.latlon_to_world_px(-90, -180, 1)
    assert x == 0.0 and 512.0 < y < 512.0 + 4e-9
    assert geo.latlon_to_world_px(0, 200, 0) == (380 / 360 * 256, 128.0)


def test_inverse_cases():
    assert geo.world_px_to_latlon(128, 128, 0) == (0.0, 0.0)
    lat, lon = geo.world_px_to_latlon(0, 0, 0)
    assert lat == pytest.approx(LIMIT, abs=1e-12) and lon == -180.0
    lat, lon = geo.world_px_to_latlon(256, 256, 0)
    assert lat == pytest.approx(-LIMIT, abs=1e-12) and lon == 180.0
    lat, lon = geo.world_px_to_latlon(0, -256, 0)
    assert 89.9 < lat < 90.0 and lon == -180.0


def test_there_and_back_zoom_18():
    rng = random.Random(3)
    for _ in range(500):
        lat, lon = rng.uniform(-85.05, 85.05), rng.uniform(-180, 180)
        back = geo.world_px_to_latlon(*geo.latlon_to_world_px(lat, lon, 18), 18)
        assert back == pytest.approx((lat, lon), abs=1e-12)


def test_meters_per_pixel_cases():
    assert geo.meters_per_pixel(0, 0) == geo._MPP_EQUATOR
    assert geo.meters_per_pixel(0, 19) == geo._MPP_EQUATOR / 2 ** 19
    assert geo.meters_per_pixel(60, 19) == pytest.approx(geo._MPP_EQUATOR / 2 ** 20, rel=1e-15)
    assert geo.meters_per_pixel(0, -2) == geo._MPP_EQUATOR * 4
    assert geo.meters_per_pixel(0, 2.0) == geo._MPP_EQUATOR / 4


@pytest.mark.parametrize("args, expected", [
    ((0, 100, 400), 18), ((41, 5, 600), 22), ((41, 5, 600, 19), 19), ((0, 1, 1000), 23), ((0, 1e9, 100), 0),
    ((0, 100, 400, -1), 0), ((0, 1, 1000, 5.9), 5), ((0, 0, 400), 17), ((0, -5, 400), 17), ((0, 100, 0), 17),
    ((0, 100, -3), 17), ((0, 100, 400, True), 1), ((0, 100, 400, "12"), 12),
])
def test_zoom_for_range(args, expected):
    out = geo.zoom_for_range(*args)
    assert type(out) is int and out == expected == ref.zoom_for_range(*args)


def test_zoom_for_range_equality_fits():
    r = geo.meters_per_pixel(0, 5)
    assert geo.zoom_for_range(0, r, 2) == 5
    assert geo.zoom_for_range(0, r * (1 + 1e-7), 2) == 4


def test_zoom_for_range_evaluates_lazily():
    # Arguments not needed on the early paths are not looked at.
    assert geo.zoom_for_range("lat", 0, "px") == 17
    assert geo.zoom_for_range("lat", 1, 0) == 17
    assert geo.zoom_for_range("lat", 1, 1, -1) == 0


@pytest.mark.parametrize("call, exc", [
    (lambda: geo.zoom_for_range(0, 1, 1, math.nan), ValueError),
    (lambda: geo.zoom_for_range(0, 1, 1, math.inf), OverflowError),
    (lambda: geo.zoom_for_range(0, 1, 1, 2000), OverflowError),
    (lambda: geo.zoom_for_range(0, 1, 1, 10 ** 30), OverflowError),
    (lambda: geo.zoom_for_range(math.inf, 1, 1, 10), ValueError),
    (lambda: geo.meters_per_pixel(0, 1024), OverflowError),
    (lambda: geo.meters_per_pixel(0, 10 ** 30), OverflowError),
    (lambda: geo.meters_per_pixel(0, -math.inf), ZeroDivisionError),
    (lambda: geo.meters_per_pixel(0, 1e6), OverflowError),
    (lambda: geo.latlon_to_world_px(0, 0, 1016), OverflowError),
    (lambda: geo.latlon_to_world_px(0, 0, 10 ** 30), OverflowError),
    (lambda: geo.world_px_to_latlon(0, 0, 1016), OverflowError),
    (lambda: geo.world_px_to_latlon(0, -1e6, 0), OverflowError),   # sinh overflows
    (lambda: geo.world_px_to_latlon(0, 0, -math.inf), ZeroDivisionError),
    (lambda: geo.meters_per_pixel(math.inf, 0), ValueError),
])
def test_errors(call, exc):
    with pytest.raises(exc):
        call()


def _outcome(fn, *args):
    try:
        return fn(*args)
    except ArithmeticError as e:
        return type(e)


@pytest.mark.parametrize("zoom", [1015, 1014, 1016, -1074, -1070, -1080, 1023.0, 1100.0, -40, -2000, 0.5])
def test_extreme_zooms_agree_with_plain_formulation(zoom):
    # n = 256 * 2**1015 = 2**1023 is the largest world edge that is still a double.
    for fn in ("latlon_to_world_px", "world_px_to_latlon"):
        for args in [(0.5, 1.0), (128.0, 128.0)]:
            ours, theirs = _outcome(getattr(geo, fn), *args, zoom), _outcome(getattr(ref, fn), *args, zoom)
            assert ours == theirs if isinstance(ours, type) else ref.same_float(ours, theirs)
    assert ref.same_float(geo.meters_per_pixel(1.0, 1023), ref.meters_per_pixel(1.0, 1023))
    assert ref.same_float(geo.world_px_to_latlon(0, 0, math.nan), ref.world_px_to_latlon(0, 0, math.nan))


def test_random_agreement_bit_for_bit():
    rng = random.Random(20260302)
    for _ in range(3000):
        zoom = rng.randint(-3, 25)
        lat = rng.choice((rng.uniform(-90, 90), rng.uniform(-100, 100), 85.05112878, -85.0511287798066))
        lon = rng.uniform(-400, 400)
        x, y = rng.uniform(-300, 300) * 2 ** zoom, rng.uniform(-300, 300) * 2 ** zoom
        assert ref.same_float(geo.latlon_to_world_px(lat, lon, zoom), ref.latlon_to_world_px(lat, lon, zoom))
        assert ref.same_float(geo.world_px_to_latlon(x, y, zoom), ref.world_px_to_latlon(x, y, zoom))
        assert ref.same_float(geo.meters_per_pixel(lat, zoom), ref.meters_per_pixel(lat, zoom))
        rng_m, px = 10 ** rng.uniform(-1, 7), rng.randint(1, 4000)
        assert geo.zoom_for_range(lat, rng_m, px) == ref.zoom_for_range(lat, rng_m, px)
