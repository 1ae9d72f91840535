"""Helpers shared by the test modules."""

import subprocess
import sys
import textwrap


def run_python(source, timeout=60):
    """Runs `source` in a fresh interpreter: for faults that crash or hang it."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=timeout)
