"""Result blocks with and without transparent huge pages, each in fresh subprocesses.

    python benchmarks/bench_hugepages.py [--calls N] [--fresh P] [--churn-rows R] [--kinds ...]

kestrix asks for huge pages (MADV_HUGEPAGE) on its large result blocks. "with" is
the default process; "without" calls prctl(PR_SET_THP_DISABLE) before importing
kestrix, so the kernel ignores the advice for the whole process. For each result
kind (neighbour-list arrays, XYZ output str, XDATCAR parse array):

  first  the first call in a fresh process (median and worst of P processes)
  quiet  N later calls back to back (median and worst)
  churn  N later calls, each after Python work that builds and drops a large
         str: a %-loop over R rows of the XYZ block (median and worst; the
         Python work itself is not timed)

The ratio columns are without / with: above 1 means the advice helps.
Measured so, the advice stays on every kind: it made back-to-back calls 1.2 to
3 times faster; its cost falls on neighbour lists, whose first call in a fresh
process waits for the kernel to compact memory, and whose calls amid heavy str
churn ran about 15% slower.
The default run takes about 1.5 minutes; --churn-rows 1000000 (the whole block
formatted by Python between calls) is the heavier interleave, about 3.5 minutes.
"""

import argparse
import ctypes
import gc
import json
import os
import statistics
import subprocess
import sys
import time

PR_SET_THP_DISABLE = 41
PR_GET_THP_DISABLE = 42
KINDS = ("neighbours", "xyz-format", "xdatcar-parse")
SYMBOLS = ["O", "H", "H", "Fe", "C", "Si"]
N_ROWS = 1_000_000


def thp_kib():
    """AnonHugePages of this process, to show whether huge pages were handed out."""
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("AnonHugePages:"):
                return int(line.split()[1])
    return -1


def child(kind, policy, calls, churn_rows):
    if policy == "without":
        # Must precede the import: the flag is read when pages are faulted in,
        # and we want no kestrix block ever to see THP in this process.
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_THP_DISABLE)")
        assert libc.prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0) == 1

    import numpy as np

    from kestrix import _scribe
    from kestrix._vicinal import primitive_neighbor_list_rs

    rng = np.random.default_rng(42)
    positions = rng.uniform(-50.0, 50.0, size=(N_ROWS, 3))
    symbols = [SYMBOLS[k % len(SYMBOLS)] for k in range(N_ROWS)]

    if kind == "neighbours":
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        from bench_neighbors import diamond
        cell, atoms = diamond(20)  # 64 000 atoms
        pbc = [True, True, True]

        def call():
            return primitive_neighbor_list_rs(pbc, cell, atoms, 6.0)
    elif kind == "xyz-format":
        def call():
            return _scribe.format_xyz_block_rs(symbols, positions)
    else:
        scaled = rng.uniform(0.0, 1.0, size=(N_ROWS, 3))
        lines = _scribe.format_xdatcar_config_rs(scaled, 1).splitlines()[1:]
        del scaled

        def call():
            return _scribe.parse_xdatcar_coords_rs(lines)

    churn_src = list(zip(symbols[:churn_rows], positions[:churn_rows].tolist()))

    def python_work():
        text = "".join("%-2s %22.15f %22.15f %22.15f\n" % (s, x, y, z)
                       for s, (x, y, z) in churn_src)
        return len(text)

    def timed():
        t0 = time.perf_counter()
        result = call()
        elapsed = time.perf_counter() - t0
        return elapsed, result

    gc.collect()
    first, result = timed()
    huge = thp_kib()  # while the first result is still alive
    del result

    quiet = []
    for _ in range(calls):
        elapsed, result = timed()
        del result
        quiet.append(elapsed)

    churn = []
    for _ in range(calls):
        python_work()
        elapsed, result = timed()
        huge = max(huge, thp_kib())
        del result
        churn.append(elapsed)

    print(json.dumps({"first": first, "quiet": quiet, "churn": churn, "thp_kib": huge}))


def run_child(kind, policy, calls, churn_rows):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", kind, "--policy", policy,
         "--calls", str(calls), "--churn-rows", str(churn_rows)],
        check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def ms(seconds):
    return f"{seconds * 1e3:7.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=15, help="quiet and churn calls (>= 15)")
    parser.add_argument("--fresh", type=int, default=4, help="fresh processes per policy")
    parser.add_argument("--churn-rows", type=int, default=250_000)
    parser.add_argument("--kinds", nargs="+", choices=KINDS, default=list(KINDS))
    parser.add_argument("--child", choices=KINDS, help=argparse.SUPPRESS)
    parser.add_argument("--policy", choices=("with", "without"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        child(args.child, args.policy, args.calls, args.churn_rows)
        return

    def sysfs(name):
        try:
            with open(f"/sys/kernel/mm/transparent_hugepage/{name}") as f:
                return f.read().strip()
        except OSError:
            return "?"

    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"THP enabled: {sysfs('enabled')}; defrag: {sysfs('defrag')}; "
          f"{os.cpu_count()} cores, load average {load}")
    print(f"first: {args.fresh} fresh processes per policy; quiet and churn: {args.calls} calls "
          f"each; churn = Python %-loop over {args.churn_rows} XYZ rows before each call")
    print("times in ms, median / worst; ratio = without / with")
    header = (f"{'kind':14s} {'measure':7s} | {'with advice':>17s} | {'without':>17s} | "
              f"{'ratio med':>9s} {'ratio worst':>11s}")
    print(header)
    print("-" * len(header))

    start = time.perf_counter()
    for kind in args.kinds:
        samples = {"with": [], "without": []}
        # Alternate which policy goes first so drift in the machine hits both alike;
        # the first process of each policy also runs the long series.
        for rep in range(args.fresh):
            order = ("with", "without") if rep % 2 == 0 else ("without", "with")
            for policy in order:
                calls = args.calls if rep == 0 else 0
                samples[policy].append(run_child(kind, policy, calls, args.churn_rows))

        series = {}
        for policy, runs in samples.items():
            series[policy] = {
                "first": [r["first"] for r in runs],
                "quiet": runs[0]["quiet"],
                "churn": runs[0]["churn"],
            }
        for measure in ("first", "quiet", "churn"):
            w, wo = series["with"][measure], series["without"][measure]
            mw, xw = statistics.median(w), max(w)
            mo, xo = statistics.median(wo), max(wo)
            print(f"{kind:14s} {measure:7s} | {ms(mw)} / {ms(xw)} | {ms(mo)} / {ms(xo)} | "
                  f"{mo / mw:9.2f} {xo / xw:11.2f}")
        huge = {p: max(r["thp_kib"] for r in runs) for p, runs in samples.items()}
        print(f"{kind:14s} AnonHugePages seen: with {huge['with'] // 1024} MiB, "
              f"without {huge['without'] // 1024} MiB")
    print(f"total {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
