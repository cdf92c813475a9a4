"""Shared by the benchmark scripts: best-of-N timing, and the tests' folder on
sys.path so the scripts reuse the NumPy reference formulations kept there."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))


def best(fn, reps):
    """The shortest of `reps` wall-clock timings of fn(), in seconds."""
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)
