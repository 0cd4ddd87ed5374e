"""Brute-force neighbour lists: every lattice image, no bin grid.

For each pair of atoms, every integer shift S of the periodic rows inside a box
that provably holds all images within the cutoff is tried with the search's own
floating-point formulas (Python floats, same order of operations), so results
compare bit for bit. The box comes from an exact pseudo-inverse of the periodic
rows and a rounding bound on D; linear dependence is decided exactly too.

`expected` returns (arrays, ordered) or the exception the call must raise.
`ordered` is False only where the row order among equal i is not pinned down
(see `_order`); the rows are then sorted by (i, S, j).
"""

import math
from fractions import Fraction

import numpy as np

import _reference as ref

DEPENDENT = "periodic cell vectors are linearly dependent: the neighbour list would be infinite"
SHIFT_RANGE = "cell shift out of range"
TWO63 = 2**63
MAX_CANDIDATES = 400_000  # per call; test systems stay far below


class Unbounded(Exception):
    """The list is too large, or its shifts too wide, to enumerate here."""


def cross(u, v):
    return [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]


def independent(rows):
    """Exactly, on the float values: are these (at most three) vectors independent?"""
    q = [[Fraction(x) for x in r] for r in rows]
    if len(q) == 0:
        return True
    if len(q) == 1:
        return any(q[0])
    if len(q) == 2:
        return any(cross(q[0], q[1]))
    return sum(x * y for x, y in zip(q[0], cross(q[1], q[2]))) != 0


