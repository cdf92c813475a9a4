"""End-to-end demo: one refresh of the scanner's three views on a synthetic scan.

    python -m visualization.demo [--out DIR] [--size N] [--seed S]

Synthesises a scan (no network, no files read), runs every computation the host
runs in one refresh, and writes the views as PNG images into DIR:

- ``anomaly.png``: the anomaly colour map with its colour bar;
- ``blob_field.png``: the canonical sonar blob field;
- ``polar.png``: the pixel-space sonar view, strongest metal and void circled;
- ``map.png``: a map sketch in world pixels, every target with its uncertainty circle.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

# The demo never needs a screen.
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

from PyQt5.QtCore import QPointF, QRectF, Qt  # noqa: E402
from PyQt5.QtGui import QColor, QGuiApplication, QImage, QPainter, QPen  # noqa: E402

from visualization import brelvo, geo, tintora  # noqa: E402

SENSOR_HEIGHT_M = 2.0
TOP_M = 12.0  # visible range of the sonar views
ORIGIN = (39.9208, 32.8541)  # GPS fix of the scan pivot (lat, lon)
SCAN_YEAR = 2027.5  # date of the synthetic scan, inside the magnetic model's life


@dataclass
class Scan:
    """A hemisphere of scanned directions around the pivot, as the host keeps it."""

    field: np.ndarray  # anomaly per cell; 0 = never written, NaN = sensor dropout
    bearing_deg: np.ndarray  # bearing of each cell's column
    tilt_deg: np.ndarray  # tilt from straight down of each cell's row
    metal: tuple[float, float]  # (bearing, range) of the buried metal object
    void: tuple[float, float]  # (bearing, range) of the void


@dataclass
class Report:
    timings: list[tuple[str, float]] = field(default_factory=list)
    lines: list[str] = field(default_factory=list)

    def step(self, name: str, started: float) -> None:
        elapsed = time.perf_counter() - started
        self.timings.append((name, elapsed))
        print(f"[demo] {name:<34s} {elapsed * 1000:8.1f} ms", flush=True)


def ground_range(tilt_deg: np.ndarray) -> np.ndarray:
    return SENSOR_HEIGHT_M * np.tan(np.radians(tilt_deg))


def synthesise_scan(size: int, rng: np.random.Generator) -> Scan:
    """Metal (strong positive), void (negative), a gentle gradient and noise."""
    bearings = (np.arange(2 * size) + 0.5) * (360.0 / (2 * size))
    tilts = 5.0 + (np.arange(size) + 0.5) * (75.0 / size)  # 5° .. 80° from vertical
    b, t = np.meshgrid(bearings, tilts)
    rng_m = ground_range(t)
    east, north = np.sin(np.radians(b)) * rng_m, np.cos(np.radians(b)) * rng_m

    metal, void = (60.0, 5.0), (215.0, 8.0)

    def blob(target, width_m):
        tb, tr = target
        tx, ty = math.sin(math.radians(tb)) * tr, math.cos(math.radians(tb)) * tr
        return np.exp(-((east - tx) ** 2 + (north - ty) ** 2) / (2 * width_m**2))

    values = 420.0 * blob(metal, 0.9) - 260.0 * blob(void, 1.3)
    values += 0.6 * east - 0.3 * north  # regional gradient
    values += rng.normal(0.0, 4.0, values.shape)
    values[rng_m > TOP_M * 1.05] = 0.0  # beyond the sweep: never written
    values[rng.random(values.shape) < 0.08] = 0.0  # gaps between sweeps
    values[rng.random(values.shape) < 0.004] = np.nan  # sensor dropouts
    return Scan(values, bearings, tilts, metal, void)


def save(image: QImage, path: Path) -> None:
    if not image.save(str(path)):
        raise OSError(f"could not write {path}")


def rgba_to_qimage(rgba: np.ndarray) -> QImage:
    h, w = rgba.shape[:2]
    data = np.ascontiguousarray(rgba).tobytes()
    return QImage(data, w, h, 4 * w, QImage.Format_RGBA8888).copy()


def anomaly_map(rgba: np.ndarray, ground: float, lo: float, hi: float) -> QImage:
    """The colour map, enlarged, with a colour bar of the palette beside it."""
    cells = rgba_to_qimage(rgba).scaled(rgba.shape[1] * 3, rgba.shape[0] * 3)
    bar_w, pad = 28, 70
    img = QImage(cells.width() + bar_w + pad + 10, max(cells.height(), 220), QImage.Format_ARGB32)
    img.fill(QColor(24, 24, 24))
    p = QPainter(img)
    p.drawImage(0, 0, cells)
    bar = tintora.apply_colormap(np.linspace(1.0, 0.0, img.height())[:, None].repeat(bar_w, 1))
    p.drawImage(cells.width() + 8, 0, rgba_to_qimage(bar))
    p.setPen(QColor(230, 230, 230))
    x = cells.width() + bar_w + 12
    p.drawText(x, 12, f"{hi:.0f}")
    p.drawText(x, img.height() // 2 + 4, f"{ground:.1f}")
    p.drawText(x, img.height() - 4, f"{lo:.0f}")
    p.end()
    return img


def make_cloud(scan: Scan, rgba: np.ndarray, lam: np.ndarray, max_targets: int):
    """Strong cells become sonar targets: the host drops weak vertices first."""
    strength = np.abs(lam - 0.5)
    strength[(lam == 1.5) | ~np.isfinite(scan.field)] = 0.0
    order = np.argsort(strength, axis=None, kind="stable")[::-1]
    chosen = order[: max_targets][strength.ravel()[order[:max_targets]] > 0.05]
    rows, cols = np.unravel_index(chosen, scan.field.shape)
    bearings = scan.bearing_deg[cols]
    ranges = ground_range(scan.tilt_deg[rows])
    colours = rgba[rows, cols, :3].astype(np.float64)
    signals = scan.field[rows, cols]
    sources = chosen.astype(np.int64)
    # Elements 3..6 and 8 carry host data the views do not read.
    return (bearings, ranges, colours, None, None, None, None, signals, None, sources)


def sonar_view(image: QImage, poles: dict, scale: float, rr: float) -> QImage:
    """The polar field over a dark screen with range rings, the two poles circled."""
    view = QImage(image.width(), image.height(), QImage.Format_ARGB32)
    view.fill(QColor(12, 18, 24))
    p = QPainter(view)
    p.setRenderHint(QPainter.Antialiasing)
    p.setPen(QPen(QColor(60, 80, 90), 1))
    for ring_m in range(2, int(TOP_M) + 1, 2):
        p.drawEllipse(QPointF(rr, rr), ring_m * scale, ring_m * scale)
    p.drawImage(0, 0, image)
    for name, colour in (("metal", QColor(255, 255, 255)), ("void", QColor(255, 255, 0))):
        pole = poles[name]
        if pole is None:
            continue
        x, y = polar_pixel(pole[0], pole[1], scale, rr)
        p.setPen(QPen(colour, 3))
        p.drawEllipse(QPointF(x, y), 18, 18)
        p.drawText(QPointF(x + 22, y + 5), name)
    p.end()
    return view


def field_view(image: QImage, zoom: int = 4) -> QImage:
    """The blob field enlarged over a dark screen (it is transparent where no target is near)."""
    big = image.scaled(image.width() * zoom, image.height() * zoom, Qt.IgnoreAspectRatio,
                       Qt.SmoothTransformation)
    view = QImage(big.width(), big.height(), QImage.Format_ARGB32)
    view.fill(QColor(12, 18, 24))
    p = QPainter(view)
    p.drawImage(0, 0, big)
    p.end()
    return view


def polar_pixel(bearing: float, rng: float, scale: float, rr: float) -> tuple[float, float]:
    a = math.radians(((bearing + 180.0) % 360.0) - 180.0)
    return rr + math.sin(a) * rng * scale, rr - math.cos(a) * rng * scale


def project_targets(cloud, report: Report):
    """Every target onto the map: declination, true bearing, destination, uncertainty."""
    decl = geo.magnetic_declination(ORIGIN[0], ORIGIN[1], SCAN_YEAR)
    if decl is None:
        why = "pygeomag is not installed" if geo._GEOMAG is None else "date outside the model's life"
        report.lines.append(f"declination: none ({why}); bearings stay magnetic")
    else:
        report.lines.append(f"declination: {decl:+.2f}° at {ORIGIN[0]:.4f}, {ORIGIN[1]:.4f} ({SCAN_YEAR})")
    zoom = geo.zoom_for_range(ORIGIN[0], TOP_M, 512)
    mpp = geo.meters_per_pixel(ORIGIN[0], zoom)
    # The ranges are geometric (tilt and assumed sensor height), hence range_measured=False.
    _lat, _lon, x, y, radius_px = geo.project_targets(
        ORIGIN[0], ORIGIN[1], cloud[0], cloud[1], zoom, decl or 0.0, range_measured=False
    )
    targets = [((tx, ty), r) for tx, ty, r in zip(x.tolist(), y.tolist(), radius_px.tolist())]
    return zoom, mpp, targets


def map_sketch(zoom: int, mpp: float, targets, poles_idx: dict) -> QImage:
    size = 512
    ox, oy = geo.latlon_to_world_px(ORIGIN[0], ORIGIN[1], zoom)
    img = QImage(size, size, QImage.Format_ARGB32)
    img.fill(QColor(236, 232, 220))
    p = QPainter(img)
    p.setRenderHint(QPainter.Antialiasing)
    # Tile boundaries of the map, for orientation.
    p.setPen(QPen(QColor(200, 195, 180), 1))
    tile = geo.TILE_SIZE
    for k in range(-3, 4):
        gx = (math.floor(ox / tile) + k) * tile - ox + size / 2
        gy = (math.floor(oy / tile) + k) * tile - oy + size / 2
        p.drawLine(QPointF(gx, 0), QPointF(gx, size))
        p.drawLine(QPointF(0, gy), QPointF(size, gy))
    special = {poles_idx["metal"]: QColor(200, 0, 0), poles_idx["void"]: QColor(0, 0, 200)}
    for i, ((x, y), radius) in enumerate(targets):
        cx, cy = x - ox + size / 2, y - oy + size / 2
        p.setPen(QPen(QColor(120, 120, 120, 25), 1))
        p.drawEllipse(QPointF(cx, cy), radius, radius)
        p.setPen(QPen(QColor(90, 90, 90), 1))
        p.drawEllipse(QPointF(cx, cy), 1.5, 1.5)
    for i, colour in special.items():
        if i is None:
            continue
        (x, y), radius = targets[i]
        cx, cy = x - ox + size / 2, y - oy + size / 2
        p.setPen(QPen(colour, 2))
        p.drawEllipse(QPointF(cx, cy), radius, radius)
        p.drawEllipse(QPointF(cx, cy), 2.5, 2.5)
    p.setPen(QPen(QColor(0, 0, 0), 2))
    p.drawLine(QPointF(size / 2 - 6, size / 2), QPointF(size / 2 + 6, size / 2))
    p.drawLine(QPointF(size / 2, size / 2 - 6), QPointF(size / 2, size / 2 + 6))
    bar_m = 5.0
    bar_px = bar_m / mpp
    p.drawLine(QPointF(20, size - 20), QPointF(20 + bar_px, size - 20))
    p.drawText(QRectF(20, size - 40, 200, 16), Qt.AlignLeft, f"{bar_m:.0f} m (zoom {zoom})")
    p.end()
    return img


def sphere_fill(scan: Scan, rng: np.random.Generator, n_vertices: int) -> np.ndarray:
    """Shepard fill of the sphere model's vertices from the written samples."""
    written = np.isfinite(scan.field) & (scan.field != 0.0)
    b, t = np.meshgrid(np.radians(scan.bearing_deg), np.radians(scan.tilt_deg))
    dirs = np.stack([np.sin(t) * np.sin(b), np.sin(t) * np.cos(b), -np.cos(t)], axis=-1)
    samples, values = dirs[written], scan.field[written]
    pick = rng.choice(len(samples), size=min(len(samples), 1500), replace=False)
    # Fibonacci points on the lower hemisphere: the sphere model's vertices.
    k = np.arange(n_vertices) + 0.5
    z = -k / n_vertices
    phi = k * math.pi * (3.0 - math.sqrt(5.0))
    s = np.sqrt(1.0 - z * z)
    vertices = np.stack([s * np.cos(phi), s * np.sin(phi), z], axis=1)
    return tintora.rbf_fill(vertices, samples[pick], values[pick], 2.0, 0.05)


