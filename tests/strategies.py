"""Hostile-input strategies shared by the fuzz tests.

Every generator here produces arguments that a careless host could pass:
wrong shapes and dimensions, ragged lists, empty arrays, NaN and infinities,
huge and tiny values, every dtype NumPy knows in both byte orders, non-contiguous,
Fortran-ordered, negative-stride and misaligned views (elements at an odd byte
offset of their buffer), array subclasses that misreport their size, None and
scalars where arrays belong.  Sizes stay
small so each call is fast; arguments that decide an output size are capped,
apart from a few values that must be refused before anything is allocated.

Profiles: the default runs a few dozen examples per test (CI).  Set
VIS_FUZZ_EXAMPLES=N for N examples per test, or VIS_FUZZ=long for a long run
(5000 per test).  With VIS_FUZZ_REPORT=path the number of calls made per
function is written to that file as JSON when the session ends.
"""

import atexit
import collections
import json
import math
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from platform_gaps import UNDER_WINE

# ---------------------------------------------------------------- profile

_LONG = os.environ.get("VIS_FUZZ", "") == "long"
EXAMPLES = int(os.environ.get("VIS_FUZZ_EXAMPLES", "0") or 0) or (5000 if _LONG else 30)

FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    derandomize=not (_LONG or os.environ.get("VIS_FUZZ_EXAMPLES")),
    suppress_health_check=list(HealthCheck),
    print_blob=True,
)

# The errors a malformed argument may raise (NumPy's own errors subclass these).
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, MemoryError)

COUNTS = collections.Counter()
RAISED = collections.Counter()


def _report():
    path = os.environ.get("VIS_FUZZ_REPORT")
    if not path or not COUNTS:
        return
    old = {}
    if os.path.exists(path):
        with open(path) as f:
            old = json.load(f)
    calls = collections.Counter(old.get("calls", {}))
    raised = collections.Counter(old.get("raised", {}))
    calls.update(COUNTS)
    raised.update(RAISED)
    with open(path, "w") as f:
        json.dump({"calls": dict(sorted(calls.items())), "raised": dict(sorted(raised.items()))}, f, indent=1)


atexit.register(_report)


def call(fn, *args, allowed=ALLOWED, **kwargs):
    """Calls fn; returns (True, result) or (False, exception) for an allowed error.

    Any other exception propagates and fails the test; a crash kills the run.
    """
    name = getattr(fn, "__qualname__", getattr(fn, "__name__", repr(fn)))
    COUNTS[name] += 1
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return True, fn(*args, **kwargs)
        except allowed as e:
            RAISED[name] += 1
            return False, e


# ---------------------------------------------------------------- numbers

NAN, INF = math.nan, math.inf
SPECIAL_FLOATS = [0.0, -0.0, NAN, INF, -INF, 1e308, -1e308, 5e-324, -5e-324, 2.2250738585072014e-308,
                  1e-300, 1e300, 2.0 ** 53, 2.0 ** 63, -(2.0 ** 63), 1e19, 0.5, -1.0]
JUNK = [None, "abc", "1.5", "nan", "", b"\x00" * 8, complex(1.0, 2.0), [], [1.0, 2.0], [[1.0], [2.0, 3.0]],
        {}, (), object(), 2 ** 80, -(2 ** 80), True, np.float32("nan"), np.int64(-3), np.complex128(1j),
        np.datetime64("2020-01-01"), slice(1, 2)]
if UNDER_WINE:
    # Arithmetic on NumPy's complex scalars kills the process under wine
    # (WINE_LACKS_CIMAG); test_fuzz_geo's test_numpy_complex_junk reports the gap as a skip.
    JUNK = [j for j in JUNK if not isinstance(j, np.complexfloating)]


def any_float():
    """Every double, NaN, infinities and subnormals included."""
    return st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(SPECIAL_FLOATS))


def junk():
    return st.sampled_from(JUNK)


def capped(lo, hi, extra=()):
    """Finite values in [lo, hi], the non-finite specials and a few given extras."""
    specials = [0.0, -0.0, NAN, INF, -INF, 5e-324, 1e-300, -1.0] + list(extra)
    return st.one_of(st.floats(lo, hi), st.integers(int(math.ceil(lo)), int(math.floor(hi))),
                     st.sampled_from(specials))


