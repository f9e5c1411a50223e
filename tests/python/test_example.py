"""The example script against docksim, from the source tree and as installed
by `cmake --install` with the module it installs."""
import os
import pathlib
import re
import subprocess
import sys
import threading

import pytest

EXAMPLE = os.environ.get("FERRYLINK_EXAMPLE", "")
BUILD_DIR = os.environ.get("FERRYLINK_BUILD_DIR", "")
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")


def run_example(script, args, env=None, on_waiting=None):
    """Runs the example; calls on_waiting() once it waits for messages.
    Returns (exit status, output, errors)."""
    with subprocess.Popen([sys.executable, script, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=env) as process:
        # Lines are read as they come, so the waiting is seen while it
        # lasts; a run that does not end in time is killed, ending the read.
        watchdog = threading.Timer(30, process.kill)
        watchdog.start()
        output = []
        try:
            for line in process.stdout:
                output.append(line)
                if line.startswith("messages for") and on_waiting:
                    on_waiting()
            errors = process.stderr.read()
        finally:
            watchdog.cancel()
    return process.returncode, "".join(output), errors


def check_session(output, count):
    """The example's output: the word read back, a block, count messages."""
    assert "read back 0xc0ffee11" in output
    assert "read 4096 bytes at 0x1000" in output
    messages = re.findall(r"^message type 1 subtype 1: 8 bytes 0b 0c 0d 0e 0f 10 11 12$", output, re.M)
    assert len(messages) == count
    assert output.endswith("closed\n")


def test_example_over_tcp(docksim):
    text, sim = docksim("tcp")
    status, output, errors = run_example(EXAMPLE, [text, "--seconds", "0.7"],
                                         on_waiting=lambda: sim.command("burst 12 3"))
    assert status == 0, errors
    check_session(output, 3)


def test_example_reports_failures():
    status, output, errors = run_example(EXAMPLE, ["tcp:127.0.0.1:0"])
    assert status == 1 and output == ""
    assert "TCP port must be a number" in errors and "Traceback" not in errors


@pytest.mark.skipif(not BUILD_DIR, reason="needs the build tree (FERRYLINK_BUILD_DIR)")
def test_installed_module_and_example(docksim, tmp_path):
    prefix = tmp_path / "prefix with blank"
    subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", str(prefix)], check=True, capture_output=True,
                   timeout=120)
    site = prefix / "lib/python3/dist-packages"
    assert (site / "ferrylink/__init__.py").exists() and (site / "ferrylink/py.typed").exists()
    # Moved after the install: the module finds its library relative to itself.
    moved = tmp_path / "moved"
    prefix.rename(moved)
    site = moved / "lib/python3/dist-packages"
    env = {k: v for k, v in os.environ.items() if k not in ("FERRYLINK_LIBRARY", "PYTHONPATH")}
    env["PYTHONPATH"] = str(site)
    found = subprocess.run([sys.executable, "-c", "import ferrylink; print(ferrylink.load_library()._name)"],
                           env=env, capture_output=True, text=True, timeout=30, check=True).stdout.strip()
    assert moved.resolve() in pathlib.Path(found).resolve().parents
    assert pathlib.Path(found).name == "libferrylink.so.1"

    examples = list(moved.glob("share/doc/*/examples/ferry_example.py"))
    assert len(examples) == 1 and os.access(examples[0], os.X_OK)
    text, sim = docksim("tcp")
    status, output, errors = run_example(str(examples[0]), [text, "--seconds", "0.7"], env=env,
                                         on_waiting=lambda: sim.command("burst 12 2"))
    assert status == 0, errors
    check_session(output, 2)
