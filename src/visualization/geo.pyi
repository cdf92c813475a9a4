"""Geographic projection: spherical geodesy, Web Mercator, declination, uncertainty."""

from typing import Any, Optional, Tuple

EARTH_R_M: float
TILE_SIZE: int
_MPP_EQUATOR: float
SENSOR_HEIGHT_ASSUMED_M: float
SENSOR_HEIGHT_TOL_M: float
BEARING_ERR_DEG: float
GPS_BASE_CEP_M: float
TOF_ACCURACY_M: float
TOF_REL_ERR: float

def destination_point(
    lat_deg: float, lon_deg: float, bearing_deg: float, distance_m: float
) -> Tuple[float, float]: ...
def distance_between(lat1: float, lon1: float, lat2: float, lon2: float) -> float: ...
def initial_bearing(lat1: float, lon1: float, lat2: float, lon2: float) -> float: ...
def true_bearing(magnetic_bearing_deg: float, declination_deg: float = 0.0) -> float: ...

_GEOMAG: Any
_GEOMAG_TRIED: bool
_DECL_CACHE: dict[tuple[int, int, float], Optional[float]]
_DECL_GRID: float

def _geomag() -> Any: ...
def magnetic_declination(
    lat_deg: float, lon_deg: float, decimal_year: Optional[float] = None
) -> Optional[float]: ...
def target_uncertainty_m(
    range_m: float, gps_accuracy_m: float = 2.5, range_measured: bool = False
) -> float: ...
def latlon_to_world_px(lat_deg: float, lon_deg: float, zoom: int) -> Tuple[float, float]: ...
def world_px_to_latlon(x: float, y: float, zoom: int) -> Tuple[float, float]: ...
def meters_per_pixel(lat_deg: float, zoom: int) -> float: ...
def zoom_for_range(lat_deg: float, range_m: float, px: int, max_zoom: int = 23) -> int: ...