def number(lo=-1e6, hi=1e6, extra=()):
    """A numeric argument: mostly capped numbers, sometimes anything at all."""
    return st.one_of(capped(lo, hi, extra), capped(lo, hi, extra), any_float(), junk(),
                     st.integers(-(2 ** 70), 2 ** 70), st.booleans(), st.sampled_from(odd_scalars()))


# ---------------------------------------------------------------- arrays

DTYPES = [np.float64, np.float64, np.float32, np.float16, np.int8, np.int64, np.uint8, np.uint64, np.bool_,
          np.complex128, object, str, "M8[s]", ">f8", ">f4", ">i8", ">u8"]
LAYOUTS = ["c", "c", "f", "strided", "reversed", "list", "tuple", "matrix0d", "misaligned", "misaligned_strided",
           "size_liar"]


def misaligned(a, step=1):
    """A copy of `a` whose elements start at an odd byte offset of a byte buffer
    (every `step`-th element of such a buffer along the last axis)."""
    a = np.asarray(a)
    if a.dtype.hasobject:
        return a
    big = np.repeat(a, step, axis=-1) if (a.ndim and step > 1) else a
    buf = bytearray(big.nbytes + big.dtype.itemsize + 1)
    out = np.frombuffer(buf, dtype=big.dtype, count=big.size, offset=1).reshape(big.shape)
    out[...] = big
    return out[..., ::step] if (a.ndim and step > 1) else out


class SizeLiar(np.ndarray):
    """An ndarray subclass whose `size` is not a valid element count."""

    lie = -1

    @property
    def size(self):
        return self.lie


def size_liar(a, lie):
    out = np.asarray(a).view(SizeLiar)
    out.lie = lie
    return out


SIZE_LIES = [-1, 10 ** 30, 2 ** 63, 1.5, "3", None]


def odd_scalars():
    """Numbers as 0-d arrays at an odd byte offset, byte-swapped, or both."""
    values = [2.5, -0.0, NAN, INF, 1e300]
    return ([misaligned(np.array(v)) for v in values] + [np.array(v, dtype=">f8") for v in values]
            + [misaligned(np.array(v, dtype=">f8")) for v in values] + [size_liar(np.array(1.0), 10 ** 30)])


def _layout(a, layout, lie=-1):
    if layout == "f":
        return np.asfortranarray(a)
    if layout == "strided":
        big = np.repeat(a, 2, axis=-1) if a.ndim else a
        return big[..., ::2] if a.ndim else big
    if layout == "reversed":
        return a[::-1] if a.ndim else a
    if layout == "list":
        return a.tolist()
    if layout == "tuple":
        return tuple(a.tolist()) if a.ndim else a.tolist()
    if layout == "matrix0d":
        return a.reshape(()) if a.size == 1 else a
    if layout == "misaligned":
        return misaligned(a)
    if layout == "misaligned_strided":
        return misaligned(a, 2)
    if layout == "size_liar":
        return size_liar(a, lie)
    return a


def _cast(a, dtype):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype == "M8[s]":
            return np.nan_to_num(a, nan=0, posinf=0, neginf=0).clip(-1e9, 1e9).astype("M8[s]")
        if dtype is str:
            return a.astype(str)
        return a.astype(dtype)


@st.composite
def float_arrays(draw, shape, lo=None, hi=None):
    """float64 values of `shape`: any double, or capped to [lo, hi] plus specials."""
    n = int(np.prod(shape)) if len(shape) else 1
    if lo is None:
        elem = any_float()
    else:
        elem = st.one_of(st.floats(lo, hi), st.sampled_from([NAN, INF, -INF, 0.0, lo, hi]))
    vals = draw(st.lists(elem, min_size=n, max_size=n))
    return np.array(vals, dtype=np.float64).reshape(shape)


@st.composite
def hostile(draw, shape, lo=None, hi=None, dtypes=DTYPES, layouts=LAYOUTS):
    """An array-like of `shape` in any dtype and memory layout."""
    a = draw(float_arrays(shape, lo, hi))
    a = _cast(a, draw(st.sampled_from(dtypes)))
    return _layout(a, draw(st.sampled_from(layouts)), draw(st.sampled_from(SIZE_LIES)))


