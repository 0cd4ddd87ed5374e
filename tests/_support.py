"""Shared test helpers."""

import subprocess
import sys
import textwrap


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text mode).

    The timeout guards against hangs; it is not a speed test.
    """
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
