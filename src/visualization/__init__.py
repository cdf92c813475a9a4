"""Numerical core of the scanner's views.

Three compiled modules, imported on their own so that a host needing only one
pays for only one:

- ``visualization.tintora``: anomaly colouring (palette, lambda, paint, Shepard fill).
- ``visualization.brelvo``: the sonar blob field (needs PyQt5; SciPy optional).
- ``visualization.geo``: geographic projection (pygeomag optional).
"""
