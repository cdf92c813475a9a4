import numpy as np
import pytest

import visualization.brelvo as brelvo
import visualization.tintora as tintora
from reference_brelvo import knn_query

FRAME = ["np", "cKDTree", "QImage", "_NumpyKDTree", "apply_colormap", "KAPPA", "RMIN_PX",
         "RMIN_TOP", "RMAX_TOP", "W0", "COV_LO", "COV_HI", "A_MAX", "CELL_PX", "NBUCK", "KNN",
         "RIM_FADE", "_SM_RATIO", "_LUT_CACHE", "_lut", "lambda_from_colors", "build_field"]


def test_frame_binds_names_in_load_order():
    names = list(vars(brelvo))
    pos = [names.index(n) for n in FRAME]
    assert pos == sorted(pos)
    assert brelvo.np is np
    assert brelvo.apply_colormap is tintora.apply_colormap
    assert isinstance(brelvo._LUT_CACHE, dict)


@pytest.mark.parametrize("name,value", [
    ("KAPPA", 1.6), ("RMIN_PX", 10.0), ("RMIN_TOP", 0.02), ("RMAX_TOP", 0.35), ("W0", 0.12),
    ("COV_LO", 0.05), ("COV_HI", 0.6), ("A_MAX", 0.85), ("CELL_PX", 4.0), ("NBUCK", 12),
    ("KNN", 7), ("RIM_FADE", 0.94), ("_SM_RATIO", 0.0847)])
def test_constants(name, value):
    v = getattr(brelvo, name)
    assert v == value and type(v) is type(value)


def test_scipy_tree_is_bound():
    from scipy.spatial import cKDTree
    assert brelvo.cKDTree is cKDTree


def test_points_are_stored_as_c_contiguous_float64():
    a = np.arange(12, dtype=np.int32).reshape(6, 2)
    t = brelvo._NumpyKDTree(a)
    assert t._p.dtype == np.float64 and t._p.flags.c_contiguous and t._p.shape == (6, 2)
    f = np.asfortranarray(np.ones((5, 3)))
    assert brelvo._NumpyKDTree(f)._p.flags.c_contiguous
    c = np.ones((4, 2))
    assert brelvo._NumpyKDTree(c)._p is c


@pytest.mark.parametrize("n,d,nq,k", [(10, 2, 7, 3), (500, 2, 300, 8), (2000, 2, 100, 1),
                                      (300, 3, 50, 5), (40, 1, 20, 4), (17, 2, 9, 17),
                                      (5, 4, 3, 2)])
def test_agrees_with_brute_force(n, d, nq, k):
    rng = np.random.default_rng(n * 31 + k)
    P = rng.normal(size=(n, d))
    P[::7] = np.round(P[::7], 1)  # some ties
    Q = np.vstack([rng.normal(size=(nq, d)), P[:3]])
    di, ix = brelvo._NumpyKDTree(P).query(Q, k=k)
    rd, rx = knn_query(P, Q, k)
    assert di.dtype == np.float64 and ix.dtype == np.int64
    assert di.shape == rd.shape and ix.shape == rx.shape
    np.testing.assert_array_equal(di, rd)
    # Indices may differ only among exactly equal distances.
    D = np.sqrt(((Q[:, None, :] - P[None, :, :]) ** 2).sum(-1))
    np.testing.assert_array_equal(np.take_along_axis(D, ix.reshape(len(Q), -1), 1),
                                  di.reshape(len(Q), -1))


@pytest.mark.parametrize("n,k,shape", [(10, 1, (4,)), (10, 0, (4,)), (10, -5, (4,)),
                                       (10, 2.9, (4, 2)), (3, 5, (4, 3)), (1, 5, (4,)),
                                       (10, 10**30, (4, 10)), (10, "3", (4, 3))])
def test_effective_k(n, k, shape):
    P = np.random.default_rng(1).normal(size=(n, 2))
    rows = np.arange(4) % n
    di, ix = brelvo._NumpyKDTree(P).query(P[rows], k=k, workers=-1)
    assert di.shape == shape and ix.shape == shape
    col0 = ix if ix.ndim == 1 else ix[:, 0]
    np.testing.assert_array_equal(col0, rows)


