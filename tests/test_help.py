"""help() tells a caller the types, defaults, units and meaning of every parameter."""

import pydoc
import re

import pytest

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
