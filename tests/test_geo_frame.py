"""Module frame of visualization.geo: names in load order, constants, signatures,
argument binding and call-time reading of module constants."""
import inspect
import math
import typing

import pytest

import reference_geo as ref
from visualization import geo

FRAME = [
    "math", "Optional", "Tuple",
    "EARTH_R_M", "TILE_SIZE", "_MPP_EQUATOR", "SENSOR_HEIGHT_ASSUMED_M", "SENSOR_HEIGHT_TOL_M",
    "BEARING_ERR_DEG", "GPS_BASE_CEP_M", "TOF_ACCURACY_M", "TOF_REL_ERR",
    "destination_point", "distance_between", "initial_bearing", "true_bearing",
    "_GEOMAG", "_GEOMAG_TRIED", "_DECL_CACHE", "_DECL_GRID", "_geomag", "magnetic_declination",
    "target_uncertainty_m",
    "latlon_to_world_px", "world_px_to_latlon", "meters_per_pixel", "zoom_for_range",
    "project_targets",
]


def test_names_bound_in_load_order():
    names = [n for n in vars(geo) if not n.startswith("__")]
    assert names == FRAME
    assert geo.math is math and geo.Optional is typing.Optional and geo.Tuple is typing.Tuple


@pytest.mark.parametrize("name, value, kind", [
    ("EARTH_R_M", 6371008.8, float), ("TILE_SIZE", 256, int), ("_MPP_EQUATOR", 156543.033928041, float),
    ("SENSOR_HEIGHT_ASSUMED_M", 2.0, float), ("SENSOR_HEIGHT_TOL_M", 0.5, float), ("BEARING_ERR_DEG", 3.0, float),
    ("GPS_BASE_CEP_M", 2.5, float), ("TOF_ACCURACY_M", 0.03, float), ("TOF_REL_ERR", 0.01, float),
    ("_DECL_GRID", 0.05, float),
])
def test_constants(name, value, kind):
    assert type(getattr(geo, name)) is kind and getattr(geo, name) == value


