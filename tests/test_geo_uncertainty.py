"""Target uncertainty radius: documented cases and agreement with the plain formulation."""
import math
import random

import pytest

import reference_geo as ref
from visualization import geo

TAN3 = math.tan(math.radians(3.0))


@pytest.mark.parametrize("args, expected", [
    ((30,), 8.06), ((30, 2.5, True), 2.97), ((100, 2.5, True), 5.89), ((100,), 25.7),
    ((-30,), 8.06), ((30, -5), 7.66), ((30, 0.0), 7.66), ((30, 5.0, True), 5.25),
])
def test_documented_values(args, expected):
    assert geo.target_uncertainty_m(*args) == pytest.approx(expected, rel=5e-3)


def test_exact_values():
    assert geo.target_uncertainty_m(0) == 2.5
    assert geo.target_uncertainty_m(0, range_measured=True) == math.sqrt(0.03 ** 2 + 2.5 ** 2)
    # At 3 m the floor and the 1 % term meet.
    assert geo.target_uncertainty_m(3.0, 0.0, True) == math.sqrt(0.03 ** 2 + (3.0 * TAN3) ** 2)
    assert geo.target_uncertainty_m(30, math.nan) == geo.target_uncertainty_m(30, 0.0)
    assert math.isnan(geo.target_uncertainty_m(math.nan))


def test_truthiness_of_range_measured():
    assert geo.target_uncertainty_m(30, 2.5, "yes") == geo.target_uncertainty_m(30, 2.5, True)
    assert geo.target_uncertainty_m(30, 2.5, []) == geo.target_uncertainty_m(30, 2.5, False)


def test_overflowing_square_raises():
    with pytest.raises(OverflowError):
        geo.target_uncertainty_m(1e300)
    with pytest.raises(OverflowError):
        geo.target_uncertainty_m(1.0, 1e200)
    assert geo.target_uncertainty_m(math.inf) == math.inf


def test_random_agreement_bit_for_bit():
    rng = random.Random(20260304)
    for _ in range(3000):
        r = rng.choice((rng.uniform(-200, 200), 10 ** rng.uniform(-6, 6), 3.0, 0.0, -0.0))
        g = rng.choice((rng.uniform(-3, 15), 2.5, 0, -1, 7))
        measured = rng.random() < 0.5
        assert ref.same_float(geo.target_uncertainty_m(r, g, measured), ref.target_uncertainty_m(r, g, measured))
