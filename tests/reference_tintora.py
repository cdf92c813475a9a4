"""Plain NumPy formulations of the anomaly colouring operations.

Used by the tests (agreement on random inputs) and by bench/bench_tintora.py
(the NumPy side of every timing).  They work on whole arrays at once, the way
the operations are described, including the dense M x N Shepard matrices;
rbf_fill_chunked is the same fill in blocks of query rows, as a NumPy user
would write it to keep memory bounded.
"""
import numpy as np

KORVAL_BENZERI = np.array(
    [
        [0.00, 0.0, 0.0, 1.0, 1.0],
        [0.10, 0.0, 0.0, 1.0, 1.0],
        [0.25, 0.0, 1.0, 1.0, 1.0],
        [0.50, 0.0, 0.5, 0.0, 1.0],
        [0.75, 1.0, 1.0, 0.0, 1.0],
        [0.90, 1.0, 0.0, 0.0, 1.0],
        [1.00, 1.0, 0.0, 0.0, 1.0],
    ],
    dtype=np.float64,
)


def stops_to_bytes(colormap):
    cm = np.asarray(colormap, dtype=np.float64)
    lam = cm[:, 0]
    rgba255 = np.trunc(cm[:, 1:5] * 255.0).astype(np.int64)
    return lam, rgba255


def interp_channel_bytes(lambdas, stop_lams, stop_chan):
    return np.interp(lambdas, stop_lams, np.asarray(stop_chan, dtype=np.float64))


def apply_colormap(t, colormap=None):
    if colormap is None:
        colormap = KORVAL_BENZERI
    t_arr = np.asarray(t, dtype=np.float64)
    out_shape = t_arr.shape + (4,)
    flat = t_arr.ravel()
    lam, stops255 = stops_to_bytes(colormap)
    rgba = np.empty((flat.size, 4), dtype=np.float64)
    for c in range(4):
        rgba[:, c] = interp_channel_bytes(flat, lam, stops255[:, c])
    return np.trunc(rgba).astype(np.uint8).reshape(out_shape)


def running_baseline(values):
    v = np.asarray(values, dtype=np.float64).ravel()
    w = v[np.isfinite(v) & (v != 0.0)]
    if w.size == 0:
        return 0.0, 0.0, 0.0
    return float(w.sum() / w.size), float(w.min()), float(w.max())


def compute_lambda(field, ground, data_min, data_max, esik, mask=None,
                   sifiri_topraga_cek=True, esik_ref=0.0):
    value = np.asarray(field, dtype=np.float64)
    valid_nan = np.isfinite(value)
    num = np.full(value.shape, 0.5, dtype=np.float64)
    if (data_max - data_min) > 0.1:
        above = (value > ground) & (ground != data_max)
        below = (value < ground) & (ground != data_min)
        denom_above = data_max - ground
        denom_below = ground - data_min
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            up = 0.5 + ((value - ground) * 0.5) / denom_above
            down = 0.5 - ((ground - value) * 0.5) / denom_below
        num = np.where(above, up, num)
        num = np.where(below, down, num)
        num = np.clip(num, 0.0, 1.0)
    dev = value - float(esik_ref)
    num = np.where((dev > -esik) & (dev < esik), 0.5, num)
    if sifiri_topraga_cek:
        num = np.where(value == 0.0, 1.5, num)
    num = np.where(valid_nan, num, 0.5)
    if mask is not None:
        num = np.where(np.asarray(mask, dtype=bool), num, 0.5)
    return np.asarray(num, dtype=np.float64)


def boya(field, ground, data_min, data_max, esik, sifiri_topraga_cek=True, mask=None,
         esik_ref=0.0, colormap=None):
    num = compute_lambda(field, ground, data_min, data_max, esik, mask=mask,
                         sifiri_topraga_cek=sifiri_topraga_cek, esik_ref=esik_ref)
    sentinel = num == 1.5
    rgba = apply_colormap(num, colormap)
    if not sentinel.any():
        return rgba
    base = apply_colormap(np.float64(0.5), colormap).astype(np.float64)
    dark_rgb = np.trunc(base[0:3] * 0.4).astype(np.uint8)
    rgba[sentinel, 0:3] = dark_rgb
    rgba[sentinel, 3] = np.uint8(int(base[3]))
    return rgba


