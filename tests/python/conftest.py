# SPDX-License-Identifier: MIT
"""Shared fixtures: the scenarios folder and the C++ collector's results to compare with."""

import contextlib
import os
import sys
import subprocess


SCENARIOS = os.environ.get("PEMDOR_SCENARIOS", "")
REFERENCE = os.environ.get("PEMDOR_REFERENCE", "")


def scenario_files():
    return sorted(
        os.path.join(SCENARIOS, name) for name in os.listdir(SCENARIOS) if name.endswith(".json")
    )


def scenario(name):
    return os.path.join(SCENARIOS, name)


def reference(*arguments):
    """What the C++ collector gives for the same run (tests/python/reference_tool.cpp)."""
    return subprocess.run(
        [REFERENCE, *[str(a) for a in arguments]], check=True, capture_output=True, text=True
    ).stdout


@contextlib.contextmanager
def unraisable():
    """Collects what reaches sys.unraisablehook inside the block. Set in the test's body:
    pytest puts a hook of its own in place around each test."""
    seen = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: seen.append(report.exc_value)
    try:
        yield seen
    finally:
        sys.unraisablehook = previous
