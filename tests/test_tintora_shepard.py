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
    (([[0.3, 0.7]], [[0.3, 0.7], [0.1, 0.2]], [1.5, 9.0], 2.4, 0.0), [1.5]),
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


@pytest.mark.parametrize("power, smoothing", [(2, 2), (2.4, 0.5), (1, 0.1), (3, 0.2), (0, 1), (4, 0.3), (1.7, 0.05)])
def test_random_points_agree_with_dense(power, smoothing):
    rng = np.random.default_rng(7)
    q = rng.normal(size=(300, 3))
    p = rng.normal(size=(201, 3))
    v = rng.normal(size=201)
    dense = ref.rbf_fill(q, p, v, power, smoothing)
    np.testing.assert_allclose(T.rbf_fill(q, p, v, power, smoothing), dense, rtol=1e-11, atol=1e-12)
    q[5] = p[9]  # a query point on a sample, for the blockwise formulation too
    np.testing.assert_allclose(ref.rbf_fill_chunked(q, p, v, power, smoothing, rows=64),
                               ref.rbf_fill(q, p, v, power, smoothing), rtol=1e-11, atol=1e-12)


def test_coincident_points_hit_exactly():
    rng = np.random.default_rng(8)
    p = rng.normal(size=(50, 3)) * 1e3
    v = rng.normal(size=50)
    q = np.vstack([p[::-1], rng.normal(size=(7, 3))])
    assert T.rbf_fill(q, p, v, 2, 0.0)[:50].tolist() == v[::-1].tolist()


# Several samples coincide with the query point: the first of them (smallest
# index) gives the value, wherever the hits fall: in one group of four or
# two, across groups, across the 256-sample batches of non-integer powers,
# or in a batch's scalar tail.
@pytest.mark.parametrize("power", [2, 3, 2.4, 0.5])
@pytest.mark.parametrize("n, hits", [
    (4, (1, 2)), (4, (0, 3)), (5, (2, 4)), (9, (3, 4, 8)), (601, (5, 7)), (601, (255, 256)),
    (601, (300, 3)), (601, (599, 600)), (601, (12, 300, 600)), (601, (600,)),
])
def test_first_of_several_exact_hits_wins(n, hits, power):
    rng = np.random.default_rng(n + len(hits))
    q = np.array([[0.25, -1.5, 2.0]])
    p = rng.normal(size=(n, 3)) * 3.0 + 5.0
    v = np.arange(n, dtype=np.float64) + 100.0
    p[list(hits)] = q[0]
    assert T.rbf_fill(q, p, v, power, 0.0).tolist() == [v[min(hits)]]
