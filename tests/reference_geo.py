"""Plain-Python formulations of visualization.geo, written with `math` in the
same order of evaluation. The tests compare the compiled module with them bit
for bit (both end in the same libm), and bench/bench_geo.py times them.

The constants and the declination state are this module's own globals, so the
functions behave like the compiled ones with their default constants.
"""
import math
from typing import Optional, Tuple

EARTH_R_M = 6371008.8
TILE_SIZE = 256
_MPP_EQUATOR = 156543.033928041
SENSOR_HEIGHT_ASSUMED_M = 2.0
SENSOR_HEIGHT_TOL_M = 0.5
BEARING_ERR_DEG = 3.0
GPS_BASE_CEP_M = 2.5
TOF_ACCURACY_M = 0.03
TOF_REL_ERR = 0.01


def destination_point(lat_deg: float, lon_deg: float, bearing_deg: float, distance_m: float) -> Tuple[float, float]:
    if distance_m == 0:
        return (lat_deg, lon_deg)
    d = distance_m / EARTH_R_M
    br = math.radians(bearing_deg)
    lat1 = math.radians(lat_deg)
    lon1 = math.radians(lon_deg)
    sin_lat1 = math.sin(lat1)
    cos_lat1 = math.cos(lat1)
    sin_d = math.sin(d)
    cos_d = math.cos(d)
    sin_lat2 = sin_lat1 * cos_d + cos_lat1 * sin_d * math.cos(br)
    sin_lat2 = max(-1.0, min(1.0, sin_lat2))
    lat2 = math.asin(sin_lat2)
    lon2 = lon1 + math.atan2(math.sin(br) * sin_d * cos_lat1, cos_d - sin_lat1 * sin_lat2)
    lon2_deg = (math.degrees(lon2) + 540.0) % 360.0 - 180.0
    return (math.degrees(lat2), lon2_deg)


def distance_between(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    p1 = math.radians(lat1)
    p2 = math.radians(lat2)
    dp = math.radians(lat2 - lat1)
    dl = math.radians(lon2 - lon1)
    h = math.sin(dp / 2.0) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2.0) ** 2
    return 2.0 * EARTH_R_M * math.asin(min(1.0, math.sqrt(h)))


def initial_bearing(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    p1 = math.radians(lat1)
    p2 = math.radians(lat2)
    dl = math.radians(lon2 - lon1)
    y = math.sin(dl) * math.cos(p2)
    x = math.cos(p1) * math.sin(p2) - math.sin(p1) * math.cos(p2) * math.cos(dl)
    return (math.degrees(math.atan2(y, x)) + 360.0) % 360.0


def true_bearing(magnetic_bearing_deg: float, declination_deg: float = 0.0) -> float:
    return (magnetic_bearing_deg + declination_deg) % 360.0


_GEOMAG = None
_GEOMAG_TRIED = False
_DECL_CACHE: dict = {}
_DECL_GRID = 0.05


def _geomag():
    global _GEOMAG, _GEOMAG_TRIED
    if _GEOMAG_TRIED:
        return _GEOMAG
    _GEOMAG_TRIED = True
    try:
        from pygeomag import GeoMag

        _GEOMAG = GeoMag()
    except Exception:
        _GEOMAG = None
    return _GEOMAG


def magnetic_declination(lat_deg: float, lon_deg: float, decimal_year: Optional[float] = None) -> Optional[float]:
    gm = _geomag()
    if gm is None:
        return None
    if decimal_year is None:
        from datetime import datetime, timezone

        now = datetime.now(timezone.utc)
        decimal_year = now.year + (now.timetuple().tm_yday - 1) / 365.25
    key = (round(lat_deg / _DECL_GRID), round(lon_deg / _DECL_GRID), round(decimal_year, 2))
    if key in _DECL_CACHE:
        return _DECL_CACHE[key]
    try:
        val = float(gm.calculate(glat=float(lat_deg), glon=float(lon_deg), alt=0, time=float(decimal_year)).d)
    except Exception:
        val = None
    if len(_DECL_CACHE) > 512:
        _DECL_CACHE.clear()
    _DECL_CACHE[key] = val
    return val


def target_uncertainty_m(range_m: float, gps_accuracy_m: float = GPS_BASE_CEP_M, range_measured: bool = False) -> float:
    r = abs(float(range_m))
    if range_measured:
        range_err = max(TOF_ACCURACY_M, r * TOF_REL_ERR)
    else:
        range_err = r * (SENSOR_HEIGHT_TOL_M / SENSOR_HEIGHT_ASSUMED_M)
    bearing_err = r * math.tan(math.radians(BEARING_ERR_DEG))
    gps_err = float(gps_accuracy_m) if gps_accuracy_m > 0.0 else 0.0
    return math.sqrt(range_err ** 2 + bearing_err ** 2 + gps_err ** 2)


def latlon_to_world_px(lat_deg: float, lon_deg: float, zoom: int) -> Tuple[float, float]:
    n = TILE_SIZE * 2 ** zoom
    x = (lon_deg + 180.0) / 360.0 * n
    lat = max(-85.05112878, min(85.05112878, lat_deg))
    s = math.sin(math.radians(lat))
    y = (0.5 - math.log((1.0 + s) / (1.0 - s)) / (4.0 * math.pi)) * n
    return (x, y)


def world_px_to_latlon(x: float, y: float, zoom: int) -> Tuple[float, float]:
    n = TILE_SIZE * 2 ** zoom
    lon = x / n * 360.0 - 180.0
    k = math.pi * (1.0 - 2.0 * y / n)
    lat = math.degrees(math.atan(math.sinh(k)))
    return (lat, lon)


def meters_per_pixel(lat_deg: float, zoom: int) -> float:
    return _MPP_EQUATOR * math.cos(math.radians(lat_deg)) / 2 ** zoom


def zoom_for_range(lat_deg: float, range_m: float, px: int, max_zoom: int = 23) -> int:
    if range_m <= 0 or px <= 0:
        return 17
    want_mpp = 2.0 * range_m / float(px)
    for z in range(int(max_zoom), -1, -1):
        if meters_per_pixel(lat_deg, z) >= want_mpp:
            return z
    return 0


def same_float(a, b) -> bool:
    """Bit-for-bit equality of two results (floats or tuples of floats); NaNs match."""
    if isinstance(a, tuple) or isinstance(b, tuple):
        return type(a) is type(b) and len(a) == len(b) and all(same_float(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return type(a) is type(b) and a == b
