import numpy as np
import pytest

import reference_tintora as ref
from visualization import tintora as T


@pytest.mark.parametrize("args, expected", [
    (([[5, 5], [0, 0]], [[1, 1]], [42.0], 2, 2), [42.0, 42.0]),
    (([[0, 0, 0]], [[1, 0, 0]], [5.0], 2, 2), [5.0]),
    (([[1, 1]], [[1, 1], [9, 9]], [7.0, 99.0], 2, 0.0), [7.0]),
    (([[1, 1]], [[1, 1], [9, 9]], [7.0, 99.0], 2, 1e-9), [7.0]),
    (([[0, 0]], [[0, 0], [0, 0]], [3.0, 4.0], 2, 0.0), [3.0]),
    (([[0, 0]], [[-1, 0], [1, 0]], [0.0, 10.0], 2, 0.0), [5.0]),
    (([0, 0], [1, 0], [5.0], 2, 2), [5.0]),
    # A lone sample's value as it is, where (v w) / w is an ulp off, overflows
    # or (d^p subnormal, w infinite) is NaN; a weight of 0 (d^p overflows)
    # still gives 0.
    (([[0.8, 0], [4.5, 0], [0, 0]], [[0, 0]], [2.7], 2.4, 0.0), [2.7, 2.7, 2.7]),
    (([[0.0, 0.0]], [[1e-5, 0.0]], [1e300], 2, 0.0), [1e300]),
    (([[0.0, 0.0]], [[1e-5, 0.0]], [5.0], 62, 0.0), [5.0]),
    (([[0.0, 0.0]], [[1e100, 0.0]], [5.0], 4, 0.0), [0.0]),
    (([[0.3, 0.7]], [[0.3, 0.7], [0.1, 0.2]], [1.5, 9.0], 2.4, 0.0), [1.5]),
    # Infinite and NaN powers: 1^p = 1, so samples at distance 1 weigh 1.
    (([[0, 0]], [[1, 0], [0, 1], [-1, 0]], [10.0, 20.0, 40.0], np.nan, 0.0), [70.0 / 3.0]),
    (([[0, 0]], [[1, 0], [0, 1], [-1, 0]], [10.0, 20.0, 40.0], np.inf, 0.0), [70.0 / 3.0]),
    (([[0, 0]], [[1, 0], [0, 1], [-1, 0]], [10.0, 20.0, 40.0], -np.inf, 0.0), [70.0 / 3.0]),
])
def test_exact_cases(args, expected):
    out = T.rbf_fill(*args)
    assert out.dtype == np.float64 and out.tolist() == expected


@pytest.mark.parametrize("power, smoothing, expected", [
    (2, 0.0, 11.0), (1, 0.0, 12.5), (0, 0.0, 15.0), (2, 2.0, 115 / 9),
])
def test_weighted_means(power, smoothing, expected):
    out = T.rbf_fill([[0, 0]], [[1, 0], [3, 0]], [10.0, 20.0], power, smoothing)
    np.testing.assert_allclose(out, [expected], rtol=1e-15)


def test_hit_threshold_is_on_smoothed_distance():
    out = T.rbf_fill([[1, 1]], [[1, 1], [9, 9]], [7.0, 99.0], 2, 1e-4)[0]
    assert 7.0 < out < 7.0 + 1e-6


def test_empty_inputs_and_errors():
    assert T.rbf_fill([[1, 2], [3, 4]], np.zeros((0, 2)), [], 2, 2).tolist() == [0.0, 0.0]
    assert T.rbf_fill(np.zeros((0, 2)), [[1, 1]], [1.0], 2, 2).shape == (0,)
    with pytest.raises(ValueError):
        T.rbf_fill([[0, 0]], [[0, 0, 0]], [1.0], 2, 2)
    with pytest.raises(ValueError):  # fewer values than samples
        T.rbf_fill([[0, 0]], [[0, 0], [1, 1]], [1.0], 2, 2)
    with pytest.raises(TypeError):
        T.rbf_fill([[0, 0]], [[1, 1]], [1.0], "2", 2)
    with pytest.raises(TypeError):
        T.rbf_fill([[0, 0]], [[1, 1]], [1.0], 2)
    with pytest.raises(TypeError):
        T.rbf_fill([[0, 0]], [[1, 1]], [1.0], 2, 2, smooth=1)
    with pytest.raises(ValueError):
        T.rbf_fill([[0, 0]], [["a", 1]], [1.0], 2, 2)