def test_rows_sorted_and_self_first():
    P = np.random.default_rng(2).uniform(size=(1000, 2))
    di, ix = brelvo._NumpyKDTree(P).query(P, k=6)
    assert np.all(np.diff(di, axis=1) >= 0)
    np.testing.assert_array_equal(ix[:, 0], np.arange(1000))
    assert np.all(di[:, 0] == 0)


@pytest.mark.parametrize("k,shape", [(1, (0,)), (3, (0, 3))])
def test_empty_queries(k, shape):
    di, ix = brelvo._NumpyKDTree(np.ones((5, 2))).query(np.zeros((0, 2)), k=k)
    assert di.shape == shape and ix.shape == shape and ix.dtype == np.int64


@pytest.mark.parametrize("pts,Q,k,exc", [
    (np.ones((5, 2)), np.ones((3, 3)), 1, ValueError),
    (np.ones((5, 2)), np.ones((3, 1)), 1, ValueError),
    (np.zeros((0, 2)), np.ones((3, 2)), 1, ValueError),
    (np.ones((5, 2)), np.ones((3, 2)), None, TypeError),
    (np.ones((5, 2)), np.ones((3, 2)), "two", ValueError),
])
def test_malformed_input(pts, Q, k, exc):
    with pytest.raises(exc):
        brelvo._NumpyKDTree(pts).query(Q, k=k)


def test_zero_points_empty_query():
    di, ix = brelvo._NumpyKDTree(np.zeros((0, 2))).query(np.zeros((0, 2)), k=3)
    assert di.shape == (0,) and ix.shape == (0,)


def test_non_finite_points_do_not_disturb_the_others():
    rng = np.random.default_rng(3)
    P = rng.normal(size=(400, 2))
    bad = P.copy()
    bad[::5, 0] = np.nan
    bad[1::5, 1] = np.inf
    Q = rng.normal(size=(50, 2))
    di, ix = brelvo._NumpyKDTree(bad).query(Q, k=4)
    good = np.isfinite(bad).all(1)
    rd, rx = knn_query(bad[good], Q, 4)
    np.testing.assert_array_equal(di, rd)
    assert good[ix].all()
    # Non-finite points come last once the finite ones run out.
    di, ix = brelvo._NumpyKDTree(bad[:10]).query(Q[:2], k=10)
    assert np.isfinite(di[:, :6]).all() and np.isinf(di[:, 6:8]).all()
    assert np.isnan(di[:, 8:]).all()


def test_nan_query_row():
    di, ix = brelvo._NumpyKDTree(np.random.default_rng(4).normal(size=(100, 2))).query(
        [[np.nan, 0.0], [0.0, 0.0]], k=3)
    assert np.isnan(di[0]).all() and np.isfinite(di[1]).all()
    np.testing.assert_array_equal(ix[0], [0, 1, 2])


def test_query_follows_points_changed_in_place():
    P = np.random.default_rng(5).normal(size=(200, 2))
    t = brelvo._NumpyKDTree(P)
    t.query(P[:1])
    P[17] = [50.0, 50.0]
    d, i = t.query([[50.0, 50.0]])
    assert i[0] == 17 and d[0] == 0.0


def test_ctrl_c_stops_a_long_query(ctrl_c):
    import gc
    import signal

    # Eight dimensions defeat the tree's pruning: minutes of searching.
    rng = np.random.default_rng(6)
    tree = brelvo._NumpyKDTree(rng.normal(size=(60000, 8)))
    Q = rng.normal(size=(77777, 8))
    tree.query(Q[:10], k=3)
    results_made = []

    def on_sigint(signum, frame):
        # A query that ignored the signal has already made its result tuple
        # when the interpreter gets round to this handler.
        results_made.append(any(type(o) is tuple and len(o) == 2 and isinstance(o[0], np.ndarray)
                                and o[0].shape == (77777, 3) for o in gc.get_objects()))
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGINT, on_sigint)
    gc.disable()
    try:
        ctrl_c(brelvo, lambda: tree.query(Q, k=3))
    finally:
        gc.enable()
        signal.signal(signal.SIGINT, old)
    assert results_made == [False]
    # The index answers as before.
    np.testing.assert_array_equal(tree.query(Q[:50], k=3)[1], knn_query(tree._p, Q[:50], 3)[1])