_APP: QGuiApplication | None = None


def ensure_gui_app() -> None:
    """QPainter needs a GUI application for its fonts; one lives for the process."""
    global _APP
    _APP = QGuiApplication.instance() or QGuiApplication(sys.argv[:1])


def run(out: Path, size: int, seed: int) -> Report:
    out.mkdir(parents=True, exist_ok=True)
    ensure_gui_app()
    rng = np.random.default_rng(seed)
    report = Report()

    t0 = time.perf_counter()
    scan = synthesise_scan(size, rng)
    report.step("synthesise scan", t0)

    t0 = time.perf_counter()
    ground, lo, hi = tintora.running_baseline(scan.field)
    rgba = tintora.boya(scan.field, ground, lo, hi, 6.0)
    lam = tintora.compute_lambda(scan.field, ground, lo, hi, 6.0)
    report.step("running_baseline + boya", t0)
    save(anomaly_map(rgba, ground, lo, hi), out / "anomaly.png")

    t0 = time.perf_counter()
    cloud = make_cloud(scan, rgba, lam, max_targets=600)
    key = brelvo.cloud_key(cloud, TOP_M, 20.0, 3.0, 2.0)
    field_img = brelvo.build_field(cloud, TOP_M, 20.0)
    report.step("cloud_key + build_field", t0)
    save(field_view(field_img), out / "blob_field.png")

    rr, scale = 300.0, 300.0 / TOP_M
    t0 = time.perf_counter()
    polar = brelvo.render_polar_alan(cloud, scale, TOP_M, 0.0, rr)
    report.step("render_polar_alan", t0)

    t0 = time.perf_counter()
    poles = brelvo.en_guclu_kutuplar(cloud, 0.0, TOP_M)
    poles_idx = brelvo.en_guclu_kutup_indeksleri(cloud, 0.0, TOP_M)
    report.step("en_guclu_kutuplar", t0)
    save(sonar_view(polar, poles, scale, rr), out / "polar.png")

    t0 = time.perf_counter()
    zoom, mpp, targets = project_targets(cloud, report)
    report.step("project targets onto the map", t0)
    save(map_sketch(zoom, mpp, targets, poles_idx), out / "map.png")

    t0 = time.perf_counter()
    filled = sphere_fill(scan, rng, n_vertices=4 * size * size)
    report.step("rbf_fill of the sphere vertices", t0)

    report.lines[:0] = [
        f"scan: {scan.field.size} cells, ground {ground:.2f}, range {lo:.1f} .. {hi:.1f}",
        f"targets: {len(cloud[0])} (cache key {key[0] & 0xFFFF:04x}…)",
    ]
    for name in ("metal", "void"):
        pole = poles[name]
        report.lines.append(
            f"{name}: none" if pole is None else f"{name}: bearing {pole[0]:.1f}°, range {pole[1]:.2f} m"
        )
    report.lines.append(f"sphere fill: {filled.size} vertices, {filled.min():.1f} .. {filled.max():.1f}")
    print("\n".join(report.lines))
    print(f"images in {out}/: anomaly.png blob_field.png polar.png map.png")
    return report


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("demo-out"), help="folder for the images")
    parser.add_argument("--size", type=int, default=90, help="rows of the scanned hemisphere grid")
    parser.add_argument("--seed", type=int, default=7, help="seed of the synthetic noise")
    args = parser.parse_args(argv)
    if args.size < 8:
        parser.error("--size must be at least 8")
    run(args.out, args.size, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