def test_keywords_inputs_untouched():
    q = np.array([[0.0, 1.0], [2.0, 3.0]])[:, ::-1]
    p = np.array([[1, 1], [2, 2]], dtype=np.int32)
    v = np.array([[1.0], [2.0]])
    out = T.rbf_fill(grid_coords=q, sample_coords=p, sample_values=v, power=2, smoothing=0.5)
    np.testing.assert_allclose(out, ref.rbf_fill(q, p, v, 2, 0.5), rtol=1e-13)
    assert q.tolist() == [[1.0, 0.0], [3.0, 2.0]] and p.tolist() == [[1, 1], [2, 2]]


def assert_within_tolerance(ours, formula, values):
    """Within 1e-14 of the largest |value| of the dense formula; NaN, infinite
    and exact results where it has them."""
    scale = 1e-14 * np.max(np.abs(values))
    assert np.array_equal(np.isnan(ours), np.isnan(formula))
    ok = ~np.isnan(formula)
    same = ours[ok] == formula[ok]  # also equal infinities
    err = np.abs(ours[ok] - formula[ok])
    assert np.all(same | (err <= scale)), f"worst {np.max(err[~same]) / scale:.3g} x 1e-14 max|value|"


@pytest.mark.parametrize("smoothing", [0.0, 0.01, 0.5, 5.0])
@pytest.mark.parametrize("power", [0, 1, 2, 2.4, 3, 7.5, -1.5])
@pytest.mark.parametrize("dims", [1, 2, 3])
def test_random_clouds_within_tolerance_of_the_formula(dims, power, smoothing):
    rng = np.random.default_rng(dims * 100 + int(power * 10) + int(smoothing * 7))
    q = rng.normal(size=(40, dims))
    p = rng.normal(size=(103, dims))  # a partial group of four at the end
    v = rng.normal(size=103) * 10.0
    q[3] = p[50]
    ours = T.rbf_fill(q, p, v, power, smoothing)
    assert_within_tolerance(ours, ref.rbf_fill(q, p, v, power, smoothing, by_coordinate=True), v)
    if smoothing == 0.0:
        assert ours[3] == v[50]
    if dims == 3 and power == 2.4:  # the blockwise formulation of the benchmarks
        assert_within_tolerance(ref.rbf_fill_chunked(q, p, v, power, smoothing, rows=16), ours, v)


# Two samples with values 1 and 0 give w1 / (w1 + w2): the weights' relative
# error shows almost undiluted. Query points from 1e-3 to 1e3 away cover the
# whole reduced range of the logarithm and the exponential many times over,
# and every octave of the roots' guesses. The powers 2k/n with n up to 10
# take roots (one Newton step up to n = 5, two above); 7.9 = 2 * 79/20 does not.
@pytest.mark.parametrize("smoothing", [0.0, 0.7])
@pytest.mark.parametrize("power", [1, 2, 2.4, 3, 7.5, -1.5, 0.2, 4 / 3, 1.25, 2.2, 22 / 7, 3.6, 38 / 9, 7.9])
def test_weights_within_a_few_units_in_the_last_place(power, smoothing):
    q = -np.geomspace(1e-3, 1e3, 3001)[:, None]
    p, v = [[0.0], [1.0]], [1.0, 0.0]
    ours = T.rbf_fill(q, p, v, power, smoothing)
    formula = ref.rbf_fill(q, p, v, power, smoothing, by_coordinate=True)
    assert np.max(np.abs(ours - formula)) <= 6e-16


