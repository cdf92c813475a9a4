"""project_targets: every element bit for bit the chain of scalar calls, the same
errors as that chain (naming the first failing target), array-like handling."""
import math
import random

import numpy as np
import pytest

import reference_geo as ref
from visualization import geo


def chain(lat, lon, bearing, rng, zoom, decl=0.0, gps=2.5, measured=False):
    """One target through the scalar functions, as a host loop would call them."""
    tb = geo.true_bearing(bearing, decl)
    tlat, tlon = geo.destination_point(lat, lon, tb, rng)
    x, y = geo.latlon_to_world_px(tlat, tlon, zoom)
    radius = geo.target_uncertainty_m(rng, gps, measured) / geo.meters_per_pixel(tlat, zoom)
    return (float(tlat), float(tlon), x, y, radius)


def assert_matches_chain(out, lat, lon, bearings, ranges, zoom, decl=0.0, gps=2.5, measured=False):
    b = np.asarray(bearings, dtype=np.float64).ravel()
    r = np.asarray(ranges, dtype=np.float64).ravel()
    flags = np.broadcast_to(np.asarray(measured, dtype=bool).ravel(), b.shape)
    assert len(out) == 5
    for col in out:
        assert type(col) is np.ndarray and col.dtype == np.float64 and col.shape == b.shape
    for i in range(len(b)):
        expected = chain(lat, lon, float(b[i]), float(r[i]), zoom, decl, gps, bool(flags[i]))
        got = tuple(float(col[i]) for col in out)
        assert ref.same_float(got, expected), (i, got, expected)


def random_targets(rng, n):
    bearings = [rng.choice((rng.uniform(-1000, 1000), rng.uniform(0, 360), 360.0, -1e-15, math.nan))
                for _ in range(n)]
    ranges = [rng.choice((rng.uniform(0, 40), rng.uniform(-40, 0), 0.0, -0.0, 10 ** rng.uniform(-3, 6), math.nan))
              for _ in range(n)]
    return bearings, ranges


ORIGINS = [(39.92, 32.85), (89.9999, 10.0), (-89.99999, -170.0), (90.0, 0.0), (-90.0, 179.9), (0.0, 180.0),
           (85.06, -180.0)]


@pytest.mark.parametrize("zoom", [0, 1, 18, 22])
@pytest.mark.parametrize("origin", ORIGINS)
def test_random_targets_match_the_scalar_chain(origin, zoom):
    rng = random.Random(hash((origin, zoom)) & 0xFFFF)
    bearings, ranges = random_targets(rng, 60)
    decl = rng.uniform(-20, 20)
    gps = rng.choice((2.5, 0.0, -1.0, 7.3, math.nan))
    measured = [rng.random() < 0.5 for _ in ranges]
    out = geo.project_targets(*origin, bearings, ranges, zoom, decl, gps, measured)
    assert_matches_chain(out, *origin, bearings, ranges, zoom, decl, gps, measured)


@pytest.mark.parametrize("measured", [False, True, 1, 0.0, "yes", None, np.True_, np.array(False)])
def test_one_truth_value_for_all_targets(measured):
    bearings, ranges = [10.0, 200.0, -50.0], [30.0, 3.0, 0.5]
    out = geo.project_targets(39.92, 32.85, bearings, ranges, 19, range_measured=measured)
    assert_matches_chain(out, 39.92, 32.85, bearings, ranges, 19, measured=bool(measured))


def test_flags_per_target_and_scalar_agree():
    bearings, ranges = np.linspace(0, 720, 7), np.linspace(-10, 50, 7)
    each = geo.project_targets(41.0, 29.0, bearings, ranges, 20, range_measured=[True] * 7)
    once = geo.project_targets(41.0, 29.0, bearings, ranges, 20, range_measured=True)
    geometric = geo.project_targets(41.0, 29.0, bearings, ranges, 20)
    assert all(np.array_equal(a, b) for a, b in zip(each, once))
    assert not np.array_equal(each[4], geometric[4])
    mixed = [True, False, True, True, False, False, True]
    out = geo.project_targets(41.0, 29.0, bearings, ranges, 20, range_measured=np.array(mixed).reshape(7, 1))
    assert_matches_chain(out, 41.0, 29.0, bearings, ranges, 20, measured=mixed)


