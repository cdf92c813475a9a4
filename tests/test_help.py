"""help() tells a caller the types, defaults, units and meaning of every parameter."""

import inspect
import pydoc
import re

import numpy as np
import pytest
from PyQt5.QtGui import QImage

from reference_brelvo_polar import image_bytes
from test_stubs import nb_signature
from visualization import brelvo, tintora


def help_text(obj):
    """The text help(obj) shows, whitespace collapsed so wrapped phrases stay whole."""
    return " ".join(pydoc.render_doc(obj, renderer=pydoc.plaintext).split())


@pytest.mark.parametrize(
    "fn, shown",
    [
        (brelvo.render_polar_alan, "hucre: int = 2"),
        (brelvo.render_polar_alan, "min_bosluk_m: float = 0.0"),
        (brelvo.render_polar_alan, ") -> QImage | None"),
        (brelvo.build_field, "colormap: numpy.typing.ArrayLike | None = None"),
        # Defaults taken from CELL_PX show the value it held at load, as Python writes it.
        (brelvo.build_field, "cell_px: float = 4.0"),
        (brelvo.cloud_key, "cell_px: float = 4.0"),
        (brelvo.en_guclu_kutup_indeksleri, "image: QImage | None = None, scale: float | None = None"),
        (brelvo.en_guclu_kutuplar, ") -> dict[str, tuple[float, float] | None]"),
        (brelvo._NumpyKDTree.query, "k: int = 1, workers: int | None = None"),
        (tintora.boya, "sifiri_topraga_cek: bool = True, mask: numpy.typing.ArrayLike | None = None"),
        (tintora.compute_lambda, "esik: float, mask: numpy.typing.ArrayLike | None = None"),
        (tintora.apply_colormap, ") -> numpy.typing.NDArray[numpy.uint8]"),
        (tintora.running_baseline, ") -> tuple[float, float, float]"),
    ],
)
def test_help_shows_typed_parameters(fn, shown):
    assert shown in help_text(fn)
    assert shown in fn.__nb_signature__[0][0]


@pytest.mark.parametrize(
    "fn, param, unit",
    [
        (brelvo.build_field, "top", "metres"),
        (brelvo.build_field, "scale", "pixels per metre"),
        (brelvo.build_field, "cell_px", "pixels"),
        (brelvo.cloud_key, "top", "metres"),
        (brelvo.cloud_key, "scale", "pixels per metre"),
        (brelvo.visible_cloud_mask, "r_off", "metres"),
        (brelvo.visible_cloud_mask, "min_bosluk_m", "metres"),
        (brelvo.render_polar_alan, "scale", "pixels per metre"),
        (brelvo.render_polar_alan, "r_off", "metres"),
        (brelvo.render_polar_alan, "rr", "pixels"),
        (brelvo.render_polar_alan, "hucre", "pixels"),
        (brelvo.render_polar_alan, "min_bosluk_m", "metres"),
        (brelvo.en_guclu_kutup_indeksleri, "scale", "pixels per metre"),
        (brelvo.en_guclu_kutup_indeksleri, "r_off", "metres"),
        (brelvo.en_guclu_kutuplar, "min_bosluk_m", "metres"),
    ],
)
def test_help_gives_units(fn, param, unit):
    doc = " ".join(fn.__nb_signature__[0][1].split())
    assert re.search(rf"\b{param}\b[^.;]*\b{unit}\b", doc), f"{param} without {unit}"


@pytest.mark.parametrize(
    "fn",
    [
        brelvo.build_field,
        brelvo.cloud_key,
        brelvo.visible_cloud_mask,
        brelvo.render_polar_alan,
        brelvo.en_guclu_kutup_indeksleri,
        brelvo.en_guclu_kutuplar,
    ],
)
def test_cloud_takers_say_what_the_tuple_holds(fn):
    text = help_text(fn)
    assert "degrees clockwise from north" in text
    assert "ranges in metres" in text or "range in metres" in text


def test_module_help_describes_the_cloud_and_the_turkish_names():
    text = " ".join(brelvo.__doc__.split())
    for phrase in [
        "Element 0: bearings in degrees clockwise from north",
        "Element 1: horizontal ranges in metres",
        "Element 2: colours, one row per target, R, G, B on the 0..255 scale",
        "Element 7 (records of 8 to 11 elements) or 11 (12 or more): one signal value",
        "Element 9 (10 or more): one source id",
        "render_polar_alan = render the polar field",
        "hucre = cell",
        "min_bosluk_m = minimum gap in metres",
        "en_guclu_kutuplar = the strongest poles",
        "en_guclu_kutup_indeksleri = indices of the strongest poles",
    ]:
        assert phrase in text
    text = " ".join(tintora.__doc__.split())
    for phrase in [
        "boya = paint",
        "esik = threshold",
        "esik_ref = threshold reference",
        "sifiri_topraga_cek = pull zero to ground",
    ]:
        assert phrase in text