def rbf_fill(grid_coords, sample_coords, sample_values, power, smoothing, by_coordinate=False):
    """The dense fill. by_coordinate forms every sum over the coordinates in
    order with separate roundings (a BLAS matrix product may fuse or reorder
    its terms), so its squared distances are the definition's to the bit."""
    q = np.asarray(grid_coords, dtype=np.float64)
    p = np.asarray(sample_coords, dtype=np.float64)
    sv = np.asarray(sample_values, dtype=np.float64).ravel()
    if q.ndim == 1:
        q = q[None, :]
    if p.ndim == 1:
        p = p[None, :]
    m, n = q.shape[0], p.shape[0]
    if n == 0:
        return np.zeros(m, dtype=np.float64)
    if by_coordinate:
        with np.errstate(over="ignore", under="ignore", invalid="ignore"):
            q2, p2, cross = q[:, 0] * q[:, 0], p[:, 0] * p[:, 0], q[:, 0, None] * p[None, :, 0]
            for k in range(1, q.shape[1]):
                q2, p2 = q2 + q[:, k] * q[:, k], p2 + p[:, k] * p[:, k]
                cross = cross + q[:, k, None] * p[None, :, k]
    else:
        q2 = np.sum(q * q, axis=1)
        p2 = np.sum(p * p, axis=1)
        cross = q @ p.T
    with np.errstate(divide="ignore", over="ignore", under="ignore", invalid="ignore"):
        sq = np.maximum((q2[:, None] - 2.0 * cross) + p2[None, :], 0.0)
        d = np.sqrt(sq + smoothing * smoothing)
        dp = np.power(d, power)
        near = d < 1e-8
        w = np.where(dp == 0.0, 1.0, 1.0 / dp)
        num = (sv[None, :] * w).sum(axis=1)
        den = w.sum(axis=1)
        out = np.zeros(m, dtype=np.float64)
        ok = den > 0.0
        out[ok] = num[ok] / den[ok]
    hit = near.any(axis=1)
    if hit.any():
        rows = np.nonzero(hit)[0]
        out[rows] = sv[np.argmax(near[rows], axis=1)]
    return out


def rbf_fill_chunked(grid_coords, sample_coords, sample_values, power, smoothing, rows=128):
    """rbf_fill over blocks of `rows` query points: memory grows with rows x N."""
    q = np.asarray(grid_coords, dtype=np.float64)
    p = np.asarray(sample_coords, dtype=np.float64)
    sv = np.asarray(sample_values, dtype=np.float64).ravel()
    if q.ndim == 1:
        q = q[None, :]
    if p.ndim == 1:
        p = p[None, :]
    if p.shape[0] == 0:
        return np.zeros(q.shape[0], dtype=np.float64)
    p2 = np.sum(p * p, axis=1)
    s2 = smoothing * smoothing
    out = np.zeros(q.shape[0], dtype=np.float64)
    for a in range(0, q.shape[0], rows):
        qb = q[a:a + rows]
        sq = np.sum(qb * qb, axis=1)[:, None] - 2.0 * (qb @ p.T)
        sq += p2
        np.maximum(sq, 0.0, out=sq)
        sq += s2
        d = np.sqrt(sq, out=sq)
        near = d < 1e-8
        with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
            dp = np.power(d, power, out=d)
            w = np.where(dp == 0.0, 1.0, 1.0 / dp)
        num = w @ sv
        den = w.sum(axis=1)
        ok = den > 0.0
        block = out[a:a + rows]
        block[ok] = num[ok] / den[ok]
        hit = near.any(axis=1)
        if hit.any():
            block[hit] = sv[np.argmax(near[hit], axis=1)]
    return out