def test_array_likes_are_read_flattened_as_float64():
    bearings = np.arange(12, dtype=np.int32).reshape(3, 4) * 31
    ranges = np.asfortranarray(np.linspace(1, 24, 12).reshape(3, 4))
    out = geo.project_targets(39.92, 32.85, bearings, ranges, 18)
    assert_matches_chain(out, 39.92, 32.85, bearings, ranges, 18)
    strided = np.linspace(0, 40, 24)[::2]
    out = geo.project_targets(39.92, 32.85, strided, tuple(strided), 18)
    assert_matches_chain(out, 39.92, 32.85, strided, strided, 18)


def test_empty_input_gives_empty_arrays():
    out = geo.project_targets(0.0, 0.0, [], np.empty((0, 3)), 5)
    assert [c.shape for c in out] == [(0,)] * 5 and all(c.dtype == np.float64 for c in out)


def test_arguments_stay_the_callers():
    bearings, ranges = np.array([10.0, 20.0]), np.array([5.0, 6.0])
    out = geo.project_targets(39.92, 32.85, bearings, ranges, 18)
    assert bearings.tolist() == [10.0, 20.0] and ranges.tolist() == [5.0, 6.0]
    assert not any(np.shares_memory(c, bearings) or np.shares_memory(c, ranges) for c in out)
    assert all(c.flags.writeable and c.flags.owndata for c in out)


def test_keywords_and_defaults():
    a = geo.project_targets(zoom=18, ranges_m=[30.0], bearings_deg=[45.0], lon=32.85, lat=39.92,
                            range_measured=True, gps_accuracy_m=2.5, declination_deg=0.0)
    b = geo.project_targets(39.92, 32.85, [45.0], [30.0], 18, 0.0, 2.5, True)
    assert all(np.array_equal(x, y) for x, y in zip(a, b))


@pytest.fixture
def restore_constants():
    # The namespace comes back whole and in its load order.
    saved = dict(vars(geo))
    yield
    namespace = vars(geo)
    namespace.clear()
    namespace.update(saved)


@pytest.mark.parametrize("name, value", [
    ("EARTH_R_M", 6378137.0), ("TILE_SIZE", 512), ("TILE_SIZE", 256.0), ("_MPP_EQUATOR", 100.0),
    ("SENSOR_HEIGHT_ASSUMED_M", 1.5), ("SENSOR_HEIGHT_TOL_M", 0.1), ("BEARING_ERR_DEG", 1.0),
    ("TOF_ACCURACY_M", 0.5), ("TOF_REL_ERR", 0.1), ("GPS_BASE_CEP_M", 9.0),
])
def test_constants_read_at_call_time(restore_constants, name, value):
    setattr(geo, name, value)
    bearings, ranges, measured = [0.0, 90.0, 300.0], [2.0, 30.0, 80.0], [True, False, True]
    out = geo.project_targets(39.92, 32.85, bearings, ranges, 17, range_measured=measured)
    assert_matches_chain(out, 39.92, 32.85, bearings, ranges, 17, measured=measured)


def chain_error(lat, lon, bearings, ranges, zoom, **kw):
    """(type, index) of the first error the scalar chain raises over the targets."""
    flags = np.broadcast_to(np.asarray(kw.get("range_measured", False), dtype=bool), (len(bearings),))
    for i, (b, r) in enumerate(zip(bearings, ranges)):
        try:
            chain(lat, lon, b, r, zoom, kw.get("declination_deg", 0.0), kw.get("gps_accuracy_m", 2.5), bool(flags[i]))
        except Exception as e:
            return type(e), i
    return None


