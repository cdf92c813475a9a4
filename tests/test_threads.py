"""Eight threads calling every operation at once on shared inputs get exactly the
serial results; the module caches stay well-formed; inputs changed by another
thread while a call runs never give a mixture of old and new contents."""

import gc
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from visualization import brelvo, geo, tintora

THREADS = 8
rng = np.random.default_rng(11)

FIELD = rng.normal(0.0, 5.0, (60, 70))
FIELD[::7, ::5] = 0.0
MASK = rng.random(FIELD.shape) > 0.1
PALETTE = np.array([[0.0, 0, 0, 1, 1], [0.5, 0, 0.5, 0, 1], [1.0, 1, 0, 0, 1]])
N = 60
CLOUD = (rng.uniform(-180, 360, N), rng.uniform(0.2, 12.0, N),
         tintora.apply_colormap(rng.random(N))[:, :3].copy(), None, None, None, None,
         rng.normal(size=N), None, rng.integers(0, 5, N))
QUERY = rng.normal(size=(300, 3))
SAMPLES = rng.normal(size=(40, 3))
VALUES = rng.normal(size=40)
TREE = brelvo._NumpyKDTree(SAMPLES)


def image_bytes(img):
    if img is None:
        return None
    return (img.width(), img.height(), int(img.format()), img.constBits().asstring(img.sizeInBytes()))


def digest(v):
    if isinstance(v, np.ndarray):
        return (v.dtype.str, v.shape, v.tobytes())
    if isinstance(v, brelvo.QImage):
        return image_bytes(v)
    if isinstance(v, tuple):
        return tuple(digest(x) for x in v)
    return repr(v)


POLAR = brelvo.render_polar_alan(CLOUD, 20.0, 12.0, 0.0, 150.0, hucre=2)

OPS = {
    "_stops_to_bytes": lambda: tintora._stops_to_bytes(PALETTE),
    "_interp_channel_bytes": lambda: tintora._interp_channel_bytes(FIELD, PALETTE[:, 0], PALETTE[:, 2] * 255),
    "apply_colormap": lambda: tintora.apply_colormap(FIELD / 20.0 + 0.5, PALETTE),
    "running_baseline": lambda: tintora.running_baseline(FIELD),
    "compute_lambda": lambda: tintora.compute_lambda(FIELD, 0.5, -12.0, 12.0, 0.5, MASK),
    "boya": lambda: tintora.boya(FIELD, 0.5, -12.0, 12.0, 0.5, True, MASK),
    "rbf_fill": lambda: tintora.rbf_fill(QUERY, SAMPLES, VALUES, 2.4, 0.1),
    "_NumpyKDTree.query": lambda: TREE.query(QUERY, k=4),
    "lambda_from_colors": lambda: brelvo.lambda_from_colors(CLOUD[2], PALETTE),
    "build_field": lambda: brelvo.build_field(CLOUD, 12.0, 20.0, 3.0, 2.0, PALETTE),
    "cloud_key": lambda: brelvo.cloud_key(CLOUD, 12.0, 20.0, 3.0, 2.0),
    "visible_cloud_mask": lambda: brelvo.visible_cloud_mask(CLOUD, 0.5, 10.0, 0.3),
    "render_polar_alan": lambda: brelvo.render_polar_alan(CLOUD, 20.0, 12.0, 0.0, 150.0, hucre=2),
    "render_polar_alan_full": lambda: brelvo.render_polar_alan(CLOUD, 20.0, 12.0, 0.0, 60.0, hucre=1),
    "en_guclu_kutup_indeksleri": lambda: brelvo.en_guclu_kutup_indeksleri(CLOUD, 0.0, 12.0, 0.0, POLAR, 20.0),
    "en_guclu_kutuplar": lambda: brelvo.en_guclu_kutuplar(CLOUD, 0.0, 12.0),
    "destination_point": lambda: geo.destination_point(41.0, 29.0, 45.0, 30.0),
    "distance_between": lambda: geo.distance_between(41.0, 29.0, 41.1, 29.2),
    "initial_bearing": lambda: geo.initial_bearing(41.0, 29.0, 41.1, 29.2),
    "true_bearing": lambda: geo.true_bearing(350.0, 15.0),
    "latlon_to_world_px": lambda: geo.latlon_to_world_px(41.0, 29.0, 18),
    "world_px_to_latlon": lambda: geo.world_px_to_latlon(1000.0, 2000.0, 12),
    "meters_per_pixel": lambda: geo.meters_per_pixel(41.0, 19),
    "zoom_for_range": lambda: geo.zoom_for_range(41.0, 5.0, 600),
    "target_uncertainty_m": lambda: geo.target_uncertainty_m(30.0, 2.5, True),
    "magnetic_declination": lambda: geo.magnetic_declination(41.0, 29.0, 2026.5),
}


