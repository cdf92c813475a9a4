"""Spherical geodesy: documented cases, error cases and bit-for-bit agreement
with the plain-Python formulation on random inputs."""
import math
import random

import pytest

import reference_geo as ref
from visualization import geo

R = geo.EARTH_R_M
ARC1 = R * math.pi / 180  # one degree of arc


@pytest.mark.parametrize("args, expected", [
    ((0, 0, 0, 1), ARC1),
    ((0, 0, 1, 0), ARC1),
    ((12.5, -3.0, 12.5, -3.0), 0.0),
    ((0, 0, 0, 180), R * math.pi),
])
def test_distance_cases(args, expected):
    assert geo.distance_between(*args) == pytest.approx(expected, rel=1e-14, abs=0.0)


@pytest.mark.parametrize("to, expected", [((1, 0), 0.0), ((0, 1), 90.0), ((-1, 0), 180.0), ((0, -1), 270.0),
                                          ((0, 0), 0.0)])
def test_bearing_cardinal(to, expected):
    assert geo.initial_bearing(0, 0, *to) == expected


def test_bearing_leaves_north_of_east():
    assert geo.initial_bearing(45, 0, 45, 10) == pytest.approx(86.46, abs=0.01)


def test_zero_distance_returns_inputs_unchanged():
    out = geo.destination_point(10, 200, 45, 0)
    assert out == (10, 200) and type(out[0]) is int
    marker = object()
    assert geo.destination_point(marker, "lon", None, -0.0)[0] is marker


@pytest.mark.parametrize("lat, lon, br, dist, exp_lat, exp_lon", [
    (0, 179, 90, 2 * ARC1, 0.0, -179.0),
    (0, 0, 0, -ARC1, -1.0, 0.0),
    (89.9, 0, 0, 50000.0, 89.65, -180.0),
])
def test_destination_cases(lat, lon, br, dist, exp_lat, exp_lon):
    la, lo = geo.destination_point(lat, lon, br, dist)
    assert la == pytest.approx(exp_lat, abs=0.01 if lat == 89.9 else 1e-9)
    assert lo == pytest.approx(exp_lon, abs=1e-9)
    assert -180.0 <= lo < 180.0


def test_there_and_back():
    la, lo = geo.destination_point(39.92, 32.85, 45.0, 30.0)
    assert geo.distance_between(39.92, 32.85, la, lo) == pytest.approx(30.0, abs=1e-8)
    assert geo.initial_bearing(39.92, 32.85, la, lo) == pytest.approx(45.0, abs=1e-8)


@pytest.mark.parametrize("args, expected", [((350, 15), 5.0), ((10, -15), 355.0), ((-90,), 270.0), ((725,), 5.0),
                                            ((-1e-15,), 360.0), ((-360.0,), 0.0), ((0.0, -0.0), 0.0)])
def test_true_bearing(args, expected):
    out = geo.true_bearing(*args)
    assert ref.same_float(out, expected)


@pytest.mark.parametrize("call, exc", [
    (lambda: geo.distance_between(130.45419583098644, 0, 49.545804169013564, 180), ValueError),  # h < 0 by rounding
    (lambda: geo.distance_between(math.inf, 0, 0, 0), ValueError),
    (lambda: geo.initial_bearing(0, 0, 0, math.inf), ValueError),
    (lambda: geo.destination_point(0, 0, math.inf, 10.0), ValueError),
    (lambda: geo.destination_point(0, 0, 0, math.inf), ValueError),
])
def test_math_errors(call, exc):
    with pytest.raises(exc, match="math domain error|expected"):
        call()


def test_destination_zero_radius_is_zero_division(monkeypatch):
    monkeypatch.setattr(geo, "EARTH_R_M", 0.0)
    with pytest.raises(ZeroDivisionError):
        geo.destination_point(0, 0, 0, 1.0)


def test_nan_and_clamp_paths_follow_the_plain_formulation():
    for args in [(math.nan, 0.0, 0.0, 1.0), (0.0, math.nan, 0.0, 1.0), (0.0, 0.0, math.nan, 1.0),
                 (90.0, 0.0, 0.0, 1e-9), (0.0, 0.0, 0.0, math.nan)]:
        assert ref.same_float(geo.destination_point(*args), ref.destination_point(*args))
    for args in [(math.nan, 0, 0, 0), (0, 0, 0, math.nan), (90, 0, -90, 0)]:
        assert ref.same_float(geo.distance_between(*args), ref.distance_between(*args))
        assert ref.same_float(geo.initial_bearing(*args), ref.initial_bearing(*args))
    assert ref.same_float(geo.true_bearing(math.inf), ref.true_bearing(math.inf))


def _random_point(rng):
    kind = rng.random()
    if kind < 0.6:
        return rng.uniform(-90, 90), rng.uniform(-180, 180)
    if kind < 0.8:
        return rng.uniform(-89.9999, -89.9) * rng.choice((-1, 1)), rng.uniform(-540, 540)
    return rng.choice((0.0, -0.0, 90.0, -90.0, 45.0)), rng.choice((0.0, 180.0, -180.0, 179.9999999))


def test_random_agreement_bit_for_bit():
    rng = random.Random(20260301)
    for _ in range(4000):
        la1, lo1 = _random_point(rng)
        la2, lo2 = _random_point(rng)
        br = rng.uniform(-720, 720)
        dist = rng.choice((rng.uniform(-1e3, 1e3), rng.uniform(0, 2.1e7), 10 ** rng.uniform(-9, 8)))
        assert ref.same_float(geo.destination_point(la1, lo1, br, dist), ref.destination_point(la1, lo1, br, dist))
        assert ref.same_float(geo.distance_between(la1, lo1, la2, lo2), ref.distance_between(la1, lo1, la2, lo2))
        assert ref.same_float(geo.initial_bearing(la1, lo1, la2, lo2), ref.initial_bearing(la1, lo1, la2, lo2))
        assert ref.same_float(geo.true_bearing(br, lo1), ref.true_bearing(br, lo1))
        near = (la1 + rng.uniform(-1e-7, 1e-7), lo1 + rng.uniform(-1e-7, 1e-7))
        assert ref.same_float(geo.distance_between(la1, lo1, *near), ref.distance_between(la1, lo1, *near))
        antipode = (-la1, lo1 + 180.0)
        assert ref.same_float(geo.distance_between(la1, lo1, *antipode), ref.distance_between(la1, lo1, *antipode))


def test_int_arguments_agree():
    rng = random.Random(7)
    for _ in range(300):
        a = [rng.randint(-90, 90), rng.randint(-180, 180), rng.randint(-90, 90), rng.randint(-180, 180)]
        assert ref.same_float(geo.distance_between(*a), ref.distance_between(*a))
        assert ref.same_float(geo.initial_bearing(*a), ref.initial_bearing(*a))
        assert ref.same_float(geo.destination_point(a[0], a[1], a[3], a[2] * 1000),
                              ref.destination_point(a[0], a[1], a[3], a[2] * 1000))