def shapes(max_dims=3, max_side=4):
    return st.lists(st.integers(0, max_side), min_size=0, max_size=max_dims).map(tuple)


def ragged():
    return st.sampled_from([[[1.0, 2.0], [3.0]], [1.0, [2.0]], [[[1.0]], [2.0]], [[1, 2, 3], [4, 5]],
                            [None, 1.0], ["a", 2.0], [[1.0, 2.0, 3.0]] * 2 + [[1.0]]])


def array_like(shape=None, lo=None, hi=None):
    """Mostly arrays (of `shape` when given, else any small shape), sometimes junk or ragged lists."""
    sh = st.just(shape) if shape is not None else shapes()
    return st.one_of(sh.flatmap(lambda s: hostile(s, lo, hi)), sh.flatmap(lambda s: hostile(s, lo, hi)),
                     sh.flatmap(lambda s: hostile(s, lo, hi)), junk(), ragged(), any_float())


@st.composite
def points(draw, max_n=6, max_d=4, lo=-50.0, hi=50.0):
    """(n, d) coordinates, occasionally 1-D, 0-D or 3-D, in any dtype and layout."""
    kind = draw(st.integers(0, 9))
    n, d = draw(st.integers(0, max_n)), draw(st.integers(0, max_d))
    if kind < 7:
        shape = (n, d)
    elif kind == 7:
        shape = (d,)
    elif kind == 8:
        shape = ()
    else:
        shape = (n, d, 2)
    return draw(st.one_of(hostile(shape, lo, hi), hostile(shape, lo, hi), hostile(shape), junk(), ragged()))


# ---------------------------------------------------------------- palettes

def _palette_pool():
    k = np.array([[0.00, 0.0, 0.0, 1.0, 1.0], [0.10, 0.0, 0.0, 1.0, 1.0], [0.25, 0.0, 1.0, 1.0, 1.0],
                  [0.50, 0.0, 0.5, 0.0, 1.0], [0.75, 1.0, 1.0, 0.0, 1.0], [0.90, 1.0, 0.0, 0.0, 1.0],
                  [1.00, 1.0, 0.0, 0.0, 1.0]])
    rng = np.random.default_rng(7)
    with np.errstate(all="ignore"):
        pool = _pool(k, rng)
    pool[27][0][1] = np.nan  # a NaN stop intensity inside a list palette
    return pool


def _pool(k, rng):
    return [None, k, k.copy(), k.tolist(), np.asfortranarray(k), k[::-1], k[:, ::-1], k.astype(np.float32),
            k.astype(object), np.zeros((0, 5)), k[:1], k[:, :4], k[None], k[0], np.hstack([k, k]),
            k * np.nan, k * np.inf, k * 1e300, -k, k * 3.0, k.astype(np.int64), k.astype(bool), k.astype(complex),
            k.astype(str), [[0.0, 0, 0, 0, 1], [1.0, 1, 1, 1, 1]], [[0.0, 0, 0, 0]], [[0.5, 1, 1, 1, 1]],
            [[1.0, 0, 0, 0, 1], [0.0, 1, 1, 1, 1]], [[0.0, 0, 0, 0, 1], [0.0, 1, 1, 1, 1]], [[0, 1], [2]],
            np.array(5.0), "abc", 3.0, np.zeros((2, 5, 3)), rng.random((9, 5)), rng.random((3, 7)) * 2 - 0.5]


# A fixed pool: the brelvo palette cache keeps one table per palette object for
# the life of the process, so fresh objects per example would grow it without end.
PALETTES = _palette_pool()


def palettes():
    return st.sampled_from(PALETTES)


# ---------------------------------------------------------------- clouds

ID_DTYPES = [np.int64, np.int32, np.uint64, np.uint8, np.float64, np.bool_, str, object, "M8[s]", ">i8", ">u8",
             ">f8"]