@pytest.mark.parametrize("tree", ["scipy", "fallback"])
def test_concurrent_calls_match_serial(tree, monkeypatch):
    if tree == "fallback":
        monkeypatch.setattr(brelvo, "cKDTree", None)
    serial = {name: digest(op()) for name, op in OPS.items()}
    jobs = [name for name in OPS for _ in range(THREADS)]
    start = threading.Barrier(THREADS)

    def worker(offset):
        start.wait()
        out = []
        for j in range(len(jobs)):
            name = jobs[(j + offset * 7) % len(jobs)]
            out.append((name, digest(OPS[name]())))
        return out

    with ThreadPoolExecutor(THREADS) as ex:
        results = [r for f in [ex.submit(worker, t) for t in range(THREADS)] for r in f.result()]
    for name, got in results:
        assert got == serial[name], name


def test_palette_cache_consistent_under_threads():
    palettes = [PALETTE * s for s in np.linspace(0.5, 1.0, 24)]
    for p in palettes:
        p[:, 0] = PALETTE[:, 0]
    cols = CLOUD[2]
    start = threading.Barrier(THREADS)

    def worker(t):
        start.wait()
        return [(i, brelvo.lambda_from_colors(cols, palettes[(i + t) % len(palettes)]).tobytes())
                for i in range(len(palettes) * 2)]

    with ThreadPoolExecutor(THREADS) as ex:
        results = [f.result() for f in [ex.submit(worker, t) for t in range(THREADS)]]
    want = {id(p): brelvo.lambda_from_colors(cols, p).tobytes() for p in palettes}
    for t, res in enumerate(results):
        for i, got in res:
            assert got == want[id(palettes[(i + t) % len(palettes)])]
    lam = np.linspace(0.0, 1.0, 256)
    for p in palettes:
        rgb, tree = brelvo._LUT_CACHE[id(p)]
        assert rgb.dtype == np.float64 and rgb.shape == (256, 3)
        np.testing.assert_array_equal(rgb, tintora.apply_colormap(lam, p)[:, :3])
        assert tree is None or tree.n == 256


def test_declination_cache_consistent_under_threads():
    if geo._geomag() is None:
        pytest.skip("no magnetic model")
    grid = geo._DECL_GRID
    # Cell centres only, so every thread computes the same value for a key.
    cells = [(i, j) for i in range(30) for j in range(25)]  # 750 keys: the cache is emptied on the way
    start = threading.Barrier(THREADS)

    def worker(t):
        start.wait()
        out = []
        for c in cells[t * 11:] + cells[:t * 11]:
            out.append((c, geo.magnetic_declination(c[0] * grid, c[1] * grid, 2026.25)))
        return out

    with ThreadPoolExecutor(THREADS) as ex:
        results = [r for f in [ex.submit(worker, t) for t in range(THREADS)] for r in f.result()]
    first = {}
    for c, v in results:
        assert v is None or isinstance(v, float)
        assert repr(first.setdefault(c, v)) == repr(v), c
    cache = geo._DECL_CACHE
    assert 0 < len(cache) <= 513
    for key, v in cache.items():
        assert isinstance(key, tuple) and len(key) == 3 and all(isinstance(k, int) for k in key[:2])
        assert repr(v) == repr(first[key[:2]]), key


