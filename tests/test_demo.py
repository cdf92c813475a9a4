import math

import pytest
from PyQt5.QtGui import QImage

from visualization import demo


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    report = demo.run(out, size=24, seed=3)
    return out, report


def test_demo_writes_every_view_at_its_size(demo_run):
    out, _ = demo_run
    sizes = {}
    for name in ("anomaly", "blob_field", "polar", "map"):
        img = QImage(str(out / f"{name}.png"))
        assert not img.isNull(), name
        sizes[name] = (img.width(), img.height())
    assert sizes["anomaly"][0] > 2 * 24 * 3 and sizes["anomaly"][1] >= 220
    # Blob field: G cells of 2·top·scale / cell_px, odd, enlarged 4×.
    g = round(2 * demo.TOP_M * 20.0 / 4.0)
    g += 1 - g % 2
    assert sizes["blob_field"] == (4 * g, 4 * g)
    assert sizes["polar"] == (600, 600)
    assert sizes["map"] == (512, 512)


def test_demo_polar_view_shows_the_poles_where_the_summary_puts_them(demo_run):
    out, report = demo_run
    img = QImage(str(out / "polar.png")).convertToFormat(QImage.Format_RGBA8888)
    found = {}
    for line in report.lines:
        for name in ("metal", "void"):
            if line.startswith(f"{name}: bearing"):
                bearing = float(line.split("bearing ")[1].split("°")[0])
                rng = float(line.split("range ")[1].split(" m")[0])
                x, y = demo.polar_pixel(bearing, rng, 300.0 / demo.TOP_M, 300.0)
                c = img.pixelColor(int(math.floor(x)), int(math.floor(y)))
                found[name] = c.red() - c.blue()
    assert set(found) == {"metal", "void"}
    assert found["metal"] > 100  # strongly red under the metal circle
    assert found["void"] < -100  # strongly blue under the void circle


def test_demo_summary_reports_declination_and_step_times(demo_run):
    _, report = demo_run
    assert any(line.startswith("declination:") for line in report.lines)
    steps = [name for name, _ in report.timings]
    assert "render_polar_alan" in steps and "rbf_fill of the sphere vertices" in steps
    assert all(t >= 0.0 for _, t in report.timings)


def test_demo_command_line_rejects_tiny_grids():
    with pytest.raises(SystemExit):
        demo.main(["--size", "2"])
