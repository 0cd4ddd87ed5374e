"""Slow, obvious reference of the scalar cell-list neighbour search.

Walks the search literally: grid, binning, centre bins, offsets, atom pairs, in
the emission order, then a stable sort by i. Python floats are IEEE doubles and
every formula keeps the search's order of operations, so the results are
comparable bit for bit. Only for small systems: reaches of 2^63 and more raise
NotImplementedError.
"""

import math

import numpy as np

TWO63 = 2**63
TWO64 = 2**64
INFINITE_CUTOFF = "infinite cutoff with a periodic axis: the neighbour list would be infinite"


class Panic(Exception):
    """An internal failure of the search, with its message."""


def _to_u64(x):
    if math.isnan(x) or x < 0:
        return 0
    if x >= 2.0**64:
        return TWO64 - 1
    return int(x)


def _to_i64(x):
    if math.isnan(x):
        return 0
    if x >= 2.0**63:
        return TWO63 - 1
    if x < -(2.0**63):
        return -TWO63
    return int(x)


def _wrap64(v):
    v &= TWO64 - 1
    return v - TWO64 if v >= TWO63 else v


def _ceil(x):
    if math.isnan(x):
        return x
    if math.isinf(x):
        return x
    return float(math.ceil(x))


def _floor(x):
    if math.isnan(x) or math.isinf(x):
        return x
    return float(math.floor(x))


def format_det(det):
    sign = "-" if math.copysign(1.0, det) < 0 else ""
    if det == 0:
        return sign + "0.000e0"
    mantissa, exponent = f"{abs(det):.3e}".split("e")
    return f"{sign}{mantissa}e{int(exponent)}"


def singular_message(det):
    return f"Cell matrix is singular (det = {format_det(det)}). Cannot compute scaled positions."


def empty():
    return (
        np.zeros(0, np.int64),
        np.zeros(0, np.int64),
        np.zeros(0, np.float64),
        np.zeros((0, 3), np.float64),
        np.zeros((0, 3), np.int64),
    )