def test_threads_that_built_fields_and_then_the_process_exit_cleanly():
    """Per-thread state a module keeps must not outlive the thread: with
    mingw-w64, a thread_local's storage is freed before its destructor runs,
    so the thread's exit corrupted the heap (under wine, the process then hung
    at exit). Run in a process of its own, which must end, and without error."""
    code = """if True:
        import threading
        import numpy as np
        from visualization import brelvo
        g = np.random.default_rng(3)
        cloud = (g.uniform(0, 360, 50), g.uniform(0.5, 10.0, 50), np.zeros((50, 3), np.uint8))
        built = []
        def build():
            built.append(brelvo.build_field(cloud, 12.0, 20.0).width())
        threads = [threading.Thread(target=build) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print("built", len(built), flush=True)
    """
    # A bound far above the few seconds it takes, there only so that a hang fails.
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert (run.returncode, run.stdout) == (0, "built 4\n"), run.stderr


def flip_while(arr, a, b, stop):
    """Rewrites arr between the contents a and b, each write a single step for other
    Python threads: CPython copies into a memoryview holding the GIL, whereas NumPy's
    own assignment lets other threads run mid-copy (always in NumPy 1.24, from about
    500 elements in later versions)."""
    view = memoryview(arr).cast("B")
    a, b = a.tobytes(), b.tobytes()
    while not stop.is_set():
        view[:] = a
        view[:] = b


@pytest.mark.parametrize("case", ["rbf_fill", "rbf_fill_grid", "query", "polar", "poles", "field", "interp"])
def test_inputs_changed_during_a_call_give_old_or_new_result(case):
    r = np.random.default_rng(5)
    if case == "rbf_fill":
        A, B = r.normal(size=(40, 3)), r.normal(size=(40, 3)) * 10
        run = lambda x: tintora.rbf_fill(QUERY, x, VALUES, 2.0, 0.0)
    elif case == "rbf_fill_grid":
        # A large input, whose private copy takes long enough for a writer to cut in.
        A, B = r.normal(size=(200_000, 3)), r.normal(size=(200_000, 3)) + 3
        run = lambda x: tintora.rbf_fill(x, SAMPLES[:2], VALUES[:2], 2.0, 0.0)
    elif case == "query":
        A, B = r.normal(size=(150, 3)), r.normal(size=(150, 3)) + 5
        run = lambda x: TREE.query(x, k=5)
    elif case == "interp":
        A, B = np.array([0.0, 0.5, 1.0]), np.array([-1.0, 0.1, 2.0])
        run = lambda x: tintora._interp_channel_bytes(FIELD, x, [0.0, 100.0, 255.0])
    else:
        A = CLOUD[1].copy()
        B = A.copy()
        B[::2] = np.nan
        if case == "polar":
            run = lambda x: brelvo.render_polar_alan((CLOUD[0], x, CLOUD[2]), 20.0, 12.0, 0.0, 40.0, hucre=1)
        elif case == "poles":
            run = lambda x: brelvo.en_guclu_kutup_indeksleri((CLOUD[0], x, CLOUD[2]), 0.0, 12.0, 0.0, POLAR, 20.0)
        else:
            run = lambda x: brelvo.build_field((CLOUD[0], x, CLOUD[2]), 12.0, 8.0)
    want = {repr(digest(run(A.copy()))), repr(digest(run(B.copy())))}
    shared = A.copy()
    stop = threading.Event()
    mutator = threading.Thread(target=flip_while, args=(shared, A, B, stop))
    mutator.start()
    try:
        for _ in range(40):
            assert repr(digest(run(shared))) in want
    finally:
        stop.set()
        mutator.join()


# -- re-entry on the same thread -----------------------------------------------

# Second forms of the operations, on other inputs and sizes, so that a nested
# call that shared a buffer with the call it interrupts would change its result.
OTHER_CLOUD = (rng.uniform(0, 360, 25), rng.uniform(0.5, 6.0, 25), tintora.apply_colormap(rng.random(25))[:, :3].copy())
REENTRY_OPS = dict(OPS)
REENTRY_OPS.update({
    "build_field_small": lambda: brelvo.build_field(OTHER_CLOUD, 6.0, 9.0, 2.0, 1.0),
    "render_polar_alan_small": lambda: brelvo.render_polar_alan(OTHER_CLOUD, 9.0, 6.0, 0.5, 40.0, hucre=1),
    "poles_other": lambda: brelvo.en_guclu_kutup_indeksleri(OTHER_CLOUD, 0.5, 6.0, 0.0),
    "rbf_fill_small": lambda: tintora.rbf_fill(QUERY[:7, :2], SAMPLES[:5, :2], VALUES[:5], 1.0, 0.0),
    "query_other": lambda: brelvo._NumpyKDTree(SAMPLES[:9]).query(QUERY[:20], k=2),
    "apply_colormap_small": lambda: tintora.apply_colormap(np.linspace(0.0, 1.0, 7)),
})


