"""The baseline kernel paths (no AVX2, no vector libm) give the results the wide ones give."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent
# The suites whose kernels have wide variants chosen at run time.
SUITES = [
    "test_tintora_colormap.py",
    "test_tintora_lambda.py",
    "test_tintora_paint.py",
    "test_tintora_shepard.py",
    "test_brelvo_field.py",
    "test_brelvo_polar.py",
]


@pytest.mark.skipif(bool(os.environ.get("VIS_GENERIC_KERNELS")), reason="already on the baseline paths")
def test_suites_pass_on_the_baseline_kernels():
    env = dict(os.environ, VIS_GENERIC_KERNELS="1")
    cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(str(HERE / s) for s in SUITES)]
    run = subprocess.run(cmd, env=env, cwd=HERE.parent, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
