import os

import pytest

# Qt must never look for a display: the tests render into offscreen images.
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")


@pytest.fixture(scope="session", autouse=True)
def _sanitized_build_is_the_one_tested():
    """Under ./dev sanitize the instrumented modules must be the ones imported."""
    if os.environ.get("VIS_SANITIZED"):
        import visualization.geo as geo

        assert "build/sanitize" in geo.__file__


@pytest.fixture
def ctrl_c():
    """press(module, call): runs call() on the main thread, presses Ctrl-C once the
    call has checked for it ten times, and returns the KeyboardInterrupt it raised.

    Ctrl-C must take effect within 0.2 s. The module's calls count their checks
    (`_signal_checks()`), and checks come at most once per polling interval, so
    the call must have checked at least once per 0.2 s from its first check to
    its return: an interval above 0.2 s fails however loaded the machine is, and
    so does a call that runs on for seconds after the check told it to stop."""
    import _thread
    import signal
    import threading
    import time

    # A process started in the background of a shell inherits SIGINT ignored,
    # and Python then keeps it so: install the interpreter's usual handler.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)

    def press(module, call):
        start = module._signal_checks()
        first_check = []
        returned = threading.Event()

        def press_after_ten_checks():
            while not returned.is_set():
                made = module._signal_checks() - start
                if made and not first_check:
                    first_check.append(time.monotonic())
                if made >= 10:
                    _thread.interrupt_main()
                    return
                time.sleep(0.002)

        presser = threading.Thread(target=press_after_ten_checks)
        presser.start()
        try:
            with pytest.raises(KeyboardInterrupt) as info:
                call()
        finally:
            end = time.monotonic()
            returned.set()
            presser.join()
        made = module._signal_checks() - start
        assert made * 0.2 > end - first_check[0], f"{made} checks in {end - first_check[0]:.2f} s"
        return info

    yield press
    signal.signal(signal.SIGINT, previous)
