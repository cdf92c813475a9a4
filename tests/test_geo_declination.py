"""Magnetic declination: the lazily created model, the bounded cache and its key,
the default date, absence of the optional package, serialised model evaluation,
and values from the real model."""
import builtins
import datetime as dt_module
import math
import random
import sys
import threading
import time as time_module
import types

import pytest

from visualization import geo


@pytest.fixture(autouse=True)
def restore_state():
    names = ("_GEOMAG", "_GEOMAG_TRIED", "_DECL_CACHE", "_DECL_GRID", "_geomag")
    saved = {n: getattr(geo, n) for n in names}
    cache_items = dict(geo._DECL_CACHE)
    yield
    for n, v in saved.items():
        setattr(geo, n, v)
    geo._DECL_CACHE.clear()
    geo._DECL_CACHE.update(cache_items)


class Result:
    def __init__(self, d):
        self.d = d


class StandIn:
    """Model stand-in: east declination = glat + glon / 1000, out of life from 2030."""

    def __init__(self):
        self.calls = []

    def calculate(self, glat, glon, alt, time):
        self.calls.append((glat, glon, alt, time))
        if time >= 2030:
            raise ValueError("Time extends beyond model 5-year life span")
        return Result(glat + glon / 1000.0)


@pytest.fixture
def model():
    m = StandIn()
    geo._GEOMAG, geo._GEOMAG_TRIED, geo._DECL_CACHE = m, True, {}
    return m


def test_calls_model_with_exact_position_and_date(model):
    assert geo.magnetic_declination(39, 32.8512, 2026) == 39 + 32.8512 / 1000
    (call,) = model.calls
    assert call == (39.0, 32.8512, 0, 2026.0)
    assert [type(v) for v in call] == [float, float, int, float]
    assert list(geo._DECL_CACHE) == [(780, 657, 2026)]


def test_out_of_life_is_cached_none(model):
    assert geo.magnetic_declination(1.0, 2.0, 2031.0) is None
    assert geo.magnetic_declination(1.01, 2.01, 2031.0) is None
    assert len(model.calls) == 1 and geo._DECL_CACHE == {(20, 40, 2031.0): None}


def test_cell_keeps_first_value(model):
    first = geo.magnetic_declination(10.0, 20.0, 2026.0)
    assert geo.magnetic_declination(10.02, 20.02, 2026.004) == first
    assert len(model.calls) == 1


@pytest.mark.parametrize("lat, cell", [(0.025, 0), (0.125, 2), (-0.025, 0), (39.9, 798), (-39.9, -798),
                                       (0.0749999, 1), (0.075, round(0.075 / 0.05)), (1e300, round(1e300 / 0.05))])
def test_cell_rounding_ties_to_even(model, lat, cell):
    geo.magnetic_declination(lat, 0.0, 2026.0)
    (key,) = geo._DECL_CACHE
    assert key[0] == cell and type(key[0]) is int


@pytest.mark.parametrize("year, key_year", [(2026 + 1 / 8, 2026.12), (2026 + 3 / 8, 2026.38), (2026.0, 2026.0),
                                            (2026, 2026), (2024 + 365 / 365.25, 2025.0), (2026.005, 2026.01)])
def test_year_rounding(model, year, key_year):
    geo.magnetic_declination(0.0, 0.0, year)
    (key,) = geo._DECL_CACHE
    assert key[2] == key_year and type(key[2]) is type(round(year, 2))


def test_int_and_float_year_share_a_key(model):
    geo.magnetic_declination(0.0, 0.0, 2026)
    geo.magnetic_declination(0.0, 0.0, 2026.0)
    assert len(model.calls) == 1


def _years(rng):
    for _ in range(3000):
        yield rng.uniform(-3000, 3000)
        yield rng.randint(-10 ** 6, 10 ** 6) / 8          # exact halves of hundredths
        k = rng.randint(-10 ** 7, 10 ** 7)
        yield math.nextafter((k + 0.5) / 100, math.inf)   # just around a tie
        yield math.nextafter((k + 0.5) / 100, -math.inf)
        yield rng.uniform(-1, 1) * 10 ** rng.uniform(-310, 20)
    yield from (2.0 ** 46, math.nextafter(2.0 ** 46, 0), 2.0 ** 46 + 0.125, -0.0, 0.0, 5e-324, 0.005, -0.005,
                0.015, 1.7976931348623157e308, -2.5e-3, 1e15 + 0.005)


