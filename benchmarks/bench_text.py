"""Parsing and formatting of structure text blocks: kestrix._scribe against
numpy.loadtxt and plain Python %-formatting, measured in one run.

    python benchmarks/bench_text.py [--atoms N] [--repeat R]

Each figure is printed with its ratio to the baseline measured in the same run;
times are the best of R repetitions (of 2 for the much slower baselines).
"""

import argparse
import gc
import os
import time
import tracemalloc

import numpy as np

from kestrix import _scribe

SYMBOLS = ["O", "H", "H", "Fe", "C", "Si"]


def best_time(func, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        func()
        times.append(time.perf_counter() - t0)
    return min(times)


def python_heap_after(func):
    """Bytes and blocks that the Python allocators hold for the result of func()."""
    gc.collect()
    tracemalloc.start()
    result = func()
    snapshot = tracemalloc.take_snapshot()
    tracemalloc.stop()
    del result
    traces = [t for t in snapshot.traces if t.traceback[0].filename != tracemalloc.__file__]
    return sum(t.size for t in traces), len(traces)


def report_parse(name, lines, parse, usecols, repeat):
    n = len(lines)
    t_rs = best_time(lambda: parse(lines), repeat)
    t_np = best_time(lambda: np.loadtxt(lines, usecols=usecols), 2)
    rate = 3 * n / t_rs
    print(f"parse {name:8s} {n} lines: {t_rs * 1e3:8.1f} ms  numpy.loadtxt {t_np * 1e3:8.1f} ms  "
          f"speed-up {t_np / t_rs:5.1f}x (target >= 4x)  "
          f"{rate / 1e6:5.1f} M numbers/s (target >= 40)")


def report_format(name, fmt_rs, fmt_py, n, repeat):
    t_rs = best_time(fmt_rs, repeat)
    t_py = best_time(fmt_py, 2)
    per_number = t_rs / (3 * n) * 1e9
    print(f"format {name:8s} {n} rows: {t_rs * 1e3:8.1f} ms  Python %-loop {t_py * 1e3:8.1f} ms  "
          f"speed-up {t_py / t_rs:5.1f}x (target >= 10x)  "
          f"{per_number:5.1f} ns/number (target <= 50)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--atoms", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, repeat = args.atoms, args.repeat

    rng = np.random.default_rng(42)
    positions = rng.uniform(-50.0, 50.0, size=(n, 3))
    scaled = rng.uniform(0.0, 1.0, size=(n, 3))
    flags = rng.random((n, 3)) < 0.5
    symbols = [SYMBOLS[k % len(SYMBOLS)] for k in range(n)]

    xyz_lines = _scribe.format_xyz_block_rs(symbols, positions).splitlines()
    poscar_lines = _scribe.format_poscar_positions_rs(positions).splitlines()
    xdatcar_lines = _scribe.format_xdatcar_config_rs(scaled, 1).splitlines()[1:]

    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"numpy {np.__version__}; {n} atoms; best of {repeat} (baselines: of 2); "
          f"{os.cpu_count()} cores, load average {load}")
    report_parse("XYZ", xyz_lines, _scribe.parse_xyz_block_rs, (1, 2, 3), repeat)
    report_parse("POSCAR", poscar_lines,
                 lambda lines: _scribe.parse_poscar_positions_rs(lines, False), (0, 1, 2), repeat)
    report_parse("XDATCAR", xdatcar_lines, _scribe.parse_xdatcar_coords_rs, (0, 1, 2), repeat)

    rows = positions.tolist()
    scaled_rows = scaled.tolist()
    flag_rows = flags.tolist()

    def xyz_py():
        return "".join("%-2s %22.15f %22.15f %22.15f\n" % (s, x, y, z)
                       for s, (x, y, z) in zip(symbols, rows))

    def poscar_py():
        return "".join(" %19.16f %19.16f %19.16f%4s%4s%4s\n" % (
            x, y, z, *("F" if f else "T" for f in fl)) for (x, y, z), fl in zip(rows, flag_rows))

    def xdatcar_py():
        return "Direct configuration=%6d\n" % 1 + "".join(
            "  %11.8f %11.8f %11.8f\n" % (x, y, z) for x, y, z in scaled_rows)

    assert xyz_py() == _scribe.format_xyz_block_rs(symbols, positions)
    assert poscar_py() == _scribe.format_poscar_positions_rs(positions, flags)
    assert xdatcar_py() == _scribe.format_xdatcar_config_rs(scaled, 1)
    report_format("XYZ", lambda: _scribe.format_xyz_block_rs(symbols, positions), xyz_py, n, repeat)
    report_format("POSCAR", lambda: _scribe.format_poscar_positions_rs(positions, flags),
                  poscar_py, n, repeat)
    report_format("XDATCAR", lambda: _scribe.format_xdatcar_config_rs(scaled, 1),
                  xdatcar_py, n, repeat)

    # Memory: the symbols share one str per distinct symbol, so what a parse
    # leaves on the Python heap is the list of N slots and a handful of objects,
    # however many lines; the positions live in one native block.
    parsed_symbols, _ = _scribe.parse_xyz_block_rs(xyz_lines)
    distinct_objects = len({id(s) for s in parsed_symbols})
    held, blocks = python_heap_after(lambda: _scribe.parse_xyz_block_rs(xyz_lines))
    print(f"memory   XYZ parse of {n} lines: {distinct_objects} str objects for "
          f"{len(set(parsed_symbols))} distinct symbols; Python heap holds {blocks} blocks, "
          f"{held / n:.2f} B/line (the list's 8 B slot per line)")


if __name__ == "__main__":
    main()
