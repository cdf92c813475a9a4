import importlib


def test_modules_load_without_gui():
    geo = importlib.import_module("visualization.geo")
    assert geo.math is importlib.import_module("math")