def test_year_key_matches_builtin_round(model):
    rng = random.Random(99)
    for y in _years(rng):
        geo._DECL_CACHE.clear()
        geo.magnetic_declination(0.0, 0.0, y)
        (key,) = geo._DECL_CACHE
        expected = round(y, 2)
        assert key[2] == expected and math.copysign(1, key[2]) == math.copysign(1, expected), y


def test_year_of_other_types_uses_their_round(model):
    class Year(float):
        def __round__(self, n=None):
            return "custom"

    geo.magnetic_declination(0.0, 0.0, Year(2026.0))
    assert list(geo._DECL_CACHE) == [(0, 0, "custom")]


def test_eviction_empties_whole_cache(model):
    for i in range(513):
        geo.magnetic_declination(i * 0.05, 0.0, 2026.0)
    assert len(geo._DECL_CACHE) == 513
    geo.magnetic_declination(-1.0, 0.0, 2026.0)
    assert geo._DECL_CACHE == {(-20, 0, 2026.0): -1.0}


@pytest.mark.parametrize("lat, lon, exc", [(math.nan, 0.0, ValueError), (0.0, math.inf, OverflowError),
                                           (-math.inf, 0.0, OverflowError), ("1", 0.0, TypeError)])
def test_bad_positions_raise_and_leave_cache(model, lat, lon, exc):
    geo._DECL_CACHE[(1, 2, 2026.0)] = 3.0
    with pytest.raises(exc):
        geo.magnetic_declination(lat, lon, 2026.0)
    assert geo._DECL_CACHE == {(1, 2, 2026.0): 3.0} and not model.calls


def test_grid_read_at_call_time(model):
    geo._DECL_GRID = 1.0
    geo.magnetic_declination(10.4, 20.6, 2026.0)
    assert list(geo._DECL_CACHE) == [(10, 21, 2026.0)]


@pytest.mark.parametrize("now, decimal_year, key_year", [
    (dt_module.datetime(2026, 1, 1, 23, 59), 2026.0, 2026.0),
    (dt_module.datetime(2026, 7, 2, 12, 0), 2026 + 182 / 365.25, 2026.5),
    (dt_module.datetime(2024, 12, 31, 0, 1), 2024 + 365 / 365.25, 2025.0),
])
def test_default_date(model, monkeypatch, now, decimal_year, key_year):
    seen = []

    class Fake(dt_module.datetime):
        @classmethod
        def now(cls, tz=None):
            seen.append(tz)
            return now.replace(tzinfo=tz)

    monkeypatch.setattr(dt_module, "datetime", Fake)
    geo.magnetic_declination(0.0, 0.0)
    assert seen == [dt_module.timezone.utc]
    assert model.calls[0][3] == decimal_year
    assert list(geo._DECL_CACHE)[0][2] == key_year


def test_model_errors_of_every_ordinary_kind_give_none(model):
    class Odd:
        def calculate(self, **kw):
            return Result("not a number")

    geo._GEOMAG = Odd()
    assert geo.magnetic_declination(0.0, 0.0, 2026.0) is None
    geo._GEOMAG = object()  # no calculate at all
    assert geo.magnetic_declination(5.0, 0.0, 2026.0) is None
    assert list(geo._DECL_CACHE.values()) == [None, None]


def test_interrupt_from_model_propagates(model):
    class Interrupting:
        def calculate(self, **kw):
            raise KeyboardInterrupt

    geo._GEOMAG = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        geo.magnetic_declination(0.0, 0.0, 2026.0)
    assert geo._DECL_CACHE == {}


def test_host_replacement_of_geomag_is_used(model, monkeypatch):
    other = StandIn()
    monkeypatch.setattr(geo, "_geomag", lambda: other)
    geo.magnetic_declination(1.0, 1.0, 2026.0)
    assert len(other.calls) == 1 and not model.calls


# -- the optional package ----------------------------------------------------

@pytest.fixture
def untried():
    geo._GEOMAG, geo._GEOMAG_TRIED, geo._DECL_CACHE = None, False, {}


