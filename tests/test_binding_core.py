"""The frame's Python-free core, built and run as a C++ program without Python."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_core_checks_pass_without_python(tmp_path):
    # No Python include path: the core must build on its own.
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    core = ROOT / "binding" / "core"
    program = tmp_path / "core_check"
    build = subprocess.run(
        [compiler, "-std=c++20", "-O2", "-ffp-contract=off", f'-DKESTRIX_SOURCE_DIR="{ROOT}/"',
         "-I", str(core / "include"), "-o", str(program), str(ROOT / "tests" / "core_check.cpp"),
         str(core / "src" / "buffer.cpp"), str(core / "src" / "panic.cpp")],
        capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(program)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout
    assert run.stdout.endswith(" checks, 0 failed\n")
    # Each internal failure leaves its diagnostic line, the path relative to the project.
    lines = run.stderr.splitlines()
    assert len(lines) == 4
    assert lines[-1].startswith("kestrix: internal failure at tests/core_check.cpp:")
    assert lines[-1].endswith(": core check: deliberate")
    assert all(line.endswith(": ndarray: index out of bounds") for line in lines[:3])
