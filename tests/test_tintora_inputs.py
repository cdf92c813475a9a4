"""Arrays in every layout a caller can hand over give the results of the same
values in an aligned, native, C-contiguous array: data at an odd byte offset
(a view into a byte buffer, which must be copied rather than read in place),
byte-swapped data, strided views and Fortran order. Under the sanitized build
a misaligned read in place aborts the run."""

import numpy as np
import pytest

from visualization import tintora as T


def misaligned(a):
    a = np.asarray(a)
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, a.dtype, a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert a.dtype.itemsize == 1 or not out.flags.aligned
    return out


def byteswapped(a):
    a = np.asarray(a)
    out = a.astype(a.dtype.newbyteorder())
    assert not out.dtype.isnative or a.dtype.itemsize == 1
    return out


def strided(a):
    out = np.repeat(np.asarray(a)[..., None], 2, axis=-1)[..., 0]
    assert not out.flags.c_contiguous
    return out


def fortran(a):
    return np.asfortranarray(a)


LAYOUTS = {"misaligned": misaligned, "byteswapped": byteswapped, "strided": strided, "fortran": fortran}

rng = np.random.default_rng(41)
LAM = rng.uniform(-0.1, 1.1, (7, 5))
LAM[0, :3] = [0.25, 0.5, 0.9]
PALETTE = np.array(T.KORVAL_BENZERI)
FIELD = rng.normal(0.0, 5.0, (6, 7))
FIELD[::3, ::2] = 0.0
MASK = rng.random((6, 7)) < 0.8
Q = rng.normal(size=(9, 3))
P = rng.normal(size=(11, 3))
P[4] = Q[2]
V = rng.normal(size=11)

# name -> (function, arguments); the arrays among the arguments are laid out
# each way in turn, one at a time.
CASES = {
    "_stops_to_bytes": (T._stops_to_bytes, [PALETTE]),
    "_interp_channel_bytes": (T._interp_channel_bytes, [LAM, PALETTE[:, 0].copy(), PALETTE[:, 2].copy()]),
    "apply_colormap": (T.apply_colormap, [LAM, PALETTE]),
    "compute_lambda": (lambda f, m: T.compute_lambda(f, 0.5, -9.0, 11.0, 1.0, mask=m), [FIELD, MASK]),
    "boya": (lambda f, m: T.boya(f, 0.5, -9.0, 11.0, 1.0, mask=m), [FIELD, MASK]),
    "running_baseline": (T.running_baseline, [FIELD]),
    "rbf_fill power 2": (lambda q, p, v: T.rbf_fill(q, p, v, 2, 0.5), [Q, P, V]),
    "rbf_fill power 2.4": (lambda q, p, v: T.rbf_fill(q, p, v, 2.4, 0.0), [Q, P, V]),
}


def same(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("name", list(CASES))
def test_layouts_give_the_aligned_result(name, layout):
    fn, args = CASES[name]
    expected = fn(*args)
    for k in range(len(args)):
        moved = list(args)
        moved[k] = LAYOUTS[layout](args[k])
        kept = moved[k].copy()
        assert same(fn(*moved), expected), f"argument {k}"
        assert same(moved[k], kept)  # the caller's array is not written


@pytest.mark.parametrize("name", ["apply_colormap", "running_baseline", "rbf_fill power 2"])
@pytest.mark.parametrize("size, exc", [(-1, ValueError), (10**30, OverflowError), ("4", TypeError)])
def test_subclass_reporting_a_bad_size(name, size, exc):
    class Odd(np.ndarray):
        @property
        def size(self):
            return size

    fn, args = CASES[name]
    with pytest.raises(exc):
        fn(*[np.asarray(a).view(Odd) for a in args])