@pytest.mark.parametrize(
    "fn, meaning",
    [
        (tintora.boya, "boya means paint"),
        (tintora.compute_lambda, "esik (threshold)"),
        (tintora.compute_lambda, "esik_ref (threshold reference)"),
        (tintora.compute_lambda, "sifiri_topraga_cek (pull zero to ground)"),
        (brelvo.render_polar_alan, "render_polar_alan: render the polar field"),
        (brelvo.render_polar_alan, "hucre (cell)"),
        (brelvo.visible_cloud_mask, "min_bosluk_m (minimum gap in metres)"),
        (brelvo.en_guclu_kutuplar, "en_guclu_kutuplar: the strongest poles"),
        (brelvo.en_guclu_kutup_indeksleri, "en_guclu_kutup_indeksleri: indices of the strongest poles"),
    ],
)
def test_help_explains_turkish_names(fn, meaning):
    assert meaning in help_text(fn)


@pytest.mark.parametrize("fn", [brelvo.build_field, brelvo.lambda_from_colors, brelvo._lut])
def test_help_states_the_palette_cache_rule(fn):
    text = help_text(fn)
    assert "cached by palette object (its identity)" in text
    assert "pass the same palette object every time" in text
    assert "A fresh copy per call builds and keeps a new table each time" in text
    assert "a palette changed in place keeps its old table" in text


def comparable(result):
    """A result in a form that == compares by content."""
    if isinstance(result, QImage):
        return (result.format(), result.width(), result.height(), image_bytes(result).tobytes())
    if isinstance(result, tuple):
        return tuple(comparable(r) for r in result)
    if isinstance(result, np.ndarray):
        return (result.dtype, result.shape, result.tobytes())
    return result


# Targets at 1.0 m lie exactly on the gap boundary when r_off is 1.0, so the gap's
# default decides whether they count; colours span metal, ground and void.
CLOUD = (
    np.array([10.0, 80.0, 200.0, 300.0, 45.0, 135.0, 250.0, 330.0]),
    np.array([1.0, 6.0, 4.5, 8.0, 2.0, 5.0, 7.0, 1.0]),
    tintora.apply_colormap([1.0, 0.7, 0.2, 0.0, 0.5, 0.9, 0.1, 0.6])[:, :3],
)
# Zero cells, cells on both sides of the dead band's edges, a non-finite cell.
FIELD = np.array([[0.0, 3.0, -3.0, 1.9], [10.0, 1e-3, np.nan, -1.5]])


@pytest.mark.parametrize(
    "fn, required",
    [
        (tintora.apply_colormap, ([0.1, 0.5, 0.95],)),
        (tintora.compute_lambda, (FIELD, 0.0, -10.0, 10.0, 2.0)),
        (tintora.boya, (FIELD, 0.0, -10.0, 10.0, 2.0)),
        (brelvo.lambda_from_colors, (CLOUD[2],)),
        (brelvo.build_field, (CLOUD, 10.0, 30.0)),
        (brelvo.cloud_key, (CLOUD, 10.0, 30.0, 3.0, 2.0)),
        (brelvo.visible_cloud_mask, (CLOUD, 1.0, 6.0)),
        (brelvo.render_polar_alan, (CLOUD, 20.0, 10.0, 1.0, 101)),
        (brelvo.en_guclu_kutup_indeksleri, (CLOUD, 1.0, 6.0)),
        (brelvo.en_guclu_kutuplar, (CLOUD, 1.0, 6.0)),
    ],
)
def test_shown_defaults_are_the_real_ones(fn, required):
    """Leaving the optional arguments out equals passing the defaults help() shows."""
    params, _returns = nb_signature(fn)
    shown = {name: default for name, _annotation, default in params[len(required) :]}
    assert shown and inspect.Parameter.empty not in shown.values()
    assert comparable(fn(*required)) == comparable(fn(*required, **shown))


def test_shown_default_neighbour_count_is_the_real_one():
    tree = brelvo._NumpyKDTree([[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]])
    params, _returns = nb_signature(brelvo._NumpyKDTree.query)
    shown = {name: default for name, _annotation, default in params[1:]}
    q = [[0.9, 0.0], [2.0, 0.1]]
    assert comparable(tree.query(q)) == comparable(tree.query(q, **shown))
