"""Requests whose output or working memory cannot fit raise MemoryError (or
ValueError) before anything large is allocated. Every input here is cheap:
broadcast views and zero-width arrays cost the caller nothing."""

import sys

import numpy as np
import pytest

if sys.platform == "win32":
    pytest.skip("the address-space cap these tests run under needs the POSIX resource module",
                allow_module_level=True)
import resource  # noqa: E402

from visualization import brelvo, tintora

@pytest.fixture(autouse=True)
def address_space_cap():
    """A cap on the address space: an allocation the checks should have refused fails the test
    with MemoryError from the allocator, never by exhausting the machine.  Sanitizer runtimes
    reserve huge shadow mappings, so the cap applies to the plain build only."""
    import os

    if os.environ.get("VIS_SANITIZED"):
        yield
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (min(hard, 2 << 30) if hard > 0 else 2 << 30, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def cloud(n=3):
    b = np.linspace(0.0, 90.0, n)
    return (b, np.full(n, 5.0), np.tile(np.array([[255, 0, 0]], np.uint8), (n, 1)))


@pytest.mark.parametrize("rr", [1e7, 1e9, 1e12, 46341.0])
def test_polar_frame_too_large(rr):
    with pytest.raises(MemoryError):
        brelvo.render_polar_alan(cloud(), 1.0, 10.0, 0.0, rr, hucre=1)


def test_polar_frame_too_large_even_subsampled():
    with pytest.raises(MemoryError):
        brelvo.render_polar_alan(cloud(), 1.0, 10.0, 0.0, 1e7, hucre=1000)


@pytest.mark.parametrize("top, scale", [(1e6, 1e6), (1e5, 1e3), (1e150, 1e150)])
def test_blob_field_grid_is_capped(top, scale):
    img = brelvo.build_field(cloud(), top, scale)
    assert img is None or img.width() <= 601


@pytest.mark.parametrize("top, scale", [(10.0, 1e-3), (10.0, 1e-9), (1e-6, 1e-12)])
def test_blob_field_stencil_too_large(top, scale):
    # 10 px at a tiny scale makes a kernel radius of kilometres on a grid of centimetres.
    with pytest.raises(MemoryError):
        brelvo.build_field(cloud(), top, scale)


def test_kdtree_query_of_a_billion_rows():
    tree = brelvo._NumpyKDTree(np.zeros((4, 2)))
    q = np.broadcast_to(np.zeros((1, 2)), (10 ** 9, 2))
    with pytest.raises(MemoryError):
        tree.query(q, k=1)


def test_kdtree_query_of_a_billion_zero_width_rows():
    # Already C-contiguous float64 (no copy needed), but the results cannot fit.
    tree = brelvo._NumpyKDTree(np.zeros((4, 0)))
    with pytest.raises(MemoryError):
        tree.query(np.empty((2 * 10 ** 9, 0)), k=3)


def test_kdtree_over_a_billion_points():
    tree = brelvo._NumpyKDTree(np.empty((2 * 10 ** 9, 0)))
    with pytest.raises((MemoryError, ValueError)):
        tree.query(np.empty((1, 0)), k=1)


def test_rbf_fill_huge_query_count():
    with pytest.raises(MemoryError):
        tintora.rbf_fill(np.empty((2 * 10 ** 9, 0)), np.empty((1, 0)), [1.0], 2.0, 0.0)


def test_rbf_fill_huge_broadcast_query():
    q = np.broadcast_to(np.zeros((1, 3)), (10 ** 9, 3))
    with pytest.raises(MemoryError):
        tintora.rbf_fill(q, np.zeros((2, 3)), [1.0, 2.0], 2.0, 0.0)


@pytest.mark.parametrize("fn", [tintora.apply_colormap, tintora.running_baseline,
                                lambda t: tintora.compute_lambda(t, 0.0, -1.0, 1.0, 0.0),
                                lambda t: tintora.boya(t, 0.0, -1.0, 1.0, 0.0)])
def test_tintora_huge_broadcast_input(fn):
    t = np.broadcast_to(np.float32(0.5), (10 ** 6, 10 ** 6))
    with pytest.raises(MemoryError):
        fn(t)


def test_colormap_output_too_large():
    # 1.5 * 10**9 values already in float64 as a zero-stride view: the RGBA result alone needs 6 GB.
    t = np.broadcast_to(np.float64(0.5), (3 * 10 ** 9,))
    with pytest.raises(MemoryError):
        tintora.apply_colormap(t)


def test_lambda_from_colors_huge_input():
    # Zero-stride colour rows are read in place; the 2 * 10**9 lambdas alone need 16 GB.
    cols = np.broadcast_to(np.uint8(7), (2 * 10 ** 9, 3))
    with pytest.raises(MemoryError):
        brelvo.lambda_from_colors(cols)


def test_module_state_unchanged_after_refusal():
    before = dict(brelvo._LUT_CACHE)
    with pytest.raises(MemoryError):
        brelvo.lambda_from_colors(np.broadcast_to(np.uint8(7), (2 * 10 ** 9, 3)))
    assert brelvo._LUT_CACHE.keys() == before.keys()


class SizeLiar(np.ndarray):
    """An ndarray subclass whose `size` is not a valid element count."""

    lie = -1

    @property
    def size(self):
        return self.lie


def liar(a, lie, dtype=float):
    out = np.asarray(a, dtype=dtype).view(SizeLiar)
    out.lie = lie
    return out


LIAR_CALLS = {
    "apply_colormap": lambda x: tintora.apply_colormap(x),
    "running_baseline": lambda x: tintora.running_baseline(x),
    "rbf_fill": lambda x: tintora.rbf_fill(x, [[0.0, 0.0], [1.0, 1.0]], [1.0, 2.0], 2.0, 0.0),
    "_NumpyKDTree.query": lambda x: brelvo._NumpyKDTree(np.eye(2)).query(x, k=1),
    "lambda_from_colors": lambda x: brelvo.lambda_from_colors(x),
}


@pytest.mark.parametrize("lie, error", [(-1, ValueError), (10 ** 30, OverflowError), (2 ** 64, OverflowError),
                                        (1.5, TypeError), (None, TypeError)])
@pytest.mark.parametrize("name", sorted(LIAR_CALLS))
def test_subclass_misreporting_its_size_raises_an_ordinary_error(name, lie, error):
    x = [[0.25, 0.5], [0.75, 1.0]] if name != "lambda_from_colors" else [[128.0, 64.0, 255.0]]
    # float64 and uint8 colour rows are read in place, without asking for `size`;
    # float32 ones are converted first.
    dtype = np.float32 if name == "lambda_from_colors" else float
    LIAR_CALLS[name](np.asarray(x, dtype=dtype))  # the plain array is fine
    with pytest.raises(error):
        LIAR_CALLS[name](liar(x, lie, dtype))


def test_colour_rows_read_in_place_ignore_a_misreported_size():
    x = np.array([[128.0, 64.0, 255.0], [0.0, 50.0, 0.0]])
    assert np.array_equal(brelvo.lambda_from_colors(liar(x, -1)), brelvo.lambda_from_colors(x))


# A host's QImage class that makes an image of another height than asked for and
# answers every question as if it had not: the kernels would write past the end
# of a shorter image, so the calls run in a child process.
_OTHER_HEIGHT = """
import numpy as np
from PyQt5.QtGui import QImage
from visualization import brelvo

class OtherHeight(QImage):
    def __init__(self, width, height, fmt):
        super().__init__(width, height * self.factor // 4, fmt)
        self.asked = (width, height)

    def width(self):
        return self.asked[0]

    def height(self):
        return self.asked[1]

    def bytesPerLine(self):
        return 4 * self.asked[0]

brelvo.QImage = OtherHeight
cloud = (np.array([0.0, 90.0]), np.array([5.0, 5.0]), np.array([[255, 0, 0], [0, 0, 255]], np.uint8))
for OtherHeight.factor in (2, 3, 8):
    for call in (lambda: brelvo.build_field(cloud, 10.0, 20.0),
                 lambda: brelvo.render_polar_alan(cloud, 20.0, 10.0, 0.0, 200.0, hucre=1),
                 lambda: brelvo.render_polar_alan(cloud, 20.0, 10.0, 0.0, 200.0, hucre=2)):
        try:
            call()
            print("drawn", flush=True)
        except ValueError as e:
            print(e, flush=True)
"""


def test_qimage_class_making_another_size_raises_value_error():
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", _OTHER_HEIGHT], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.splitlines() == ["the module's QImage made an image of another size"] * 9