def neighbor_list(pbc, cell, positions, cutoff, self_interaction=False,
                  use_scaled_positions=False, max_nbins=1000000):
    """(i, j, d, D, S) arrays, or the error text as a str. Raises Panic."""
    cutoff = float(cutoff)
    n_atoms = positions.shape[0]
    if n_atoms == 0:
        return empty()
    if cell.shape[0] < 3 or cell.shape[1] < 3:
        raise Panic("ndarray: index out of bounds")
    if cutoff == math.inf and any(pbc):
        return INFINITE_CUTOFF
    a, b, c = ([float(cell[r, x]) for x in range(3)] for r in range(3))
    bc = [b[1] * c[2] - b[2] * c[1], b[2] * c[0] - b[0] * c[2], b[0] * c[1] - b[1] * c[0]]
    ca = [c[1] * a[2] - c[2] * a[1], c[2] * a[0] - c[0] * a[2], c[0] * a[1] - c[1] * a[0]]
    ab = [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]
    det = (a[0] * bc[0] + a[1] * bc[1]) + a[2] * bc[2]
    volume = abs(det)

    def length(v):
        return math.sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])

    def divide(x, y):
        if y == 0:
            return math.nan if x == 0 or math.isnan(x) else math.copysign(math.inf, x)
        return x / y

    heights = [divide(volume, length(v)) for v in (bc, ca, ab)]
    bin_length = cutoff if cutoff > 3.0 else 3.0
    nbins = [max(_to_u64(divide(h, bin_length)), 1) for h in heights]
    cap = max_nbins if max_nbins > 0 else 1
    while nbins[0] * nbins[1] * nbins[2] > cap:
        nbins = [max(n // 2, 1) for n in nbins]
    reach = []
    for k in range(3):
        r = _to_u64(_ceil(divide(float(nbins[k]) * bin_length, heights[k])))
        if not pbc[k] and nbins[k] == 1:
            r = 0
        if r >= TWO63:
            raise NotImplementedError("reach of 2^63 or more")
        reach.append(r)

    rows = [[float(cell[r, x]) for x in range(3)] for r in range(3)]
    if use_scaled_positions:
        if positions.shape[1] < 3:
            raise Panic("ndarray: index out of bounds")
        scaled = [[float(positions[n, k]) for k in range(3)] for n in range(n_atoms)]
        cart = [[((0.0 + s[0] * rows[0][x]) + s[1] * rows[1][x]) + s[2] * rows[2][x]
                 for x in range(3)] for s in scaled]
    else:
        if abs(det) < 1e-15:
            return singular_message(det)
        if positions.shape[1] < 3:
            raise Panic("ndarray: index out of bounds")
        inv = 1.0 / det
        inverse = [[v * inv for v in w] for w in (bc, ca, ab)]
        cart = [[float(positions[n, x]) for x in range(3)] for n in range(n_atoms)]
        scaled = [[(p[0] * w[0] + p[1] * w[1]) + p[2] * w[2] for w in inverse] for p in cart]
    if cutoff < 0:
        return empty()

    shifts, coords = [], []
    for s in scaled:
        shift, coord = [], []
        for k in range(3):
            v = _to_i64(_floor(float(nbins[k]) * s[k]))
            if pbc[k]:
                shift.append(v // nbins[k])
                coord.append(v - nbins[k] * (v // nbins[k]))
            else:
                shift.append(0)
                coord.append(min(max(v, 0), nbins[k] - 1))
        shifts.append(shift)
        coords.append(coord)
    bins = {}
    for n in range(n_atoms):
        m = coords[n]
        bins.setdefault(m[0] + nbins[0] * (m[1] + nbins[1] * m[2]), []).append(n)

    cutoff2 = cutoff * cutoff
    found = []
    for bz in range(nbins[2]):
        for by in range(nbins[1]):
            for bx in range(nbins[0]):
                centre = bins.get(bx + nbins[0] * (by + nbins[1] * bz))
                if not centre:
                    continue
                for dz in range(-reach[2], reach[2] + 1):
                    for dy in range(-reach[1], reach[1] + 1):
                        for dx in range(-reach[0], reach[0] + 1):
                            q, e = zip(*(divmod(m + o, n) for m, o, n in
                                         zip((bx, by, bz), (dx, dy, dz), nbins)))
                            other = bins.get(e[0] + nbins[0] * (e[1] + nbins[1] * e[2]))
                            if not other:
                                continue
                            for i in centre:
                                for j in other:
                                    S = [_wrap64(shifts[i][k] + q[k] - shifts[j][k]) for k in range(3)]
                                    if any(S[k] != 0 and not pbc[k] for k in range(3)):
                                        continue
                                    if i == j and S == [0, 0, 0] and not self_interaction:
                                        continue
                                    T = [(float(S[0]) * rows[0][x] + float(S[1]) * rows[1][x])
                                         + float(S[2]) * rows[2][x] for x in range(3)]
                                    D = [(cart[j][x] - cart[i][x]) + T[x] for x in range(3)]
                                    d2 = (D[0] * D[0] + D[1] * D[1]) + D[2] * D[2]
                                    if d2 < cutoff2:
                                        found.append((i, j, math.sqrt(d2), D, S))
    found.sort(key=lambda row: row[0])
    if not found:
        return empty()
    return (
        np.array([r[0] for r in found], np.int64),
        np.array([r[1] for r in found], np.int64),
        np.array([r[2] for r in found], np.float64),
        np.array([r[3] for r in found], np.float64).reshape(-1, 3),
        np.array([r[4] for r in found], np.int64).reshape(-1, 3),
    )


def filter_rows(result, keep):
    """The rows of a reference result for which keep(i, j, d) holds, in order."""
    i, j, d, D, S = result
    mask = np.array([keep(int(a), int(b), float(c)) for a, b, c in zip(i, j, d)], bool)
    mask = mask.reshape(-1)
    return i[mask], j[mask], d[mask], D[mask].reshape(-1, 3), S[mask].reshape(-1, 3)
