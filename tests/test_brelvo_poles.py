import functools

import numpy as np
import pytest
from PyQt5.QtGui import QImage

import visualization.brelvo as brelvo
from reference_brelvo_polar import polar_bytes, strongest_poles

NONE = {"metal": None, "void": None}


def record(colours, bearings=None, ranges=None, extra=()):
    c = np.asarray(colours, dtype=float)
    n = len(c)
    b = np.linspace(0, 350, n) if bearings is None else np.asarray(bearings, float)
    r = np.full(n, 5.0) if ranges is None else np.asarray(ranges, float)
    return (b, r, c) + tuple(extra)


def poles(cloud, **kw):
    args = dict(r_off=0.0, top=20.0)
    args.update(kw)
    return brelvo.en_guclu_kutup_indeksleri(cloud, **args)


def with_elements(cloud, n_elements, **at):
    filler = [np.zeros(len(cloud[0])) for _ in range(n_elements)]
    out = list(cloud) + filler[len(cloud):]
    for i, v in at.items():
        out[int(i[1:])] = v
    return tuple(out[:n_elements])


@pytest.mark.parametrize(
    "cloud",
    [
        None,
        (np.zeros(0), np.zeros(0), np.zeros((0, 3))),
        (np.zeros(2), np.ones(2), np.zeros(6)),
        (np.zeros(2), np.ones(2), np.zeros((2, 2))),
        (np.zeros(2), np.full(2, 50.0), np.array([[255, 0, 0], [0, 0, 255]])),
        record([[100, 200, 90], [90, 0, 110], [125, 50, 100]]),
    ],
)
def test_nothing_found(cloud):
    got = poles(cloud)
    assert got == NONE and list(got) == ["metal", "void"]


def test_red_and_blue():
    cols = [[100, 100, 100]] * 8
    cols[3], cols[5] = [255, 0, 0], [0, 0, 255]
    cloud = record(cols)
    assert poles(cloud) == {"metal": 3, "void": 5}
    out = brelvo.en_guclu_kutuplar(cloud, 0.0, 20.0)
    assert out == {"metal": (float(cloud[0][3]), 5.0), "void": (float(cloud[0][5]), 5.0)}
    assert all(type(v) is float for v in out["metal"])


def test_less_green_wins():
    assert poles(record([[255, 40, 0], [255, 10, 0]]))["metal"] == 1


@pytest.mark.parametrize(
    "n_el, signals_at, ids, expect",
    [
        (8, "e7", None, {"metal": 1, "void": 0}),
        (12, "e11", None, {"metal": 1, "void": 0}),
        (10, "e7", np.array([5, 5]), {"metal": 1, "void": 0}),
        (10, None, np.array([9, 4]), {"metal": 1, "void": 1}),
        (10, None, np.array([3, 3]), {"metal": 0, "void": 0}),
        (9, None, None, {"metal": 0, "void": 0}),
        (10, None, np.array(["b", "a"]), {"metal": 1, "void": 1}),
        (10, None, np.array([2.5, np.nan]), {"metal": 0, "void": 0}),
        (10, None, np.array([np.nan, 2.5]), {"metal": 1, "void": 1}),
        (10, None, np.array([7, 3], np.uint64), {"metal": 1, "void": 1}),
    ],
)
def test_tie_breaks(n_el, signals_at, ids, expect):
    same_red = [[200, 0, 0], [200, 0, 0]]
    same_blue = [[0, 0, 200], [0, 0, 200]]
    for cols, key in [(same_red, "metal"), (same_blue, "void")]:
        base = record(cols)
        at = {}
        if signals_at:
            at[signals_at] = np.array([1.0, 2.0])
        if ids is not None:
            at["e9"] = ids
        cloud = with_elements(base, n_el, **at)
        if n_el >= 12 and signals_at == "e11":
            cloud = cloud[:7] + (np.array([9.0, -9.0]),) + cloud[8:]  # element 7 is not read
        assert poles(cloud)[key] == expect[key]
        assert poles(cloud) == strongest_poles(cloud, 0.0, 20.0)


def test_nan_signal_ranks_as_zero():
    cloud = with_elements(record([[200, 0, 0], [200, 0, 0]]), 8, e7=np.array([np.nan, -1.0]))
    assert poles(cloud)["metal"] == 0


@pytest.mark.parametrize("polarity, found", [(25.0, False), (25.5, True), (26.0, True)])
def test_threshold_is_strict(polarity, found):
    cloud = record([[polarity, 0, 0], [10, 0, 10]])
    assert (poles(cloud)["metal"] == 0) is found
    cloud = record([[0, 0, polarity], [10, 0, 10]])
    assert (poles(cloud)["void"] == 0) is found


def test_invisible_targets_are_skipped_but_counted():
    cols = [[255, 0, 0], [255, 0, 0], [255, 0, 0], [250, 0, 0]]
    cloud = record(cols, ranges=[30.0, 0.2, np.nan, 3.0])
    assert poles(cloud, min_bosluk_m=0.5)["metal"] == 3