@pytest.fixture
def import_log(monkeypatch):
    log = []
    real = builtins.__import__

    def counting(name, *args, **kwargs):
        if name == "pygeomag":
            log.append(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", counting)
    return log


def test_without_package(untried, monkeypatch, import_log):
    monkeypatch.setitem(sys.modules, "pygeomag", None)
    for lat in (1.0, 2.0, math.nan):
        assert geo.magnetic_declination(lat, 0.0, 2026.0) is None
    assert geo._geomag() is None
    assert import_log == ["pygeomag"] and geo._GEOMAG_TRIED is True and geo._DECL_CACHE == {}


def test_host_module_in_sys_modules_is_used(untried, monkeypatch):
    fake = types.ModuleType("pygeomag")
    fake.GeoMag = StandIn
    monkeypatch.setitem(sys.modules, "pygeomag", fake)
    gm = geo._geomag()
    assert isinstance(gm, StandIn) and geo._GEOMAG is gm and geo._geomag() is gm


@pytest.mark.parametrize("error, propagates", [(RuntimeError, False), (ImportError, False),
                                               (KeyboardInterrupt, True), (SystemExit, True)])
def test_creation_failure(untried, monkeypatch, error, propagates):
    fake = types.ModuleType("pygeomag")

    def broken():
        assert geo._GEOMAG_TRIED is True  # marked before the attempt
        raise error

    fake.GeoMag = broken
    monkeypatch.setitem(sys.modules, "pygeomag", fake)
    if propagates:
        with pytest.raises(error):
            geo._geomag()
    else:
        assert geo._geomag() is None
    fake.GeoMag = StandIn  # never retried
    assert geo._geomag() is None and geo._GEOMAG_TRIED is True


# -- serialised evaluation ----------------------------------------------------

class Racy:
    """Keeps its working value in shared scratch state, as the real model does."""

    def __init__(self):
        self.scratch = None
        self.active = 0
        self.most_active = 0

    def calculate(self, glat, glon, alt, time):
        self.active += 1
        self.most_active = max(self.most_active, self.active)
        self.scratch = glat
        time_module.sleep(0.0005)  # lets other threads run
        value = self.scratch
        self.active -= 1
        return Result(value)


def test_concurrent_callers_are_serialised():
    racy = Racy()
    geo._GEOMAG, geo._GEOMAG_TRIED, geo._DECL_CACHE = racy, True, {}
    wrong = []

    def worker(base):
        for i in range(25):
            lat = base + i * 0.1
            if geo.magnetic_declination(lat, 0.0, 2026.0) != lat:
                wrong.append(lat)

    threads = [threading.Thread(target=worker, args=(t * 10.0,)) for t in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert racy.most_active == 1 and not wrong and len(geo._DECL_CACHE) == 150


# -- the real model ------------------------------------------------------------

pygeomag = pytest.importorskip("pygeomag")


@pytest.fixture
def real(untried):
    return pygeomag.GeoMag()


@pytest.mark.parametrize("lat, lon, year, lo, hi", [
    (39.92, 32.85, 2026.0, 5.0, 7.5),     # Ankara: east
    (40.71, -74.01, 2027.5, -14.0, -11.0),  # New York: west
    (-33.87, 151.21, 2025.2, 11.0, 14.0),   # Sydney: east
    (64.15, -21.94, 2029.9, -15.0, -8.0),   # Reykjavik: west
])
def test_real_model_values(real, lat, lon, year, lo, hi):
    own = real.calculate(glat=lat, glon=lon, alt=0, time=year).d
    got = geo.magnetic_declination(lat, lon, year)
    assert got == own and lo < got < hi
    assert isinstance(geo._GEOMAG, pygeomag.GeoMag)


def test_real_model_out_of_life(real):
    assert geo.magnetic_declination(39.92, 32.85, 2031.0) is None
    assert geo.magnetic_declination(39.92, 32.85) is not None  # today, inside the model's life


def test_real_model_concurrent_callers(real, monkeypatch):
    """Four threads race the first, model-creating call. A call that finds the model
    still being created gets None (creation is tried once and never waited for);
    every call that starts once the model exists gets its declination."""
    monkeypatch.setattr(sys, "getswitchinterval", sys.getswitchinterval)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    rng = random.Random(5)
    points = [(rng.uniform(-80, 80), rng.uniform(-180, 180), rng.uniform(2025, 2030)) for _ in range(200)]
    expected = {p: real.calculate(glat=p[0], glon=p[1], alt=0, time=p[2]).d for p in points}
    got, during_creation = {}, set()

    def worker(chunk):
        for p in chunk:
            created = geo._GEOMAG is not None
            got[p] = geo.magnetic_declination(*p)
            if not created:
                during_creation.add(p)

    try:
        threads = [threading.Thread(target=worker, args=(points[i::4],)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert isinstance(geo._GEOMAG, pygeomag.GeoMag)
    assert set(got) == set(points)
    for p, v in got.items():
        assert v == expected[p] or (v is None and p in during_creation), p
    # A None was not cached: asked again, every point gets its declination.
    assert {p: geo.magnetic_declination(*p) for p in points} == expected