@pytest.mark.parametrize("lat, lon, bearings, ranges, zoom, kw, consts", [
    (39.9, 32.8, [1.0, 2.0, 3.0], [5.0, 6.0, math.inf], 18, {}, {}),                 # sin(inf)
    (39.9, 32.8, [1.0, 2.0], [-math.inf, 1.0], 18, {}, {}),
    (39.9, 32.8, [1.0, 2.0, 3.0], [5.0, 1e300, 1e300], 18, {}, {}),                  # square overflows
    (39.9, 32.8, [1.0, 2.0], [5.0, 1e200], 18, {"range_measured": [False, True]}, {}),
    (math.inf, 32.8, [1.0, 2.0], [0.0, 3.0], 18, {}, {}),                            # origin kept, then cos(inf)
    (39.9, 32.8, [1.0, 2.0], [0.0, 3.0], 18, {}, {"EARTH_R_M": 0.0}),               # zero division
    (39.9, 32.8, [1.0], [3.0], 18, {}, {"_MPP_EQUATOR": 0.0}),                      # radius / 0
    (39.9, 32.8, [1.0, 2.0], [0.0, 3.0], 18, {}, {"SENSOR_HEIGHT_ASSUMED_M": 0.0}),
    (39.9, 32.8, [1.0, 2.0], [1.0, 3.0], 18, {}, {"BEARING_ERR_DEG": math.inf}),
    (39.9, 32.8, [1.0, 2.0], [1.0, 3.0], 1020, {}, {}),                             # world edge too large
    (39.9, 32.8, [1.0, 2.0], [1.0, 3.0], 1014, {}, {"TILE_SIZE": 1}),               # 2**zoom fits, n fits
    (39.9, 32.8, [1.0, 2.0], [1.0, 3.0], 1024, {}, {"TILE_SIZE": 0}),               # n = 0, 2**zoom too large
    (39.9, 32.8, [1.0, 2.0], [1.0, 3.0], -math.inf, {}, {}),                        # 2**zoom = 0
])
def test_errors_are_the_scalar_chains(restore_constants, lat, lon, bearings, ranges, zoom, kw, consts):
    for name, value in consts.items():
        setattr(geo, name, value)
    expected = chain_error(lat, lon, bearings, ranges, zoom, **kw)
    if expected is None:
        out = geo.project_targets(lat, lon, bearings, ranges, zoom, **kw)
        assert_matches_chain(out, lat, lon, bearings, ranges, zoom, measured=kw.get("range_measured", False))
        return
    kind, index = expected
    with pytest.raises(Exception) as err:
        geo.project_targets(lat, lon, bearings, ranges, zoom, **kw)
    assert type(err.value) is kind
    assert str(err.value).startswith(f"target {index}: ")


@pytest.mark.parametrize("args, kwargs, kind", [
    ((0.0, 0.0, [1.0, 2.0], [1.0], 5), {}, ValueError),
    ((0.0, 0.0, [[1.0, 2.0]], [1.0, 2.0, 3.0], 5), {}, ValueError),
    ((0.0, 0.0, [1.0, 2.0], [1.0, 2.0], 5), {"range_measured": [True]}, ValueError),
    ((0.0, 0.0, [1.0, 2.0], [1.0, 2.0], 5), {"range_measured": [True, False, True]}, ValueError),
    ((0.0, 0.0, [1.0, 2.0], [1.0, 2.0], 5), {"range_measured": [[True, False]] * 2}, ValueError),
    ((0.0, 0.0, [1.0], [1.0], "5"), {}, TypeError),
    (("0", 0.0, [1.0], [1.0], 5), {}, TypeError),
    ((0.0, 0.0, [1.0], [1.0], 5), {"declination_deg": None}, TypeError),
    ((0.0, 0.0, ["x"], [1.0], 5), {}, ValueError),
    ((0.0, 0.0, [1.0], [1.0]), {}, TypeError),
    ((0.0, 0.0, [1.0], [1.0], 5), {"zoom_level": 5}, TypeError),
])
def test_bad_arguments(args, kwargs, kind):
    with pytest.raises(kind):
        geo.project_targets(*args, **kwargs)


def test_missing_constant_is_name_error(restore_constants):
    del geo._MPP_EQUATOR
    with pytest.raises(NameError, match="_MPP_EQUATOR"):
        geo.project_targets(0.0, 0.0, [1.0], [1.0], 5)


def test_numpy_is_imported_at_the_first_call_not_at_load():
    import subprocess
    import sys
    code = ("import sys, visualization.geo as g; loaded = 'numpy' in sys.modules; "
            "g.project_targets(0.0, 0.0, [1.0], [2.0], 3); print(loaded, 'numpy' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    assert out == ["False", "True"]