def grid(cell, cutoff, max_nbins, pbc):
    """Heights, bin counts and reaches as the search sizes them (reach not clipped)."""
    a, b, c = cell
    bc, ca, ab = cross(b, c), cross(c, a), cross(a, b)
    volume = abs((a[0] * bc[0] + a[1] * bc[1]) + a[2] * bc[2])

    def divide(x, y):
        if y == 0:
            return math.nan if x == 0 or math.isnan(x) else math.copysign(math.inf, x)
        return x / y

    heights = [divide(volume, math.sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]))
               for v in (bc, ca, ab)]
    bin_length = cutoff if cutoff > 3.0 else 3.0
    nbins = [max(ref._to_u64(divide(h, bin_length)), 1) for h in heights]
    while nbins[0] * nbins[1] * nbins[2] > max(max_nbins, 1):
        nbins = [max(n // 2, 1) for n in nbins]
    reach = [0 if (not pbc[k] and nbins[k] == 1) else
             ref._to_u64(ref._ceil(divide(float(nbins[k]) * bin_length, heights[k])))
             for k in range(3)]
    return heights, nbins, reach


def _bounds(A, Y):
    """What `_box` needs of the periodic rows A and their right inverse Y, once per cell."""
    m = len(A)
    anorm = [max(abs(v) for v in A[k]) for k in range(m)]
    M = [[_up(L * sum(abs(Y[x][k]) * abs(A[l][x]) for x in range(3))) for l in range(m)] for k in range(m)]
    # Row sums of M weighted by the row lengths, so that rows of very different
    # lengths do not spoil the bound: S_l scales as 1 / |a_l|.
    weighted = [sum(M[k][l] * anorm[k] / anorm[l] for l in range(m)) for k in range(m)]
    if max(weighted) > Fraction(1, 2):
        raise Unbounded("cell too ill-conditioned for the rounding bound")
    return anorm, M, weighted


L = Fraction(1, 2**49)  # bounds the rounding of T and of the sum with delta, in units of |S_k a_k,x|


def _up(q):
    """A short fraction not below q (a double rounded up), so that iterating stays cheap."""
    try:
        f = float(q)
    except OverflowError:
        return Fraction(math.ceil(q))
    return Fraction(f) if Fraction(f) >= q else Fraction(math.nextafter(f, math.inf))


def _box(A, Y, bounds, delta, cutoff):
    """Integer ranges per periodic axis holding every S with d < cutoff, and a radius for |R|.

    R = delta + S.A in exact arithmetic differs from the computed D by at most
    L (|D_x| + sum_l |S_l a_l,x|) per component, and S_k - c_k = R.Y_k with
    c_k = -delta.Y_k. So sigma_k = |S_k - c_k| <= b_k + sum_l M_kl sigma_l, and
    with tau_l = sigma_l |a_l|, max tau <= max(b_k |a_k|) / (1 - weighted row sum);
    the first inequality then tightens that per axis.
    """
    anorm, M, weighted = bounds
    m = len(A)
    cutoff_x = Fraction(cutoff) * (1 + L) + Fraction(1, 2**1000)  # |D_x| bound, plus underflow
    cen = [-sum(Fraction(delta[x]) * Y[x][k] for x in range(3)) for k in range(m)]
    rx = [cutoff_x + L * sum(abs(cen[l]) * abs(A[l][x]) for l in range(m)) for x in range(3)]
    b = [sum(abs(Y[x][k]) * rx[x] for x in range(3)) for k in range(m)]
    beta = max(b[k] * anorm[k] for k in range(m)) / (1 - max(weighted))  # bounds sigma_l |a_l|
    sigma = [beta / anorm[k] for k in range(m)]
    for _ in range(80):  # sigma <= b + M sigma keeps holding; tighten axis by axis
        last, sigma = sigma, [min(sigma[k], _up(b[k] + sum(M[k][l] * sigma[l] for l in range(m))))
                              for k in range(m)]
        if sigma == last:
            break
    radius = sum(rx[x] + L * sum(sigma[l] * abs(A[l][x]) for l in range(m)) for x in range(3))
    # The part of delta off the periodic rows' span is also the part of R: too long, no row.
    perp = [Fraction(delta[x]) + sum(cen[k] * A[k][x] for k in range(m)) for x in range(3)]
    if sum(v * v for v in perp) > radius * radius:
        return None, radius
    return [(math.floor(cen[k] - sigma[k]), math.ceil(cen[k] + sigma[k])) for k in range(m)], radius


def _shifts(box, radius, rows, delta):
    """Shifts in the box; along its widest axis only those near the sphere."""
    m = len(box)
    widths = [hi - lo + 1 for lo, hi in box]
    if math.prod(widths) <= 4096:
        ranges = [range(lo, hi + 1) for lo, hi in box]
        yield from _product(ranges)
        return
    z = max(range(m), key=lambda k: widths[k])
    others = [k for k in range(m) if k != z]
    if math.prod(widths[k] for k in others) > MAX_CANDIDATES:
        raise Unbounded("too many shifts")
    # Scale to about 1 so that squares neither overflow nor underflow.
    big = max([abs(x) for r in rows for x in r] + [abs(x) for x in delta] + [float(radius)])
    scale = 2.0 ** -math.frexp(big)[1]
    az = [x * scale for x in rows[z]]
    az2 = sum(x * x for x in az)
    rad = float(radius) * scale
    for outer in _product([range(box[k][0], box[k][1] + 1) for k in others]):
        w = [delta[x] * scale + sum(s * rows[k][x] * scale for s, k in zip(outer, others))
             for x in range(3)]
        dot = sum(u * v for u, v in zip(w, az))
        w2 = sum(u * u for u in w)
        centre = -dot / az2
        # Generous slack: cancellation in the perpendicular part, rounding of w.
        disc = rad * rad - (w2 - dot * dot / az2) + 1e-9 * (w2 + rad * rad)
        if disc < 0:
            continue
        half = math.sqrt(disc / az2) * (1 + 1e-9) + 1 + 1e-9 * abs(centre)
        lo = max(box[z][0], math.floor(centre - half))
        hi = min(box[z][1], math.ceil(centre + half))
        for t in range(lo, hi + 1):
            s = list(outer)
            s.insert(z, t)
            yield tuple(s)


def _product(ranges):
    if not ranges:
        yield ()
        return
    for head in ranges[0]:
        for tail in _product(ranges[1:]):
            yield (head,) + tail


def _right_inverse(A):
    """Y = A^T (A A^T)^-1 in exact arithmetic (3 x m), for independent rows A."""
    m = len(A)
    g = [[sum(A[r][x] * A[s][x] for x in range(3)) for s in range(m)] + [Fraction(int(r == s)) for s in range(m)]
         for r in range(m)]
    for col in range(m):  # Gauss-Jordan; the Gram matrix is positive definite
        piv = g[col][col]
        g[col] = [v / piv for v in g[col]]
        for r in range(m):
            if r != col and g[r][col]:
                f = g[r][col]
                g[r] = [v - f * w for v, w in zip(g[r], g[col])]
    ginv = [row[m:] for row in g]
    return [[sum(A[r][x] * ginv[r][k] for r in range(m)) for k in range(m)] for x in range(3)]


def true_rows(pbc, cell, p, cutoff, self_interaction):
    """Every (i, j, d, D, S) with d2 < cutoff^2 by the search's formulas, unordered."""
    per = [k for k in range(3) if pbc[k]]
    rows = [cell[k] for k in per]
    A = [[Fraction(x) for x in r] for r in rows]
    Y = _right_inverse(A) if per else None
    bounds = _bounds(A, Y) if per else None
    cutoff2 = cutoff * cutoff
    found, visited = [], 0
    for i, pi in enumerate(p):
        for j, pj in enumerate(p):
            delta = [pj[x] - pi[x] for x in range(3)]
            if not all(map(math.isfinite, delta)):
                continue  # every D is non-finite
            if per:
                box, radius = _box(A, Y, bounds, delta, cutoff)
                if box is None:
                    continue
                if any(lo < -TWO63 or hi >= TWO63 for lo, hi in box):
                    raise Unbounded("shifts beyond int64")
                shifts = _shifts(box, radius, rows, delta)
            else:
                shifts = [()]
            for sp in shifts:
                visited += 1
                if visited > MAX_CANDIDATES:
                    raise Unbounded("too many candidates")
                S = [0, 0, 0]
                for k, s in zip(per, sp):
                    S[k] = s
                if i == j and not any(S) and not self_interaction:
                    continue
                T = [(float(S[0]) * cell[0][x] + float(S[1]) * cell[1][x]) + float(S[2]) * cell[2][x]
                     for x in range(3)]
                D = [delta[x] + T[x] for x in range(3)]
                d2 = (D[0] * D[0] + D[1] * D[1]) + D[2] * D[2]
                if d2 < cutoff2:
                    found.append((i, j, math.sqrt(d2), D, S))
    return found


def _order(found, pbc, cell, s, det, cutoff, max_nbins, scaled):
    """Sorts rows in place; True if that is the one order the call must give.

    A normal grid (every periodic height finite and positive, every reach below
    2^63) keeps the search's emission order: for atom i, by the offset
    (o2, o1, o0) from i's bin to j's, then j. Elsewhere, by (S0, S1, S2, j).
    """
    heights, nbins, reach = grid(cell, cutoff, max_nbins, pbc)
    normal = all(math.isfinite(heights[k]) and heights[k] > 0 for k in range(3) if pbc[k]) \
        and all(r < TWO63 for r in reach)
    found.sort(key=lambda r: (r[0], r[4], r[1]))
    if not normal:
        return True
    if not scaled:
        inv = 1.0 / det
        w = [[v * inv for v in u] for u in (cross(cell[1], cell[2]), cross(cell[2], cell[0]),
                                             cross(cell[0], cell[1]))]
        s = [[(q[0] * u[0] + q[1] * u[1]) + q[2] * u[2] for u in w] for q in s]
    shift, coord = [], []
    for sn in s:
        v = [ref._to_i64(ref._floor(float(nbins[k]) * sn[k])) for k in range(3)]
        shift.append([v[k] // nbins[k] if pbc[k] else 0 for k in range(3)])
        coord.append([v[k] - nbins[k] * (v[k] // nbins[k]) if pbc[k] else min(max(v[k], 0), nbins[k] - 1)
                      for k in range(3)])
    keys = []
    for i, j, _, _, S in found:
        o = [(S[k] - shift[i][k] + shift[j][k]) * nbins[k] + coord[j][k] - coord[i][k] for k in range(3)]
        if any(abs(o[k]) > reach[k] for k in range(3)):
            return False  # out of the literal search's reach: order not pinned down
        keys.append((i, o[2], o[1], o[0], j))
    order = sorted(range(len(found)), key=keys.__getitem__)
    found[:] = [found[n] for n in order]
    return True


def _arrays(found):
    if not found:
        return ref.empty()
    return (np.array([r[0] for r in found], np.int64), np.array([r[1] for r in found], np.int64),
            np.array([r[2] for r in found], np.float64),
            np.array([r[3] for r in found], np.float64).reshape(-1, 3),
            np.array([r[4] for r in found], np.int64).reshape(-1, 3))


def expected(pbc, cell, positions, cutoff, self_interaction=False, scaled=False, max_nbins=1000000):
    """((i, j, d, D, S), ordered), or the exception instance the call must raise."""
    cutoff = float(cutoff)
    positions = np.asarray(positions, float)
    if len(positions) == 0:
        return ref.empty(), True
    cell = [[float(cell[r][x]) for x in range(3)] for r in range(3)]
    if cutoff == math.inf and any(pbc):
        return ValueError(ref.INFINITE_CUTOFF)
    a, b, c = cell
    det = (a[0] * cross(b, c)[0] + a[1] * cross(b, c)[1]) + a[2] * cross(b, c)[2]
    if not scaled and abs(det) < 1e-15:
        return ValueError(ref.singular_message(det))
    if not cutoff > 0 or cutoff * cutoff == 0 or not all(math.isfinite(x) for r in cell for x in r):
        return ref.empty(), True
    s = [[float(x) for x in row[:3]] for row in positions]
    if scaled:
        p = [[((0.0 + q[0] * a[x]) + q[1] * b[x]) + q[2] * c[x] for x in range(3)] for q in s]
    else:
        p = s
    if not any(all(map(math.isfinite, q)) for q in p):
        return ref.empty(), True
    if not independent([cell[k] for k in range(3) if pbc[k]]):
        return ValueError(DEPENDENT)
    for k in range(3):  # one whole period of 2^63 along a tiny periodic row is in the list
        if pbc[k]:
            D = [float(TWO63) * cell[k][x] for x in range(3)]
            if (D[0] * D[0] + D[1] * D[1]) + D[2] * D[2] < cutoff * cutoff:
                return OverflowError(SHIFT_RANGE)
    found = true_rows(pbc, cell, p, cutoff, self_interaction)
    ordered = _order(found, pbc, cell, s, det, cutoff, max_nbins, scaled)
    return _arrays(found), ordered


def filtered(want, keep):
    """The rows of an expectation for which keep(i, j, d) holds, in order; errors pass."""
    if isinstance(want, Exception):
        return want
    arrays, ordered = want
    return ref.filter_rows(arrays, keep), ordered
