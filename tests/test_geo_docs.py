"""help() of the geo functions: annotated signatures, what they return, units."""
import ast
import inspect
import pydoc
from pathlib import Path

import pytest

from visualization import geo

FUNCTIONS = ["destination_point", "distance_between", "initial_bearing", "true_bearing", "_geomag",
             "magnetic_declination", "target_uncertainty_m", "latlon_to_world_px", "world_px_to_latlon",
             "meters_per_pixel", "zoom_for_range"]


def stub_functions():
    tree = ast.parse(Path(geo.__file__).with_name("geo.pyi").read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def doc_lines(name):
    return getattr(geo, name).__doc__.splitlines()


def documented_def(name):
    """The annotated signature that opens the docstring, parsed as a def."""
    return ast.parse(f"def {doc_lines(name)[0]}: ...").body[0]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_opens_with_the_stub_signature(name):
    stub, documented = stub_functions()[name], documented_def(name)
    assert documented.name == name
    assert ast.dump(documented.args) == ast.dump(stub.args)
    assert ast.dump(documented.returns) == ast.dump(stub.returns)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_annotated_signature_agrees_with_inspect(name):
    node = documented_def(name)
    args = node.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults))
    defaults += [ast.literal_eval(d) for d in node.args.defaults]
    documented = [(a.arg, d) for a, d in zip(args, defaults)]
    actual = [(p.name, p.default) for p in inspect.signature(getattr(geo, name)).parameters.values()]
    assert documented == actual
    assert all(a.annotation is not None for a in args) and node.returns is not None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_summary_says_what_it_returns(name):
    lines = doc_lines(name)
    assert lines[1] == "" and lines[2].startswith("Return ")


@pytest.mark.parametrize("name, units", [
    ("destination_point", ["metres", "degrees", "clockwise from north"]),
    ("distance_between", ["metres", "degrees"]),
    ("initial_bearing", ["degrees clockwise from north"]),
    ("true_bearing", ["degrees clockwise from north", "east positive"]),
    ("magnetic_declination", ["degrees", "east positive"]),
    ("target_uncertainty_m", ["metres"]),
    ("latlon_to_world_px", ["degrees", "pixels"]),
    ("world_px_to_latlon", ["degrees", "pixels"]),
    ("meters_per_pixel", ["metres", "degrees"]),
    ("zoom_for_range", ["metres", "degrees", "pixels"]),
])
def test_units_are_named(name, units):
    doc = getattr(geo, name).__doc__
    assert [u for u in units if u not in doc] == []


@pytest.mark.parametrize("name, title, annotated", [
    ("destination_point", "destination_point(lat_deg, lon_deg, bearing_deg, distance_m)",
     "destination_point(lat_deg: float, lon_deg: float, bearing_deg: float, distance_m: float)"
     " -> tuple[float, float]"),
    ("true_bearing", "true_bearing(magnetic_bearing_deg, declination_deg=0.0)",
     "true_bearing(magnetic_bearing_deg: float, declination_deg: float = 0.0) -> float"),
    ("target_uncertainty_m", "target_uncertainty_m(range_m, gps_accuracy_m=2.5, range_measured=False)",
     "target_uncertainty_m(range_m: float, gps_accuracy_m: float = 2.5, range_measured: bool = False) -> float"),
    ("magnetic_declination", "magnetic_declination(lat_deg, lon_deg, decimal_year=None)",
     "magnetic_declination(lat_deg: float, lon_deg: float, decimal_year: float | None = None) -> float | None"),
])
def test_help_shows_parameters_types_and_defaults(name, title, annotated):
    text = pydoc.render_doc(getattr(geo, name), renderer=pydoc.plaintext).splitlines()
    body = [line.strip() for line in text[2:]]
    assert body[:3] == [title, annotated, ""]
    assert body[3].startswith("Return ")
