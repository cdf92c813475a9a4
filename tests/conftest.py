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
