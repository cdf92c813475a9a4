"""Hostile inputs for every function of visualization.geo: each call returns a
number, a pair, an integer or None, or raises one of the ordinary errors."""

import inspect

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from platform_gaps import needs_complex_arithmetic
from strategies import ALLOWED, FUZZ, call, junk, number
from visualization import geo

coords = number(-200.0, 200.0)
zooms = st.one_of(st.integers(-40, 40), st.sampled_from([2 ** 31, 2 ** 63, 2 ** 70, -(2 ** 70), 1100, -1100]),
                  number(-30.0, 30.0))
years = st.one_of(st.none(), number(2020.0, 2035.0), junk())


# A zoom so negative (or -inf) that 2**zoom underflows to 0.0 divides by zero,
# as the plain arithmetic does.
GEO_ALLOWED = ALLOWED + (ZeroDivisionError,)


def is_float_pair(v):
    return isinstance(v, tuple) and len(v) == 2 and all(isinstance(x, float) for x in v)


FUNCS = {
    "destination_point": (geo.destination_point, (coords, coords, coords, number(-1e8, 1e8)),
                          # distance 0 hands the start point back unchanged, whatever it is
                          lambda v: isinstance(v, tuple) and len(v) == 2),
    "distance_between": (geo.distance_between, (coords,) * 4, lambda v: isinstance(v, float)),
    "initial_bearing": (geo.initial_bearing, (coords,) * 4, lambda v: isinstance(v, float)),
    "true_bearing": (geo.true_bearing, (coords, coords), lambda v: isinstance(v, float)),
    "latlon_to_world_px": (geo.latlon_to_world_px, (coords, coords, zooms), is_float_pair),
    "world_px_to_latlon": (geo.world_px_to_latlon, (number(-1e4, 1e4), number(-1e4, 1e4), zooms), is_float_pair),
    "meters_per_pixel": (geo.meters_per_pixel, (coords, zooms), lambda v: isinstance(v, float)),
    "zoom_for_range": (geo.zoom_for_range, (coords, number(-1e9, 1e9), number(-1e4, 1e4), zooms),
                       lambda v: isinstance(v, int)),
    "target_uncertainty_m": (geo.target_uncertainty_m, (number(), number(), st.one_of(st.booleans(), junk())),
                             lambda v: isinstance(v, float)),
    "magnetic_declination": (geo.magnetic_declination, (coords, coords, years),
                             lambda v: v is None or isinstance(v, float)),
}


@pytest.mark.parametrize("name", sorted(FUNCS))
def test_geo_function(name):
    fn, args, valid = FUNCS[name]

    @FUZZ
    @given(st.tuples(*args), st.integers(0, len(args)))
    def run(values, n_positional):
        # Some arguments by position, the rest by keyword, sometimes one missing or extra.
        ok, res = call(fn, *values, allowed=GEO_ALLOWED)
        if ok:
            assert valid(res), res
        names = list(inspect.signature(fn).parameters)
        kw = dict(zip(names[n_positional:], values[n_positional:]))
        ok2, res2 = call(fn, *values[:n_positional], allowed=GEO_ALLOWED, **kw)
        assert ok2 == ok and (not ok or repr(res2) == repr(res) or fn is geo.magnetic_declination)

    run()


@needs_complex_arithmetic
@pytest.mark.parametrize("name", sorted(FUNCS))
def test_numpy_complex_junk(name):
    """A NumPy complex scalar in every place of every call (the fuzz tests draw it
    among their junk too, except where NumPy's complex arithmetic cannot run)."""
    fn, args, valid = FUNCS[name]
    for i in range(len(args)):
        values = [0.5] * len(args)
        values[i] = np.complex128(1j)
        ok, res = call(fn, *values, allowed=GEO_ALLOWED)
        assert not ok or valid(res), res


def test_geomag_twice():
    assert call(geo._geomag)[0] and call(geo._geomag)[0]


GEO_CONSTANTS = ["EARTH_R_M", "TILE_SIZE", "_MPP_EQUATOR", "SENSOR_HEIGHT_ASSUMED_M", "SENSOR_HEIGHT_TOL_M",
                 "BEARING_ERR_DEG", "TOF_ACCURACY_M", "TOF_REL_ERR", "_DECL_GRID", "_DECL_CACHE"]


@FUZZ
@given(st.sampled_from(GEO_CONSTANTS), st.one_of(number(-10.0, 10.0), st.integers(-(2 ** 70), 2 ** 70)),
       st.sampled_from(sorted(FUNCS)), st.data())
def test_hostile_module_constants(name, value, fname, data):
    """Constants are read at call time; whatever the host assigns gives a result or an ordinary error."""
    fn, args, _ = FUNCS[fname]
    values = data.draw(st.tuples(*args))
    saved = getattr(geo, name)
    setattr(geo, name, value)
    try:
        call(fn, *values, allowed=GEO_ALLOWED)  # a zero constant divides like the plain arithmetic
    finally:
        setattr(geo, name, saved)
