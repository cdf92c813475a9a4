"""Known gaps of the platforms the suite runs on, so that every skip names its cause."""
import os
import sys

import pytest

# Set by scripts/test-windows.sh, which runs the suite on Windows CPython under wine.
UNDER_WINE = os.environ.get("VIS_UNDER_WINE") == "1"
WINDOWS = sys.platform == "win32"

# wine 8's ucrtbase.dll does not implement cimag; NumPy's complex arithmetic
# calls it, and the process dies ("Unimplemented function ucrtbase.dll.cimag").
WINE_LACKS_CIMAG = "wine 8's ucrtbase.dll has no cimag, which NumPy's complex arithmetic calls"
needs_complex_arithmetic = pytest.mark.skipif(UNDER_WINE, reason=WINE_LACKS_CIMAG)