REENTRY_NAMES = sorted(REENTRY_OPS)
# The nested call most likely to disturb an outer call is the same operation on other inputs.
PARTNERS = [("build_field", "build_field_small"), ("render_polar_alan", "render_polar_alan_small"),
            ("render_polar_alan_full", "render_polar_alan_small"), ("en_guclu_kutup_indeksleri", "poles_other"),
            ("en_guclu_kutuplar", "poles_other"), ("rbf_fill", "rbf_fill_small"),
            ("_NumpyKDTree.query", "query_other"), ("apply_colormap", "apply_colormap_small"),
            ("boya", "compute_lambda"), ("_stops_to_bytes", "_interp_channel_bytes")]
PARTNER = {a: b for a, b in PARTNERS} | {b: a for a, b in PARTNERS}
_PLAIN = {}


def plain_result(name):
    if name not in _PLAIN:
        _PLAIN[name] = digest(REENTRY_OPS[name]())
    return _PLAIN[name]


# Calls that create Python objects on the way, so that a collection can start inside them
# (the geodesy functions, running_baseline and cloud_key create none the collector tracks).
INTERRUPTIBLE = [n for n in REENTRY_NAMES if not hasattr(geo, n) and n not in ("running_baseline", "cloud_key")]


def run_with_reentry(name, nested_names, pad):
    """Calls operation `name` while every collection runs the next of `nested_names`
    as a nested call; returns the outer result, the nested (name, result) pairs and
    whether any of them ran inside the outer call. With a threshold of 1 a
    collection starts at every second tracked allocation: `pad` allocations
    before the call shift which ones those are."""
    nested = []
    state = {"active": False, "inside": False, "next": 0, "hit": False}

    class Reenters:
        """Garbage only the collector frees; each one freed calls an operation and leaves the next."""

        def __init__(self):
            self.cycle = self

        def __del__(self):
            if not state["active"] or state["next"] >= 40:
                return
            state["hit"] = state["hit"] or state["inside"]
            n = nested_names[state["next"] % len(nested_names)]
            state["next"] += 1
            nested.append((n, digest(REENTRY_OPS[n]())))
            Reenters()

    gc.collect()
    # Everything alive now is left out of the collections, so collecting at
    # nearly every allocation costs only what the call itself allocates.
    gc.freeze()
    old = gc.get_threshold()
    try:
        gc.set_threshold(1, 1, 1)
        state["active"] = True
        Reenters()
        [[] for _ in range(pad)]
        state["inside"] = True
        got = REENTRY_OPS[name]()
        state["inside"] = False
    finally:
        state["active"] = False
        gc.set_threshold(*old)
        gc.unfreeze()
        gc.collect()
    return digest(got), nested, state["hit"]


@pytest.mark.parametrize("name", INTERRUPTIBLE)
def test_call_reentered_from_finalisers_matches_plain_call(name):
    """A garbage collection inside a call (any allocation can start one) runs
    finalisers on the same thread, and they may call the operations again.
    The outer call and every nested call must give the result of a plain call."""
    want = {n: plain_result(n) for n in REENTRY_NAMES}
    at = REENTRY_NAMES.index(name)
    others = [n for n in REENTRY_NAMES[at + 1:] + REENTRY_NAMES[:at] if n != name]
    # The same operation on other inputs, one that creates a QImage, then all the others.
    inside = 0
    for nested_names in ([PARTNER.get(name, others[0])], ["render_polar_alan_small"], others):
        for pad in range(2):
            got, nested, hit = run_with_reentry(name, nested_names, pad)
            inside += hit
            for n, res in nested:
                assert res == want[n], n
            assert got == want[name]
    # From 3.12 on the collector starts only between bytecodes, so a call that
    # runs no Python code inside cannot be re-entered by it at all.
    if sys.version_info < (3, 12):
        assert inside  # finalisers did run inside the call
