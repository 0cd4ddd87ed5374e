"""Slow, obvious Minkowski reduction in plain Python, step for step as the
native one is defined, for bit-for-bit comparison. Python floats are IEEE
doubles; only division needs help, since Python raises on a zero divisor."""

import math

ITERATION_LIMIT = 100000
GAUSS_HISTORY_LEN = 60
FULL_HISTORY_LEN = 3960
MASK = (1 << 64) - 1
INF = math.inf


class Panic(Exception):
    """The reduction met a NaN candidate key."""


def wrap(v):
    """Two's complement int64 value of an integer modulo 2^64."""
    v &= MASK
    return v - (1 << 64) if v >> 63 else v


def div(a, b):
    if b != 0.0 or math.isnan(b):
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(INF, a) * math.copysign(1.0, b)


def round_half_away(v):
    if math.isnan(v) or math.isinf(v):
        return v
    a = abs(v)
    r = math.floor(a)
    if a - r >= 0.5:
        r += 1
    return math.copysign(float(r), v)


def saturate(v):
    if math.isnan(v):
        return 0
    if v >= 2.0**63:
        return (1 << 63) - 1
    if v <= -(2.0**63):
        return -(1 << 63)
    return int(v)


def row_product(h, B):
    return [((0.0 + float(h[0]) * B[0][j]) + float(h[1]) * B[1][j]) + float(h[2]) * B[2][j]
            for j in range(3)]


def gauss_product(h, B):
    return [(float(h[0]) * B[0][j] + float(h[1]) * B[1][j]) + float(h[2]) * B[2][j]
            for j in range(3)]


def dot3(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def dot2(a, b):
    return a[0] * b[0] + a[1] * b[1]


def norm2(a):
    return math.sqrt(dot2(a, a))


def norm3(a):
    return math.sqrt(dot3(a, a))


class SiteHistory:
    """Zero-filled ring, every slot scanned."""

    def __init__(self, capacity, width):
        self.slots = [(0,) * width] * capacity
        self.pos = 0

    def lookup(self, site):
        return any(s == site for s in self.slots)

    def record(self, site):
        self.slots[self.pos] = site
        self.pos = (self.pos + 1) % len(self.slots)


def gauss_reduce_pair(hu, hv, B):
    history = SiteHistory(GAUSS_HISTORY_LEN, 6)
    k = 0
    while True:
        if k == ITERATION_LIMIT:
            break
        u = gauss_product(hu, B)
        v = gauss_product(hv, B)
        x = saturate(round_half_away(div(dot3(u, v), dot3(u, u))))
        w = [wrap(hv[j] - x * hu[j]) for j in range(3)]
        hv, hu = hu, w
        wb = gauss_product(hu, B)
        if dot3(wb, wb) >= dot3(u, u):
            break
        k += 1
        site = tuple(hu) + tuple(hv)
        found = history.lookup(site)
        history.record(site)
        if found:
            break
    return hv, hu


PAIRS = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 0), (0, 1), (1, -1), (1, 0), (1, 1)]


def candidate_shifts(pu, pv):
    entries = []
    for c0, c1 in PAIRS:
        z = (float(c0) * pu[0] + float(c1) * pv[0], float(c0) * pu[1] + float(c1) * pv[1])
        entries.append((z[0] * z[0] + z[1] * z[1], z, (c0, c1)))
    for i in range(1, 9):
        j = i
        while j > 0:
            a, b = entries[j - 1][0], entries[j][0]
            if math.isnan(a) or math.isnan(b):
                raise Panic("unordered key")
            if not a > b:
                break
            entries[j - 1], entries[j] = entries[j], entries[j - 1]
            j -= 1
    return [(z, c) for _, z, c in entries[:7]]


def closest_lattice_shift(pu, pv, pw, cands):
    a0 = a1 = 0
    t = pw
    d_prev = INF
    updates = 0
    while True:
        d = [norm2((r[0] + t[0], r[1] + t[1])) for r, _ in cands]
        idx, m = 0, (INF if math.isnan(d[0]) else d[0])
        for k in range(1, 7):
            if m > d[k]:
                idx, m = k, d[k]
        if idx == 0 or m >= d_prev:
            break
        d_prev = m
        r, (c0, c1) = cands[idx]
        k_opt = saturate(round_half_away(div(-dot2(t, r), dot2(r, r))))
        a0 = wrap(a0 + k_opt * c0)
        a1 = wrap(a1 + k_opt * c1)
        t = ((pw[0] + float(a0) * pu[0]) + float(a1) * pv[0],
             (pw[1] + float(a0) * pu[1]) + float(a1) * pv[1])
        updates += 1
        if updates == ITERATION_LIMIT:
            break
    return a0, a1


def minkowski_reduce(cell):
    """(rcell, op) as nested lists of floats and ints; raises Panic."""
    B = [[float(cell[i][j]) for j in range(3)] for i in range(3)]
    H = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
    n = [norm3(B[i]) for i in range(3)]
    full = SiteHistory(FULL_HISTORY_LEN, 9)
    count = 0
    while True:
        f, s = (1, 0) if n[0] > n[1] else (0, 1)
        if n[s] > n[2]:
            order = (2, f, s) if n[f] > n[2] else (f, 2, s)
        else:
            order = (f, s, 2)
        H = [H[i] for i in order]
        count += 1
        H[0], H[1] = gauss_reduce_pair(H[0], H[1], B)
        R0, R1 = row_product(H[0], B), row_product(H[1], B)
        l0 = norm3(R0)
        X = [div(c, l0) for c in R0]
        q = dot3(R1, X)
        Yp = [R1[j] - q * X[j] for j in range(3)]
        ly = norm3(Yp)
        Y = [div(c, ly) for c in Yp]
        pu, pv = (dot3(R0, X), dot3(R0, Y)), (q, dot3(R1, Y))
        R2 = row_product(H[2], B)
        pw = (dot3(R2, X), dot3(R2, Y))
        a0, a1 = closest_lattice_shift(pu, pv, pw, candidate_shifts(pu, pv))
        H[2] = [wrap(H[2][j] + a0 * H[0][j] + a1 * H[1][j]) for j in range(3)]
        R2 = row_product(H[2], B)
        n = [norm3(R0), norm3(R1), norm3(R2)]
        if n[2] >= n[1]:
            break
        site = tuple(H[0]) + tuple(H[1]) + tuple(H[2])
        if full.lookup(site):
            break
        full.record(site)
        if count == ITERATION_LIMIT:
            break
    return [R0, R1, R2], H
