"""Timing of visualization.geo's scalar functions against the same formulas in
plain Python with `math` (tests/reference_geo.py), measured in the same run.

Each workload is one call with fixed float arguments, timed as a plain call
statement; the time is the best of several timeit repeats, per call. Then
project_targets over the host's clouds of targets, against the host's loop over
the plain formulations and against the same loop over our scalar functions.
Run: PYTHONPATH=src python bench/bench_geo.py

    python bench/bench_geo.py --builds A/geo.so B/geo.abi3.so ...

times the scalar calls of several builds of the module side by side instead
(for example a version-specific build against a stable-ABI one), in ns per call.
"""
import argparse
import importlib.util
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import reference_geo as ref  # noqa: E402
from timing import best  # noqa: E402


class _Result:
    d = 6.1


class _Model:
    def calculate(self, glat, glon, alt, time):
        return _Result()


def _setup_declination(modules):
    # Every version gets the same stand-in model and a warm cache entry.
    for mod in modules:
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


def _best(fns, args, number, rounds=15):
    # Alternate the versions so that load from other processes hits all alike;
    # the best round of each is its time per call.
    timers = [_timer(fn, args) for fn in fns]
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, t in enumerate(timers):
            best[i] = min(best[i], t.timeit(number))
    return [b / number for b in best]


def _load_build(path):
    found = importlib.util.spec_from_file_location("geo", path)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


def compare_builds(paths, number=20000):
    mods = [_load_build(p) for p in paths]
    _setup_declination(mods)
    for i, p in enumerate(paths):
        print(f"build {i}: {p}")
    print(f"{'workload':24s} " + " ".join(f"{'build ' + str(i) + ' ns':>12s}" for i in range(len(mods))))
    for name, _goal, args in WORKLOADS:
        times = _best([getattr(m, name) for m in mods], args, number)
        print(f"{name:24s} " + " ".join(f"{t * 1e9:12.1f}" for t in times))


ORIGIN = (39.92, 32.85)
DECLINATION = 6.1
ZOOM = 19  # what zoom_for_range gives for the sonar disc on a 512-pixel map


def scalar_chain(mod, bearings, ranges):
    """The host's loop: every target through the scalar functions of `mod`."""
    lat0, lon0 = ORIGIN
    out = []
    for b, r in zip(bearings.tolist(), ranges.tolist()):
        tb = mod.true_bearing(b, DECLINATION)
        lat, lon = mod.destination_point(lat0, lon0, tb, r)
        x, y = mod.latlon_to_world_px(lat, lon, ZOOM)
        out.append((lat, lon, x, y, mod.target_uncertainty_m(r) / mod.meters_per_pixel(lat, ZOOM)))
    return out


def bench_project_targets(geo, goal=20.0):
    from workloads import host_cloud

    print(f"{'project_targets':24s} {'ours ms':>9s} {'plain loop':>11s} {'ratio':>7s} {'our loop':>9s} {'ratio':>7s} {'goal':>5s}")
    failures = 0
    for n in (300, 3000, 5000):
        bearings, ranges = host_cloud(n, seed=n, signals=False)[:2]
        geo.project_targets(*ORIGIN, bearings, ranges, ZOOM, DECLINATION)  # NumPy's first import is not timed
        ours = best(lambda: geo.project_targets(*ORIGIN, bearings, ranges, ZOOM, DECLINATION), 30)
        plain = best(lambda: scalar_chain(ref, bearings, ranges), 7)
        loop = best(lambda: scalar_chain(geo, bearings, ranges), 7)
        ok = loop / ours >= goal
        failures += not ok
        print(f"{str(n) + ' targets':24s} {ours * 1e3:9.3f} {plain * 1e3:11.3f} {plain / ours:7.1f} "
              f"{loop * 1e3:9.3f} {loop / ours:7.1f} {goal:5.1f}{'' if ok else '  below goal'}")
    return failures


def main():
    from visualization import geo

    _setup_declination((geo, ref))
    number = 20000
    print(f"{'workload':24s} {'ours ns':>9s} {'python ns':>10s} {'ratio':>7s} {'goal':>5s}")
    failures = 0
    for name, goal, args in WORKLOADS:
        ours, theirs = _best((getattr(geo, name), getattr(ref, name)), args, number)
        ratio = theirs / ours
        ok = ratio >= goal
        failures += not ok
        print(f"{name:24s} {ours * 1e9:9.1f} {theirs * 1e9:10.1f} {ratio:7.2f} {goal:5.1f}{'' if ok else '  below goal'}")
    return failures + bench_project_targets(geo)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="geo scalar call timings")
    parser.add_argument("--builds", nargs="+", metavar="SO", help="geo extension files to time side by side")
    opts, _rest = parser.parse_known_args()
    if opts.builds:
        compare_builds(opts.builds)
    else:
        main()