@st.composite
def clouds(draw, max_n=8, min_len=0, max_len=13):
    """A target record of 0..13 elements with lengths that usually, not always, agree."""
    if draw(st.integers(0, 30)) == 0:
        return draw(st.sampled_from([None, [], "abc", 5.0, (None, None, None), ([], [], [])]))
    n = draw(st.integers(0, max_n))
    size = draw(st.integers(min_len, max_len))

    def length():
        return n if draw(st.integers(0, 5)) else draw(st.integers(0, max_n + 1))

    elems = []
    for i in range(size):
        if i == 0:
            e = draw(st.one_of(hostile((length(),), -720.0, 720.0), hostile((length(),)),
                               array_like()))
        elif i == 1:
            e = draw(st.one_of(hostile((length(),), -2.0, 30.0), hostile((length(),)), array_like()))
        elif i == 2:
            m = length()
            shape = draw(st.sampled_from([(m, 3), (m, 3), (m, 4), (m, 2), (m,), (m, 3, 1), (3 * m,), ()]))
            e = draw(st.one_of(hostile(shape, -10.0, 300.0, dtypes=[np.uint8, np.float64, np.int64, np.float32,
                                                                     np.bool_, object, complex, ">f8"]),
                               hostile(shape), array_like()))
        elif i in (7, 11):
            e = draw(st.one_of(hostile((length(),), -5.0, 5.0), hostile((length(),)), array_like()))
        elif i == 9:
            e = draw(st.one_of(hostile((length(),), -3.0, 10.0, dtypes=ID_DTYPES), array_like()))
        else:
            e = draw(st.one_of(st.none(), hostile((length(),))))
        elems.append(e)
    return tuple(elems) if draw(st.integers(0, 6)) else elems


# ---------------------------------------------------------------- images

QIMAGE_FORMATS = ["Format_ARGB32", "Format_ARGB32_Premultiplied", "Format_RGB32", "Format_RGB888",
                  "Format_RGBA8888", "Format_RGBA8888_Premultiplied", "Format_Grayscale8", "Format_Indexed8",
                  "Format_Mono", "Format_RGB16", "Format_RGBX64", "Format_Alpha8", "Format_BGR30"]


def _lying_image_class():
    from PyQt5.QtGui import QImage

    class LyingImage(QImage):
        """A QImage whose Python-level answers are not Qt's."""

        answers = {}

        def __getattribute__(self, name):
            answers = QImage.__getattribute__(self, "answers")
            if name in answers:
                return lambda *args: answers[name]
            return QImage.__getattribute__(self, name)

    return LyingImage


LIES = [{"width": 2 ** 31}, {"height": 10 ** 30}, {"bytesPerLine": -1}, {"isNull": np.array([True, False])},
        {"isNull": None}, {"width": 1.5}, {"sizeInBytes": 0}, {"constBits": None}]


@st.composite
def qimages(draw, max_side=12):
    """QImages of several formats and sizes (1 x 1 included), null images, QImages
    whose methods answer with lies, look-alike objects, or None."""
    from PyQt5.QtGui import QImage

    kind = draw(st.integers(0, 11))
    if kind == 0:
        return None
    if kind == 1:
        return QImage()
    if kind in (10, 11):
        img = draw(qimages(max_side).filter(lambda i: i is None or type(i) is QImage))
        if img is None:
            return None
        lies = draw(st.sampled_from(LIES))
        if kind == 11:
            img = _lying_image_class()(img)
            img.answers = dict(lies, convertToFormat=img)  # converting keeps the lies
            return img
        look = type("LookAlike", (), {k: (lambda v: lambda self, *a: v)(v) for k, v in lies.items()})()
        look.__class__.convertToFormat = lambda self, fmt: self
        if "isNull" not in lies:
            look.__class__.isNull = lambda self: False
        return look
    fmt = getattr(QImage, draw(st.sampled_from(QIMAGE_FORMATS)))
    w, h = draw(st.integers(1, max_side)), draw(st.integers(1, max_side))
    img = QImage(w, h, fmt)
    if img.isNull():
        return img
    if fmt == QImage.Format_Indexed8:
        img.setColorCount(256)
        for i in range(256):
            img.setColor(i, (i << 24) | (i * 7 % 256 << 16) | (i * 13 % 256 << 8) | (255 - i))
    if fmt == QImage.Format_Mono:
        img.setColorCount(2)
        img.setColor(0, 0xFF0000FF)
        img.setColor(1, 0x80FF0000)
    n = img.sizeInBytes()
    data = draw(st.binary(min_size=n, max_size=n)) if n <= 4096 else bytes(n)
    ptr = img.bits()
    ptr.setsize(n)
    ptr[:n] = data
    return img
