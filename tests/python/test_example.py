"""The example script against docksim from the source tree (test_install.py
runs it as installed)."""
import os
import re
import subprocess
import sys
import threading


EXAMPLE = os.environ.get("FERRYLINK_EXAMPLE", "")


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
