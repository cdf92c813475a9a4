import sys

import numpy as np
import pytest

import visualization.brelvo as brelvo
from platform_gaps import needs_complex_arithmetic
from reference_brelvo_polar import visible_cloud_mask as ref_mask


def make_cloud(n=20, seed=0, extra=()):
    g = np.random.default_rng(seed)
    return (g.uniform(-180, 180, n), g.uniform(0, 20, n), g.integers(0, 256, (n, 3)).astype(np.uint8)) + tuple(extra)


def key(cloud, **kw):
    args = dict(top=20.0, scale=20.0, power=2.4, softness=2.0)
    args.update(kw)
    return brelvo.cloud_key(cloud, **args)


def test_key_shape_and_types():
    k = key(make_cloud())
    assert len(k) == 9
    assert all(type(v) is int for v in k[:3])
    assert all(type(v) is float for v in k[3:8])
    assert k[8] == 0


def test_independent_equal_clouds_give_equal_keys():
    assert key(make_cloud(seed=3)) == key(make_cloud(seed=3))


@pytest.mark.parametrize("change", ["range", "colour", "dtype", "rgba", "bearing"])
def test_content_changes_change_the_key(change):
    a = make_cloud(seed=1)
    b = [x.copy() for x in a]
    if change == "range":
        b[1][5] += 1e-9
    elif change == "colour":
        b[2][7, 1] ^= 1
    elif change == "dtype":
        b[0] = b[0].astype(np.float32)
    elif change == "rgba":
        b[2] = np.concatenate([b[2], np.full((len(b[2]), 1), 255, np.uint8)], axis=1)
    else:
        b[0][0] = -b[0][0]
    assert key(a) != key(tuple(b))


def test_byte_image_ignores_shape_and_layout():
    a = make_cloud(seed=2)
    reshaped = (a[0].reshape(4, 5), a[1], a[2].reshape(-1))
    assert key(a) == key(reshaped)
    strided = np.empty((20, 6), np.uint8)
    strided[:, ::2] = a[2]
    assert key(a) == key((a[0], a[1], strided[:, ::2]))
    as_list = (list(a[0]), a[1].tolist(), a[2])
    assert key(a) == key(as_list)


def test_elements_beyond_colours_are_ignored():
    a = make_cloud(seed=4, extra=(1, 2, 3, 4, np.arange(20.0)))
    b = a[:7] + (np.zeros(20),)
    assert key(a) == key(b)


def test_object_arrays_hash_too():
    obj = np.array([1.5, None, "x"], dtype=object)
    k1 = key((obj, [1.0, 2.0, 3.0], np.zeros((3, 3))))
    k2 = key((obj, [1.0, 2.0, 3.0], np.zeros((3, 3))))
    assert k1 == k2


@pytest.mark.parametrize("value", [10.0, 10.00004, 2.675, 0.0625, 0.00125, 1e-5, 123456.78915, -3.14159265, 1e300])
def test_rounding_is_pythons(value):
    k = key(make_cloud(), top=value, scale=value, power=value, softness=value)
    assert k[3] == round(value, 4)
    assert k[4] == k[5] == k[6] == round(value, 3)


def test_rounding_boundaries():
    c = make_cloud()
    assert key(c, top=10.0) == key(c, top=10.00004)
    assert key(c, scale=20.0004) != key(c, scale=20.0006)
    assert key(c, top=np.float32(2.5))[3] == 2.5


def test_cell_px_default_and_conversion(monkeypatch):
    c = make_cloud()
    assert key(c) == key(c, cell_px=4) == key(c, cell_px=4.0)
    monkeypatch.setattr(brelvo, "CELL_PX", 8.0)
    assert key(c)[7] == 4.0
    assert key(c, cell_px="6")[7] == 6.0


def test_palette_identity():
    c = make_cloud()
    pal = np.array([[0, 0, 0, 0, 1], [1, 1, 1, 1, 1]], float)
    assert key(c, colormap=pal) == key(c, colormap=pal)
    assert key(c, colormap=pal)[8] == id(pal)
    assert key(c, colormap=pal.copy()) != key(c, colormap=pal)


@pytest.mark.parametrize(
    "cloud, exc",
    [((np.zeros(3), np.zeros(3)), IndexError), ((np.zeros(3),), IndexError)],
)
def test_short_record_raises(cloud, exc):
    with pytest.raises(exc):
        key(cloud)


@pytest.mark.parametrize("bad, exc", [("abc", ValueError), (None, TypeError), ([1], TypeError)])
def test_unconvertible_parameters_raise(bad, exc):
    with pytest.raises(exc):
        key(make_cloud(), top=bad)


def test_positional_and_keyword_arguments():
    c = make_cloud()
    assert brelvo.cloud_key(c, 20, 20, 2.4, 2, 4.0, None) == key(c)
    with pytest.raises(TypeError):
        brelvo.cloud_key(c, 20, 20, 2.4)
    with pytest.raises(TypeError):
        brelvo.cloud_key(c, 20, 20, 2.4, 2, colour=None)


# ---- visibility ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "rng, visible",
    [(6.0, True), (6.01, False), (1.5, True), (1.49, False), (3.0, True), (np.nan, False), (np.inf, False)],
)
def test_band_bounds_are_inclusive(rng, visible):
    cloud = (np.array([0.0]), np.array([rng]), np.zeros((1, 3)))
    m = brelvo.visible_cloud_mask(cloud, 1.0, 5.0, 0.5)
    assert m.dtype == bool and m.shape == (1,)
    assert bool(m[0]) is visible


