"""Ctrl-C during a long call: the kernels poll for signals and the call raises
KeyboardInterrupt part-way through, instead of after finishing its work.

The signal comes from a timer thread 0.2 s into the call. Whether the call
stopped early is judged by the processor time the main thread spent in it: a
call that ran to completion needs several seconds of it on any machine, one
that stopped at the signal well under one, however loaded the machine is."""

import signal
import threading
import time

import numpy as np
import pytest

from visualization import tintora as T

rng = np.random.default_rng(31)
# Each call below needs several seconds of processor time to finish.
MANY_STOPS = np.c_[np.linspace(0.0, 1.0, 2_000_000), rng.random((2_000_000, 4))]
LAMBDAS = rng.random(8_000_000)
QUERIES = rng.normal(size=(1_000_000, 3))
SAMPLES = rng.normal(size=(4_000, 3))
VALUES = rng.normal(size=4_000)

SMALL_FILL = T.rbf_fill([[0, 0]], [[1, 0], [3, 0]], [10.0, 20.0], 2, 2.0)
SMALL_COLOURS = T.apply_colormap([0.0, 0.5, 1.0])

CALLS = {
    "rbf_fill power 2": lambda: T.rbf_fill(QUERIES, SAMPLES, VALUES, 2, 2),
    "rbf_fill power 2.4": lambda: T.rbf_fill(QUERIES, SAMPLES, VALUES, 2.4, 0.5),
    "apply_colormap": lambda: T.apply_colormap(LAMBDAS, MANY_STOPS),
    "_interp_channel_bytes": lambda: T._interp_channel_bytes(LAMBDAS, MANY_STOPS[:, 0], MANY_STOPS[:, 1]),
}


@pytest.fixture
def ctrl_c_raises():
    # A process started in the background of a shell inherits SIGINT ignored,
    # and Python then keeps it so: install the interpreter's usual handler.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("name", list(CALLS))
def test_sigint_interrupts_the_call(name, ctrl_c_raises):
    main = threading.main_thread().ident
    timer = threading.Timer(0.2, signal.pthread_kill, (main, signal.SIGINT))
    cpu0 = time.thread_time()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            CALLS[name]()
    finally:
        timer.join()
    assert time.thread_time() - cpu0 < 1.0, "the call ran to completion before the interrupt took effect"
    # Nothing of the interrupted call is left behind.
    assert T.rbf_fill([[0, 0]], [[1, 0], [3, 0]], [10.0, 20.0], 2, 2.0).tolist() == SMALL_FILL.tolist()
    assert T.apply_colormap([0.0, 0.5, 1.0]).tolist() == SMALL_COLOURS.tolist()
