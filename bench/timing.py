"""Shared by the benchmark scripts: best-of-N timing, and the tests' folder on
sys.path so the scripts reuse the NumPy reference formulations kept there."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))


def best(fn, reps, clock=time.perf_counter):
    """The shortest of `reps` timings of fn() in seconds, wall-clock unless another
    clock is given (time.process_time for the processor time)."""
    times = []
    for _ in range(reps):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return min(times)