@pytest.mark.parametrize("bearing", [np.nan, np.inf, -np.inf])
def test_non_finite_bearing_is_never_visible(bearing):
    cloud = (np.array([bearing, 1e6]), np.array([2.0, 2.0]), np.zeros((2, 3)))
    assert brelvo.visible_cloud_mask(cloud, 0.0, 5.0).tolist() == [False, True]


def test_default_gap_hides_ranges_below_offset():
    cloud = (np.zeros(4), np.array([0.5, 0.999, 1.0, 2.0]), np.zeros((4, 3)))
    assert brelvo.visible_cloud_mask(cloud, 1.0, 5.0).tolist() == [False, False, True, True]


def test_broadcasting():
    one = (np.array([10.0]), np.array([1.0, 2.0, 30.0]))
    assert brelvo.visible_cloud_mask(one, 0.0, 5.0).tolist() == [True, True, False]
    with pytest.raises(ValueError):
        brelvo.visible_cloud_mask((np.zeros(2), np.zeros(3)), 0.0, 5.0)
    with pytest.raises(ValueError):
        brelvo.visible_cloud_mask((np.array(["a"]), np.zeros(1)), 0.0, 5.0)


def test_mask_agrees_with_numpy_on_random_clouds():
    g = np.random.default_rng(7)
    b = g.uniform(-400, 400, 5000)
    r = g.uniform(-2, 30, 5000)
    b[g.integers(0, 5000, 50)] = np.nan
    r[g.integers(0, 5000, 50)] = np.inf
    cloud = (b, list(r))
    got = brelvo.visible_cloud_mask(cloud, 1.5, 20.0, 0.7)
    assert np.array_equal(got, ref_mask(cloud, 1.5, 20.0, 0.7))


# ---- strided byte images ------------------------------------------------------------


def against_unreadable_page(a):
    """A C-contiguous copy of `a` whose last byte is followed by a page the
    process may not read, so a read past the end crashes. The memory is an
    anonymous mapping, unmapped with the last view of it."""
    import ctypes
    import mmap

    page = mmap.PAGESIZE
    size = -(-a.nbytes // page) * page
    buf = mmap.mmap(-1, size + page)
    guard = ctypes.c_void_p(ctypes.addressof(ctypes.c_char.from_buffer(buf)) + size)
    if sys.platform == "win32":
        no_access, old = 0x01, ctypes.c_ulong()  # PAGE_NOACCESS
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        if not kernel32.VirtualProtect(guard, ctypes.c_size_t(page), no_access, ctypes.byref(old)):
            raise ctypes.WinError(ctypes.get_last_error())
    elif ctypes.CDLL(None, use_errno=True).mprotect(guard, ctypes.c_size_t(page), 0) != 0:  # PROT_NONE
        raise OSError(ctypes.get_errno(), "mprotect refused to protect the page after the array")
    out = np.frombuffer(buf, np.uint8, a.nbytes, size - a.nbytes).view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


def strided_views(place=np.asarray):
    """Views whose bytes are read in row-major order without a contiguous
    copy: column views of RGBA rows (ending at the base buffer's last byte),
    reversed rows, Fortran order, 3-D and 1-D steps, wide and odd items. Each
    base array is laid out by `place`."""
    g = np.random.default_rng(11)
    rgba = place(g.integers(0, 256, (37, 4)).astype(np.uint8))
    f = g.normal(size=(9, 7))
    pf = place(f)
    return {
        "rgb of rgba": rgba[:, :3],
        "gba of rgba": rgba[:, 1:],
        "one row": rgba[:1, :3],
        "reversed rows": rgba[::-1, :3],
        "reversed columns": rgba[:, 2::-1],
        "every other row": rgba[::2, :3],
        "fortran": place(np.ascontiguousarray(f.T)).T,
        "float columns": pf[:, 1:4],
        "float reversed": pf[::-1, ::-2],
        "3-d": place(g.integers(0, 9, (4, 5, 6)).astype(np.int16))[:, ::2, 1:5],
        "1-d step": pf.ravel()[::3],
        "complex": place(f + 1j * f)[:, :5],
        "wide rows": place(g.integers(0, 9, (6, 5)).astype(np.int64))[:, :3],
        "empty": rgba[:0, :3],
        "structured": place(np.zeros(6, dtype=[("a", "u1"), ("b", "<f8")]))[::2],
    }


@pytest.mark.parametrize("place", [np.asarray, against_unreadable_page])
@pytest.mark.parametrize("name", [pytest.param(n, marks=needs_complex_arithmetic) if n == "complex" else n
                                  for n in strided_views()])
def test_strided_arrays_hash_as_their_contiguous_copy(name, place):
    view = strided_views(place)[name]
    b, r = np.zeros(3), np.zeros(3)
    assert key((view, r, view)) == key((np.ascontiguousarray(view), r, np.ascontiguousarray(view)))
    as_bytes = np.frombuffer(view.tobytes(), np.uint8)
    assert key((b, r, view))[2] == key((b, r, as_bytes))[2]
    if view.size and view.dtype.kind in "uifc":
        changed = view.copy()
        changed.flat[-1] += 1
        assert key((b, r, view))[2] != key((b, r, changed))[2]
