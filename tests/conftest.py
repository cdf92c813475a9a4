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


# Set by the scripts that run the suite on an emulated CPU (qemu-aarch64): a
# test marked wall_clock measures this CPU's speed, which emulation distorts.
EMULATED = os.environ.get("VIS_EMULATED")


def pytest_configure(config):
    config.addinivalue_line("markers", "wall_clock: measures the speed of this CPU in wall-clock or processor time")


def pytest_collection_modifyitems(config, items):
    if not EMULATED:
        return
    skip = pytest.mark.skip(reason=f"measures the speed of this CPU, which {EMULATED} emulates")
    for item in items:
        if "wall_clock" in item.keywords:
            item.add_marker(skip)
