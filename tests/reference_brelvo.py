"""Plain NumPy formulations of the nearest-neighbour index, the reverse palette
lookup and the blob field of visualization.brelvo.

They follow the same order of operations as the module, so results can be
compared exactly. Used by the tests and by the benchmarks in bench/.
"""

import math

import numpy as np

try:
    from scipy.spatial import cKDTree
except Exception:  # noqa: BLE001 - optional
    cKDTree = None


# --------------------------------------------------------------------------
# k nearest neighbours by brute force, in query chunks


def knn_query(P, Q, k=1):
    P = np.ascontiguousarray(np.asarray(P, dtype=np.float64))
    Q = np.ascontiguousarray(np.asarray(Q, dtype=np.float64))
    nq, m = Q.shape[0], P.shape[0]
    ke = max(1, min(int(k), m))
    di = np.empty((nq, ke), dtype=np.float64)
    ix = np.empty((nq, ke), dtype=np.int64)
    ch = max(64, min(8192, 4000000 // max(1, m)))
    for s0 in range(0, nq, ch):
        s1 = min(s0 + ch, nq)
        d2 = ((Q[s0:s1, None, :] - P[None, :, :]) ** 2).sum(-1)
        if ke < m:
            part = np.argpartition(d2, ke - 1, axis=1)[:, :ke]
            order = np.argsort(np.take_along_axis(d2, part, 1), axis=1)
            sel = np.take_along_axis(part, order, 1)
        else:
            sel = np.argsort(d2, axis=1)[:, :ke]
        ix[s0:s1] = sel
        di[s0:s1] = np.sqrt(np.take_along_axis(d2, sel, 1))
    if ke == 1:
        return di[:, 0], ix[:, 0]
    return di, ix


# --------------------------------------------------------------------------
# Reverse palette lookup


def palette_table(apply_colormap, colormap=None):
    lam = np.linspace(0.0, 1.0, 256)
    return np.asarray(apply_colormap(lam, colormap))[:, :3].astype(np.float64)


def lambda_from_colors(cols, rgb):
    """Brute force: nearest table row, the lowest row among equal minima."""
    c = np.asarray(cols, dtype=np.float64).reshape(-1, 3)
    d2 = ((c[:, None, :] - rgb[None, :, :]) ** 2).sum(-1)
    return np.argmin(d2, axis=1).astype(np.float64) / 255.0


def lambda_from_colors_tree(cols, rgb):
    """Through SciPy's k-d tree over the table (which row of an exactly tied
    run it returns is the tree's choice)."""
    c = np.asarray(cols, dtype=np.float64).reshape(-1, 3)
    return cKDTree(rgb).query(c, k=1)[1].astype(np.float64) / 255.0


# --------------------------------------------------------------------------
# Blob field

CONSTANTS = dict(KAPPA=1.6, RMIN_PX=10.0, RMIN_TOP=0.02, RMAX_TOP=0.35, W0=0.12,
                 COV_LO=0.05, COV_HI=0.6, A_MAX=0.85, NBUCK=12, KNN=7,
                 RIM_FADE=0.94, _SM_RATIO=0.0847)


def _power(x, p, exact):
    """x ** p as NumPy does it for a scalar exponent (square, square root and
    identity are exact), with the C library's pow otherwise when `exact`."""
    if not exact or p in (0.5, 1.0, 2.0):
        return x ** p
    return np.vectorize(math.pow, otypes=[np.float64])(x, p)


def build_field_bytes(cloud, top, scale, power=3.0, softness=2.0, colormap=None,
                      cell_px=4.0, *, apply_colormap, use_tree=True, exact_pow=True,
                      const=None, tree_lookup=False):
    """The blob field as a (G, G, 4) uint8 array, row 0 north; None when
    nothing is drawn. `tree_lookup` reads λ back through SciPy's tree instead
    of the brute-force search."""
    K = dict(CONSTANTS, **(const or {}))
    if cloud is None or len(cloud) < 3:
        return None
    b = np.asarray(cloud[0], dtype=np.float64).ravel()
    r = np.asarray(cloud[1], dtype=np.float64).ravel()
    top = float(top)
    scale = float(scale)
    if b.size == 0 or b.size != r.size or top <= 0.0 or scale <= 0.0:
        return None
    lookup = lambda_from_colors_tree if tree_lookup else lambda_from_colors
    lam_all = lookup(cloud[2], palette_table(apply_colormap, colormap))
    if lam_all.size != b.size:
        return None
    fin = np.isfinite(b) & np.isfinite(r)
    if not fin.any():
        return None
    if not fin.all():
        b, r, lam_all = b[fin], r[fin], lam_all[fin]
    a = b * (np.pi / 180.0)
    X = np.sin(a) * r
    Y = np.cos(a) * r
    P = np.column_stack([X, Y])
    n = P.shape[0]
    r_min = max(K["RMIN_TOP"] * top, K["RMIN_PX"] / scale)
    r_max = max(1.5 * r_min, K["RMAX_TOP"] * top)
    k = min(n, K["KNN"])
    if k > 1 and use_tree and cKDTree is not None:
        sig = cKDTree(P).query(P, k=k, workers=-1)[0][:, -1]
    else:
        sig = np.full(n, r_min / K["KAPPA"])
    sig = np.where(np.isfinite(sig) & (sig > 1e-06), sig, r_min / K["KAPPA"])
    R_all = np.clip(K["KAPPA"] * sig, r_min, r_max)
    keep = r <= top + r_max
    if not keep.any():
        return None
    X, Y, R, lam = X[keep], Y[keep], R_all[keep], lam_all[keep]
    rho = np.clip(K["_SM_RATIO"] * float(softness), 0.03, 0.45)
    p_ = np.clip(float(power), 0.5, 8.0)
    G = int(min(max(round(2.0 * top * scale / max(float(cell_px), 2.0)), 48), 601))
    if G % 2 == 0:
        G += 1
    cm = 2.0 * top / G
    g0 = -top + 0.5 * cm
    num = np.full((G, G), 0.5 * K["W0"])
    den = np.full((G, G), K["W0"])
    ci = np.clip(np.rint((X - g0) / cm), 0, G - 1).astype(np.int64)
    cj = np.clip(np.rint((Y - g0) / cm), 0, G - 1).astype(np.int64)
    lo, hi = float(R.min()), float(R.max())
    nb = int(K["NBUCK"]) if lo * 1.02 < hi * 1.0001 else 1
    end = max(lo * 1.02, hi * 1.0001)
    edges = np.array([lo * math.pow(end / lo, q / nb) for q in range(nb + 1)])
    edges[0], edges[-1] = lo, end
    bi = np.clip(np.searchsorted(edges, R, side="right") - 1, 0, nb - 1)
    for q in range(nb):
        sel = np.nonzero(bi == q)[0]
        if sel.size == 0:
            continue
        Rb = math.sqrt(edges[q] * edges[q + 1])
        m = max(1, math.ceil(Rb / cm))
        ar = (np.arange(2 * m + 1) - m) * cm
        sm = Rb * rho
        d = np.sqrt(ar[:, None] ** 2 + ar[None, :] ** 2 + sm * sm)
        u = d / Rb
        uu = np.clip(u, 1e-06, 1.0)
        st = np.where(u < 1.0, _power((1.0 - uu) / uu, p_, exact_pow), 0.0)
        st = np.minimum(st, 1000000.0)
        off = np.arange(2 * m + 1) - m
        rows = np.clip(cj[sel][:, None, None] + off[None, :, None], 0, G - 1)
        cols = np.clip(ci[sel][:, None, None] + off[None, None, :], 0, G - 1)
        idx = (rows * G + cols).ravel()
        w = np.broadcast_to(st[None], (sel.size,) + st.shape).ravel()
        wl = (lam[sel][:, None, None] * st[None]).ravel()
        num += np.bincount(idx, weights=wl, minlength=G * G).reshape(G, G)
        den += np.bincount(idx, weights=w, minlength=G * G).reshape(G, G)
    field = np.clip(num / np.maximum(den, 1e-30), 0.0, 1.0)
    cov = den - K["W0"]
    t = np.clip((cov - K["COV_LO"]) / max(K["COV_HI"] - K["COV_LO"], 1e-9), 0.0, 1.0)
    alpha = K["A_MAX"] * (t * t * (3.0 - 2.0 * t))
    gx = g0 + np.arange(G) * cm
    RR = np.hypot(gx[None, :], gx[:, None])
    fr = np.clip((top - RR) / max(top * (1.0 - K["RIM_FADE"]), 1e-9), 0.0, 1.0)
    alpha = alpha * (fr * fr * (3.0 - 2.0 * fr))
    rgb = np.asarray(apply_colormap(field, colormap))[..., :3].astype(np.float64)
    out = np.empty((G, G, 4), dtype=np.uint8)
    out[..., :3] = np.trunc(np.clip(rgb * alpha[..., None], 0, 255)).astype(np.uint8)
    out[..., 3] = np.trunc(np.clip(alpha * 255.0, 0, 255)).astype(np.uint8)
    return np.ascontiguousarray(out[::-1])
