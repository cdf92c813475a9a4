"""Plain NumPy formulations of the polar field, the visibility band and the
strongest poles, written the way the host would run them (SciPy's cKDTree)."""

import numpy as np

try:
    from scipy.spatial import cKDTree
except Exception:  # pragma: no cover - SciPy is present in the test environment
    cKDTree = None


def visible_cloud_mask(cloud, r_off, top, min_bosluk_m=0.0):
    b = np.asarray(cloud[0], dtype=np.float64)
    r = np.asarray(cloud[1], dtype=np.float64) - float(r_off)
    return np.isfinite(b) & np.isfinite(r) & (r >= float(min_bosluk_m)) & (r <= float(top))


def visible_record(cloud, r_off, top, min_bosluk_m):
    """(bearings, ranges, colours, visibility mask) of a record with something to show, or None."""
    if cloud is None or len(cloud[0]) == 0:
        return None
    b = np.asarray(cloud[0], dtype=np.float64)
    r = np.asarray(cloud[1], dtype=np.float64)
    c = np.asarray(cloud[2], dtype=np.float64)
    if c.ndim != 2 or c.shape[1] < 3:
        return None
    m = visible_cloud_mask(cloud, r_off, top, min_bosluk_m)
    if not m.any():
        return None
    return b, r, c, m


def polar_bytes(cloud, scale, top, r_off, rr, min_bosluk_m=0.0, power=2.4, softness=2.0,
                hucre=2, tree_cls=cKDTree, brute=False, channels=False):
    """The unscaled nx x nx x 4 pixel bytes (B, G, R, A) and the grid step, or None.

    `brute` stands for the module without SciPy (grid step at least 4); the exact
    tree answers the queries either way. `channels` adds a third element: the
    unrounded B, G, R values (nx x nx x 3 float64) from which the bytes come."""
    record = visible_record(cloud, r_off, top, min_bosluk_m)
    if record is None:
        return None
    b, r, c, m = record
    b, r, c = b[m], r[m] - float(r_off), c[m][:, :3]
    n = len(b)
    a = np.radians(np.mod(b + 180.0, 360.0) - 180.0)
    x = rr + np.sin(a) * r * scale
    y = rr - np.cos(a) * r * scale
    pts = np.column_stack([x, y])
    tree = tree_cls(pts)
    if n > 6:
        aralik = float(np.median(tree.query(pts, k=5)[0][:, 4]))
    else:
        aralik = 0.05 * rr
    aralik = max(7.0, min(aralik, 0.06 * rr, 27.0))
    kap = aralik * 1.6
    W = 2 * int(rr)
    step = max(1, int(hucre))
    if brute:
        step = max(step, 4)
    gg = np.arange(0, W, step) + 0.5
    nx = len(gg)
    gx, gy = np.meshgrid(gg, gg)
    grid = np.column_stack([gx.ravel(), gy.ravel()])
    soft = max(0.0, min(8.0, softness))
    K = min(n, 9 + int(round(4 * soft)))
    dist, idx = tree.query(grid, k=K)
    if K == 1:
        dist, idx = dist[:, None], idx[:, None]
    sm = soft * aralik * 0.5
    d = np.sqrt(dist ** 2 + sm ** 2)
    d = np.maximum(d, 0.001)
    with np.errstate(all="ignore"):
        w = 1.0 / d ** power
        rgb = (w[..., None] * c[idx]).sum(axis=1) / w.sum(axis=1)[:, None]
        alpha = np.clip(1.0 - (dist[:, 0] - aralik) / max(kap - aralik, 1e-6), 0.0, 1.0) * 235.0
    out = np.zeros((nx * nx, 4), np.uint8)

    def byte(v):
        v = np.clip(v, 0, 255)
        return np.where(np.isnan(v), 0, v).astype(np.uint8)

    out[:, 0] = byte(rgb[:, 2])
    out[:, 1] = byte(rgb[:, 1])
    out[:, 2] = byte(rgb[:, 0])
    out[:, 3] = byte(alpha)
    if channels:
        return out.reshape(nx, nx, 4), step, rgb[:, ::-1].reshape(nx, nx, 3)
    return out.reshape(nx, nx, 4), step


def image_bytes(img):
    """The pixel bytes of a 32-bit QImage as an (h, w, 4) array."""
    h, w, bpl = img.height(), img.width(), img.bytesPerLine()
    raw = np.frombuffer(img.constBits().asstring(h * bpl), np.uint8)
    return raw.reshape(h, bpl)[:, : 4 * w].reshape(h, w, 4).copy()


def strongest_poles(cloud, r_off, top, min_bosluk_m=0.0, image=None, scale=None):
    out = {"metal": None, "void": None}
    record = visible_record(cloud, r_off, top, min_bosluk_m)
    if record is None:
        return out
    b, r, c, m = record
    if image is not None and not image.isNull() and scale is not None:
        from PyQt5.QtGui import QImage

        rgba = image.convertToFormat(QImage.Format_RGBA8888)
        W, H = rgba.width(), rgba.height()
        pixels = image_bytes(rgba)
        ang = np.radians(b)
        dd = (r - float(r_off)) * float(scale)
        with np.errstate(invalid="ignore"):
            xf = np.rint(W / 2 + np.sin(ang) * dd)
            yf = np.rint(H / 2 - np.cos(ang) * dd)
        ok = (xf >= 0) & (xf < W) & (yf >= 0) & (yf < H)
        x = np.where(ok, xf, 0).astype(np.int64)
        y = np.where(ok, yf, 0).astype(np.int64)
        m = m & ok
        sampled = pixels[np.clip(y, 0, H - 1), np.clip(x, 0, W - 1)]
        m = m & (sampled[:, 3] > 0)
        c = sampled[:, :3].astype(np.float64)
        if not m.any():
            return out
    kutup = c[:, 0] - c[:, 2]
    s_metal = kutup * 256.0 - c[:, 1]
    s_void = -kutup * 256.0 - c[:, 1]
    im = np.flatnonzero(m)
    n = len(cloud)
    if n >= 12:
        signals = np.asarray(cloud[11], dtype=np.float64)
    elif n >= 8:
        signals = np.asarray(cloud[7], dtype=np.float64)
    else:
        signals = np.zeros(len(b))
    signals = np.where(np.isfinite(signals), signals, 0.0)
    ids = np.asarray(cloud[9]) if n >= 10 else np.arange(len(b))
    sig, idv = signals[im], ids[im]
    i_metal = im[np.lexsort((idv, -sig, -s_metal[im]))[0]]
    i_void = im[np.lexsort((idv, sig, -s_void[im]))[0]]
    if kutup[i_metal] > 25.0:
        out["metal"] = int(i_metal)
    if kutup[i_void] < -25.0:
        out["void"] = int(i_void)
    return out