# Samples at distances 1e-150 .. 1e150 (1e250 for points too large for the
# four-lane path): exact hits, d^p that underflows to 0 (weight 1), d^p that
# overflows (weight 0), subnormal d^p (an infinite weight, NaN results);
# infinite and NaN powers, for which only d = 1 has a finite d^p.
# With copies, the samples span several blocks of distances, each with pairs
# outside the shortcuts' range between runs of pairs inside it.
@pytest.mark.parametrize("top, copies", [(150, 1), (250, 1), (150, 23)])
@pytest.mark.parametrize("smoothing", [0.0, 1e-4])
@pytest.mark.parametrize("power", [0, 2, 2.4, 3, 7.5, -1.5, -8, 45, np.inf, -np.inf, np.nan])
def test_distances_over_three_hundred_decades(power, smoothing, top, copies):
    rng = np.random.default_rng(11)
    mags = 10.0 ** np.concatenate([np.arange(-150.0, top + 1.0, 10.0), rng.uniform(-8.0, 3.0, 30)])
    mags = rng.permutation(np.tile(mags, copies)) if copies > 1 else mags
    p = (mags * rng.choice([-1.0, 1.0], mags.size))[:, None]
    v = rng.normal(size=mags.size)
    q = np.array([[0.0], [1e-6], [0.5], [-3.0], [1e100], [p[7, 0]]])
    ours = T.rbf_fill(q, p, v, power, smoothing)
    assert_within_tolerance(ours, ref.rbf_fill(q, p, v, power, smoothing, by_coordinate=True), v)


# Widths of four lanes, and of the sixteen groups of four the root and
# general powers (2.4, 2.3) take at once, with the rest two groups at a time.
# The 20 000 query points span several runs of rows between two polls of the
# stop flag (2^16 pairs each) for every n above 3.
@pytest.mark.parametrize("power", [2, 2.4, 2.3, -3])
@pytest.mark.parametrize("n", [1, 2, 3, 5, 6, 7, 9, 63, 65, 70])
def test_sample_counts_around_the_vector_width(n, power):
    rng = np.random.default_rng(n)
    q = rng.normal(size=(20000, 3))
    p = rng.normal(size=(n, 3))
    v = rng.normal(size=n)
    ours = T.rbf_fill(q, p, v, power, 0.3)
    assert_within_tolerance(ours, ref.rbf_fill(q, p, v, power, 0.3, by_coordinate=True), v)
    if n == 1:
        assert ours.tolist() == [v[0]] * len(q)


def test_coincident_points_hit_exactly():
    rng = np.random.default_rng(8)
    p = rng.normal(size=(50, 3)) * 1e3
    v = rng.normal(size=50)
    q = np.vstack([p[::-1], rng.normal(size=(7, 3))])
    assert T.rbf_fill(q, p, v, 2, 0.0)[:50].tolist() == v[::-1].tolist()


# Several samples coincide with the query point: the first of them (smallest
# index) gives the value, wherever the hits fall: in one group of four,
# across groups, in the last lane of a group, or in the partial group at the end.
@pytest.mark.parametrize("power", [0, 2, 3, 2.4, -1.5])
@pytest.mark.parametrize("n, hits", [
    (4, (1, 2)), (4, (0, 3)), (8, (7,)), (5, (2, 4)), (9, (3, 4, 8)), (601, (5, 7)), (601, (255, 256)),
    (601, (300, 3)), (601, (599, 600)), (601, (12, 300, 600)), (601, (600,)),
])
def test_first_of_several_exact_hits_wins(n, hits, power):
    rng = np.random.default_rng(n + len(hits))
    q = np.array([[0.25, -1.5, 2.0]])
    p = rng.normal(size=(n, 3)) * 3.0 + 5.0
    v = np.arange(n, dtype=np.float64) + 100.0
    p[list(hits)] = q[0]
    assert T.rbf_fill(q, p, v, power, 0.0).tolist() == [v[min(hits)]]
