"""Timing of visualization.geo's scalar functions against the same formulas in
plain Python with `math` (tests/reference_geo.py), measured in the same run.

Each workload is one call with fixed float arguments, timed as a plain call
statement; the time is the best of several timeit repeats, per call. Run: PYTHONPATH=src python bench/bench_geo.py
"""
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import reference_geo as ref  # noqa: E402
from visualization import geo  # noqa: E402


class _Result:
    d = 6.1


class _Model:
    def calculate(self, glat, glon, alt, time):
        return _Result()


def _setup_declination():
    # Both versions get the same stand-in model and a warm cache entry.
    for mod in (geo, ref):
        mod._GEOMAG, mod._GEOMAG_TRIED, mod._DECL_CACHE = _Model(), True, {}
        mod.magnetic_declination(39.92, 32.85, 2026.37)


WORKLOADS = [
    # name, goal ratio, argument tuple
    ("destination_point", 5.0, (39.92, 32.85, 45.0, 30.0)),
    ("distance_between", 5.0, (39.92, 32.85, 39.93, 32.86)),
    ("initial_bearing", 5.0, (39.92, 32.85, 39.93, 32.86)),
    ("latlon_to_world_px", 5.0, (39.92, 32.85, 18)),
    ("world_px_to_latlon", 5.0, (40000000.0, 25000000.0, 18)),
    ("zoom_for_range", 5.0, (39.92, 30.0, 600)),
    ("true_bearing", 2.0, (350.0, 6.1)),
    ("meters_per_pixel", 2.0, (39.92, 19)),
    ("target_uncertainty_m", 2.0, (30.0, 2.5, True)),
    ("magnetic_declination", 2.0, (39.92, 32.85, 2026.37)),  # cache hit
]


def _timer(fn, args):
    names = [f"a{i}" for i in range(len(args))]
    env = dict(zip(names, args), f=fn)
    return timeit.Timer(f"f({', '.join(names)})", globals=env)


def _pair(ours, theirs, args, number, rounds=15):
    # Alternate the two so that load from other processes hits both alike;
    # the best round of each is its time.
    a, b = _timer(ours, args), _timer(theirs, args)
    ta = tb = float("inf")
    for _ in range(rounds):
        ta = min(ta, a.timeit(number))
        tb = min(tb, b.timeit(number))
    return ta / number, tb / number


def main():
    _setup_declination()
    number = 20000
    print(f"{'workload':24s} {'ours ns':>9s} {'python ns':>10s} {'ratio':>7s} {'goal':>5s}")
    failures = 0
    for name, goal, args in WORKLOADS:
        ours, theirs = _pair(getattr(geo, name), getattr(ref, name), args, number)
        ratio = theirs / ours
        ok = ratio >= goal
        failures += not ok
        print(f"{name:24s} {ours * 1e9:9.1f} {theirs * 1e9:10.1f} {ratio:7.2f} {goal:5.1f}{'' if ok else '  below goal'}")
    return failures


if __name__ == "__main__":
    main()
