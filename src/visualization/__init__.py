"""Numerical core of the scanner's views.

Three compiled modules, imported on their own so that a host needing only one
pays for only one:

- ``visualization.tintora``: anomaly colouring (palette, lambda, paint, Shepard fill).
- ``visualization.brelvo``: the sonar blob field (needs PyQt5; SciPy optional).
- ``visualization.geo``: geographic projection (pygeomag optional).

``visualization.__version__`` is the installed distribution's version.
"""


def _version():
    from importlib import metadata

    try:
        return metadata.version(__name__)
    except metadata.PackageNotFoundError:
        # A source tree put on sys.path without installing it: pyproject.toml is the one source.
        import tomllib
        from pathlib import Path

        pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
        with open(pyproject, "rb") as f:
            return tomllib.load(f)["project"]["version"]


def __getattr__(name):
    # Resolved on first use: importing importlib.metadata costs more than loading a module.
    if name == "__version__":
        global __version__
        __version__ = _version()
        return __version__
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
