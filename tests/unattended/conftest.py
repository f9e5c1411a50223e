"""Shared pieces of the tests that drive the real tuneprobe binary from Python.

CTest passes the binary and the virtual-time library in the environment
(TUNEPROBE, VIRTUAL_TIME); the preload makes the console's sleeps return at
once, so a full automated test takes well under a second.
"""
import os
import subprocess

import pytest

TUNEPROBE = os.environ.get("TUNEPROBE", "")
VIRTUAL_TIME = os.environ.get("VIRTUAL_TIME", "")


def program_env(extra=None, virtual_time=True):
    """The environment a run gets: virtual time unless asked otherwise, no
    inherited simulator settings, then the caller's entries."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("CALSIM_")}
    if virtual_time and VIRTUAL_TIME:
        env["LD_PRELOAD"] = VIRTUAL_TIME
        # An address-sanitizer build would take the preload for a wrong link
        # order; other builds ignore the setting.
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0"
    env.update(extra or {})
    return env


def run_tuneprobe(args, stdin_text="", env=None, virtual_time=True, timeout=120):
    """Runs tuneprobe with args and stdin_text; returns the CompletedProcess
    (stdout and stderr as text)."""
    return subprocess.run([TUNEPROBE, *args], input=stdin_text.encode(), capture_output=True,
                          env=program_env(env, virtual_time), timeout=timeout, check=False)


@pytest.fixture(autouse=True)
def _binary_given():
    if not TUNEPROBE or not os.access(TUNEPROBE, os.X_OK):
        pytest.fail("TUNEPROBE must name the tuneprobe binary (CTest sets it)")