@pytest.mark.parametrize("which", ["e7", "e9"])
def test_short_signal_or_id_raises(which):
    cloud = with_elements(record([[255, 0, 0]] * 4), 10, **{which: np.zeros(2)})
    with pytest.raises((IndexError, ValueError)):
        poles(cloud)


def rgba_image(w, h, pixels):
    img = QImage(w, h, QImage.Format_RGBA8888)
    img.fill(0)
    for (x, y), rgba in pixels.items():
        img.setPixelColor(x, y, __import__("PyQt5.QtGui").QtGui.QColor(*rgba))
    return img


@pytest.mark.parametrize("w, col", [(5, 2), (7, 4), (6, 3), (8, 4)])
def test_image_rounding_ties_to_even(w, col):
    cloud = record([[0, 0, 0]], bearings=[0.0], ranges=[0.0])
    img = rgba_image(w, w, {(col, w // 2 if w % 2 == 0 else (4 if w == 7 else 2)): (255, 0, 0, 255)})
    assert poles(cloud, image=img, scale=1.0)["metal"] == 0


def test_image_colours_replace_record_colours():
    cloud = record([[255, 0, 0], [0, 0, 255], [255, 0, 0]], bearings=[90.0, 270.0, 0.0], ranges=[3.0, 3.0, 100.0])
    img = rgba_image(11, 11, {(8, 6): (0, 0, 255, 255), (2, 6): (255, 0, 0, 0)})  # rint(5.5) = 6
    # Target 0 is drawn blue; target 1 sits on a transparent pixel; target 2 is off the image.
    got = poles(cloud, top=200.0, image=img, scale=1.0)
    assert got == {"metal": None, "void": 0}
    assert got == strongest_poles(cloud, 0.0, 200.0, image=img, scale=1.0)


@pytest.mark.parametrize("image, scale", [("null", 1.0), ("img", None)])
def test_image_path_disabled(image, scale):
    cloud = record([[255, 0, 0], [0, 0, 255]])
    img = QImage() if image == "null" else rgba_image(3, 3, {})
    assert poles(cloud, image=img, scale=scale) == poles(cloud)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, 1e300, -1e300, 9.3e18])
def test_projected_positions_are_range_checked(bad):
    cloud = record([[255, 0, 0]] * 3, bearings=[0.0, 90.0, 45.0], ranges=[1.0, 2.0, 3.0])
    img = rgba_image(9, 9, {(x, y): (255, 0, 0, 255) for x in range(9) for y in range(9)})
    assert poles(cloud, image=img, scale=bad) == strongest_poles(cloud, 0.0, 20.0, image=img, scale=bad)


@pytest.mark.parametrize("seed", range(6))
def test_agrees_with_numpy_formulation(seed):
    g = np.random.default_rng(seed)
    n = 400
    cols = g.integers(0, 256, (n, 3)).astype(float)
    if seed % 2:
        cols = np.round(g.uniform(0, 255, (n, 3)) * 2) / 2  # fractional colours, many ties
    cols[g.integers(0, n, 40)] = cols[0]
    cloud = (g.uniform(-180, 540, n), g.uniform(0, 22, n), cols, 0, 0, 0, 0, g.integers(0, 3, n).astype(float),
             0, g.integers(0, 50, n))
    for kw in [dict(), dict(min_bosluk_m=3.0)]:
        assert poles(cloud, **kw) == strongest_poles(cloud, 0.0, 20.0, **kw)
    rb, _ = polar_bytes(cloud, 10.0, 20.0, 0.0, 200.0, hucre=1)
    img = QImage(rb.tobytes(), 400, 400, 1600, QImage.Format_ARGB32).copy()
    assert poles(cloud, image=img, scale=10.0) == strongest_poles(cloud, 0.0, 20.0, image=img, scale=10.0)


# -- unusual memory layouts and image-like objects -----------------------------

def odd_offset(a):
    """A copy of `a` whose elements start at an odd byte offset of their buffer."""
    a = np.asarray(a)
    buf = bytearray(a.nbytes + a.dtype.itemsize + 1)
    out = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def byte_swapped(a):
    a = np.asarray(a)
    return a.astype(a.dtype.newbyteorder())


def every_other(a):
    a = np.asarray(a)
    big = np.repeat(a, 2, axis=0)
    return big[::2]


LAYOUTS = {"odd offset": odd_offset, "byte-swapped": byte_swapped, "strided": every_other,
           "odd offset, strided": lambda a: odd_offset(np.repeat(np.asarray(a), 2, axis=0))[::2],
           "odd offset, byte-swapped": lambda a: odd_offset(byte_swapped(a))}


def layout_record(seed=3, n=40):
    g = np.random.default_rng(seed)
    cols = g.integers(0, 256, (n, 3)).astype(float)
    cols[g.integers(0, n, 10)] = cols[0]  # ties, decided by signal and source index
    return [g.uniform(-180, 540, n), g.uniform(0, 22, n), cols, 0, 0, 0, 0, g.integers(0, 3, n).astype(float),
            0, g.integers(0, 5, n)]


@functools.lru_cache(maxsize=1)
def layout_image():
    """The polar view of the layout record, as drawn."""
    rb, _ = polar_bytes(tuple(layout_record()), 10.0, 20.0, 0.0, 100.0, hucre=1)
    return QImage(rb.tobytes(), 200, 200, 800, QImage.Format_ARGB32).copy()


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("element", [0, 1, 2, 7, 9])
@pytest.mark.parametrize("id_dtype", [np.int64, np.uint64, np.float64])
def test_any_memory_layout_gives_the_plain_result(layout, element, id_dtype):
    plain = layout_record()
    plain[9] = plain[9].astype(id_dtype)
    odd = list(plain)
    odd[element] = LAYOUTS[layout](plain[element])
    assert np.array_equal(odd[element], plain[element])
    for kw in [dict(), dict(min_bosluk_m=3.0), dict(image=layout_image(), scale=10.0)]:
        want = poles(tuple(plain), **kw)
        assert want == strongest_poles(tuple(plain), 0.0, 20.0, **kw)
        assert poles(tuple(odd), **kw) == want
    assert brelvo.en_guclu_kutuplar(tuple(odd), 0.0, 20.0) == brelvo.en_guclu_kutuplar(tuple(plain), 0.0, 20.0)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("element", [0, 1])
def test_visibility_band_reads_any_memory_layout(layout, element):
    plain = layout_record()[:3]
    plain[1][::5] = np.nan
    odd = list(plain)
    odd[element] = LAYOUTS[layout](plain[element])
    for args in [(0.0, 20.0), (1.0, 5.0, 0.5), (-2.0, 12.0, 3.0)]:
        want = brelvo.visible_cloud_mask(tuple(plain), *args)
        np.testing.assert_array_equal(brelvo.visible_cloud_mask(tuple(odd), *args), want)
    # A single bearing broadcast against every range.
    one = (LAYOUTS[layout](plain[0][:1]), plain[1], plain[2])
    np.testing.assert_array_equal(brelvo.visible_cloud_mask(one, 0.0, 20.0),
                                  brelvo.visible_cloud_mask((plain[0][:1], plain[1], plain[2]), 0.0, 20.0))


class SetAnswers:
    """Answers to an image's questions that a test sets: null, width, convertToFormat."""

    null = False
    w = 3

    def isNull(self):
        return self.null

    def convertToFormat(self, fmt):
        return self

    def width(self):
        return self.w


class LookAlike(SetAnswers):
    """An image-like object that is no QImage; its answers are whatever a test sets."""

    def __init__(self, null=False, width=3):
        self.null, self.w = null, width

    def height(self):
        return 3

    def bytesPerLine(self):
        return 12

    def constBits(self):
        return QImage(3, 3, QImage.Format_RGBA8888).constBits()


class LyingImage(SetAnswers, QImage):
    """A genuine QImage whose Python-level answers are not Qt's."""

    def height(self):
        return 10 ** 6

    def bytesPerLine(self):
        return 2 ** 40


class Undecided:
    def __bool__(self):
        raise ValueError("no truth value")


def red_image(cls=QImage):
    img = cls(5, 5, QImage.Format_RGBA8888)
    img.fill(__import__("PyQt5.QtGui").QtGui.QColor(255, 0, 0, 255))
    return img


@pytest.mark.parametrize("fake, error", [
    (LookAlike(null=np.array([True, False])), ValueError),
    (LookAlike(null=Undecided()), ValueError),
    (LookAlike(width=2 ** 31), TypeError),
    (LookAlike(width=10 ** 30), TypeError),
    (LookAlike(), TypeError),
])
def test_image_like_objects_raise_ordinary_errors(fake, error):
    cloud = record([[255, 0, 0], [0, 0, 255]], bearings=[0.0, 90.0], ranges=[0.0, 1.0])
    with pytest.raises(error):
        poles(cloud, image=fake, scale=1.0)


@pytest.mark.parametrize("null, width", [(False, 3), (np.bool_(False), 2 ** 31), (0, -1), (False, 10 ** 30)])
def test_pixels_are_read_with_qts_own_layout(null, width):
    cloud = record([[0, 0, 255], [0, 0, 255]], bearings=[0.0, 90.0], ranges=[0.0, 1.0])
    lying = red_image(LyingImage)
    lying.null, lying.w = null, width
    assert poles(cloud) == {"metal": None, "void": 0}
    want = poles(cloud, image=red_image(), scale=1.0)
    assert want == {"metal": 0, "void": None}
    assert poles(cloud, image=lying, scale=1.0) == want


def test_truth_of_is_null_is_pythons():
    cloud = record([[0, 0, 255]], bearings=[0.0], ranges=[0.0])
    lying = red_image(LyingImage)
    lying.null = np.array([1, 2])
    with pytest.raises(ValueError):
        poles(cloud, image=lying, scale=1.0)
    lying.null = [1]  # a true value: the record's own colours
    assert poles(cloud, image=lying, scale=1.0) == {"metal": None, "void": 0}