def test_initial_declination_state():
    import subprocess, sys
    code = ("import visualization.geo as g; "
            "print(g._GEOMAG is None, g._GEOMAG_TRIED is False, type(g._DECL_CACHE) is dict and not g._DECL_CACHE, "
            "'pygeomag' in __import__('sys').modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    assert out[:3] == ["True", "True", "True"]
    assert out[3] == "False"  # the model is not imported at load


FUNCTIONS = ["destination_point", "distance_between", "initial_bearing", "true_bearing", "magnetic_declination",
             "target_uncertainty_m", "latlon_to_world_px", "world_px_to_latlon", "meters_per_pixel",
             "zoom_for_range", "_geomag"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signatures_match_plain_formulation(name):
    ours = inspect.signature(getattr(geo, name))
    theirs = inspect.signature(getattr(ref, name)).replace(return_annotation=inspect.Signature.empty)
    theirs = theirs.replace(parameters=[p.replace(annotation=inspect.Parameter.empty) for p in theirs.parameters.values()])
    assert ours == theirs


@pytest.mark.parametrize("name, args, kwargs", [
    ("true_bearing", (1.0, 2.0, 3.0), {}),
    ("true_bearing", (), {}),
    ("true_bearing", (1.0,), {"declination": 2.0}),
    ("true_bearing", (1.0,), {"magnetic_bearing_deg": 2.0}),
    ("destination_point", (1.0, 2.0), {}),
    ("destination_point", (1.0,), {}),
    ("distance_between", (1.0, 2.0, 3.0, 4.0, 5.0), {}),
    ("meters_per_pixel", (1.0,), {"zoom": 1, "lat": 2}),
    ("zoom_for_range", (), {"px": 1}),
    ("target_uncertainty_m", (1.0, 2.0, False, 4), {}),
    ("_geomag", (1,), {}),
    ("_geomag", (), {"x": 1}),
])
def test_binding_errors_match_python(name, args, kwargs):
    with pytest.raises(TypeError) as theirs:
        getattr(ref, name)(*args, **kwargs)
    with pytest.raises(TypeError) as ours:
        getattr(geo, name)(*args, **kwargs)
    assert str(ours.value) == str(theirs.value)


def test_keywords_in_any_order():
    a = geo.destination_point(distance_m=30.0, bearing_deg=45.0, lon_deg=32.0, lat_deg=39.0)
    assert a == geo.destination_point(39.0, 32.0, 45.0, 30.0)
    assert geo.zoom_for_range(0, 100, px=400, max_zoom=19) == 18
    assert geo.target_uncertainty_m(30, range_measured=True) == geo.target_uncertainty_m(30, 2.5, True)


@pytest.mark.parametrize("call", [
    lambda: geo.distance_between("0", 0, 0, 0),
    lambda: geo.initial_bearing(0, None, 0, 0),
    lambda: geo.true_bearing([1.0]),
    lambda: geo.destination_point(0, 0, 0, "30"),
    lambda: geo.latlon_to_world_px(0, 0, "1"),
    lambda: geo.meters_per_pixel(b"0", 1),
    lambda: geo.target_uncertainty_m("3"),
    lambda: geo.zoom_for_range("x", 1, 1),
])
def test_non_numbers_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


class Real:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Index:
    def __index__(self):
        return 7


def test_real_number_protocols_accepted():
    assert geo.true_bearing(Real(350.0), Index()) == 357.0
    assert geo.true_bearing(True) == 1.0
    assert geo.distance_between(0, 0, Real(0.0), 1) == geo.distance_between(0.0, 0.0, 0.0, 1.0)


def test_int_too_large_for_float():
    with pytest.raises(OverflowError):
        geo.true_bearing(10 ** 400)
    with pytest.raises(OverflowError):
        geo.initial_bearing(0, 0, 0, -10 ** 400)


@pytest.fixture
def restore_constants():
    saved = {n: getattr(geo, n) for n in FRAME[3:12]}
    yield
    for n, v in saved.items():
        setattr(geo, n, v)


def test_constants_read_at_call_time(restore_constants):
    geo.EARTH_R_M = 1.0
    assert geo.distance_between(0, 0, 0, 90) == pytest.approx(math.pi / 2, rel=1e-15)
    assert geo.destination_point(0, 0, 90, math.pi / 2) == pytest.approx((0.0, 90.0), abs=1e-12)
    geo.TILE_SIZE = 512
    assert geo.latlon_to_world_px(0, 0, 0) == (256.0, 256.0)
    assert geo.world_px_to_latlon(512, 256, 0) == (0.0, 180.0)
    geo.TILE_SIZE = 256.0
    assert geo.latlon_to_world_px(0, 0, 1) == (256.0, 256.0)
    geo._MPP_EQUATOR = 100.0
    assert geo.meters_per_pixel(0, 2) == 25.0
    assert geo.zoom_for_range(0, 25.0, 2) == 2
    geo.BEARING_ERR_DEG = 0.0
    geo.SENSOR_HEIGHT_TOL_M = 1.0
    assert geo.target_uncertainty_m(8.0, 0.0) == 4.0
    geo.TOF_ACCURACY_M = 3.0
    assert geo.target_uncertainty_m(8.0, 4.0, True) == 5.0
    geo.TOF_REL_ERR = 0.5
    assert geo.target_uncertainty_m(8.0, 0.0, True) == 4.0


def test_gps_default_fixed_at_load(restore_constants):
    geo.GPS_BASE_CEP_M = 100.0
    assert geo.target_uncertainty_m(0.0) == 2.5


def test_missing_constant_is_name_error(restore_constants, monkeypatch):
    monkeypatch.delattr(geo, "EARTH_R_M")
    with pytest.raises(NameError, match="EARTH_R_M"):
        geo.distance_between(0, 0, 0, 1)
