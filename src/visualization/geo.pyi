"""Geographic projection: spherical geodesy, Web Mercator, declination, uncertainty.

Angles are degrees (latitude north, longitude east, bearings clockwise from north),
lengths metres, map positions Web Mercator world pixels.
"""

from typing import Any

EARTH_R_M: float
TILE_SIZE: int
_MPP_EQUATOR: float
SENSOR_HEIGHT_ASSUMED_M: float
SENSOR_HEIGHT_TOL_M: float
BEARING_ERR_DEG: float
GPS_BASE_CEP_M: float
TOF_ACCURACY_M: float
TOF_REL_ERR: float

def destination_point(lat_deg: float, lon_deg: float, bearing_deg: float, distance_m: float) -> tuple[float, float]:
    """Return the point (lat, lon), in degrees, reached by going distance_m metres along the true bearing bearing_deg (degrees clockwise from north)."""

def distance_between(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    """Return the great-circle ground distance in metres between point 1 and point 2 (degrees)."""

def initial_bearing(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    """Return the true bearing in degrees clockwise from north, in [0, 360), from point 1 towards point 2."""

def true_bearing(magnetic_bearing_deg: float, declination_deg: float = 0.0) -> float:
    """Return the true bearing in degrees clockwise from north of a magnetic bearing, for an east-positive declination in degrees."""

_GEOMAG: Any
_GEOMAG_TRIED: bool
_DECL_CACHE: dict[tuple[int, int, float], float | None]
_DECL_GRID: float

def _geomag() -> Any:
    """Return the shared magnetic model object, or None when it is unavailable."""

def magnetic_declination(lat_deg: float, lon_deg: float, decimal_year: float | None = None) -> float | None:
    """Return the magnetic declination in degrees (east positive) at a place and date, or None."""

def target_uncertainty_m(range_m: float, gps_accuracy_m: float = 2.5, range_measured: bool = False) -> float:
    """Return the uncertainty radius in metres of a target projected by bearing and range (metres)."""

def latlon_to_world_px(lat_deg: float, lon_deg: float, zoom: int) -> tuple[float, float]:
    """Return the Web Mercator world pixel (x, y) of a point (degrees) at a zoom level."""

def world_px_to_latlon(x: float, y: float, zoom: int) -> tuple[float, float]:
    """Return the point (lat, lon), in degrees, of a Web Mercator world pixel (x, y) at a zoom level."""

def meters_per_pixel(lat_deg: float, zoom: int) -> float:
    """Return the ground size in metres of one pixel at a latitude (degrees) and zoom level."""

def zoom_for_range(lat_deg: float, range_m: float, px: int, max_zoom: int = 23) -> int:
    """Return the highest zoom level at which a disc of radius range_m metres fits into px pixels."""
