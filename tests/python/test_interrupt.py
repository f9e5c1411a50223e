"""Ctrl-C during a call that waits for the target: a Python process with a
Link is sent SIGINT while the library waits, and must end by
KeyboardInterrupt at once, not when the library's limit runs out."""
import signal
import subprocess
import sys
import time

import pytest

# The child: opens (or reads through) a link that will not answer.
CHILD = """
import signal, sys
import ferrylink

signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with it ignored
text, call = sys.argv[1:]
if call == "open":
    print("calling", flush=True)
    ferrylink.Link(text)
link = ferrylink.Link(text, on_failure=lambda: print("failure told", flush=True))
try:
    print("calling", flush=True)
    link.read(0, 4)
finally:
    print(f"closed={link.closed} failed={link.failed}", flush=True)
"""


@pytest.mark.parametrize("kind, mode, call", [
    ("tcp", "silent", "read"),  # the reply limit: 10 s
    ("serial", "silent", "read"),
    ("tcp", "no-ack", "open"),  # the acknowledgement's: 5 s
])
def test_ctrl_c_ends_a_waiting_call_at_once(docksim, kind, mode, call):
    text, sim = docksim(kind, "--mode", mode, "-v")
    with subprocess.Popen([sys.executable, "-c", CHILD, text, call], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "calling\n"
            # The target has the request: the call waits for its answer.
            assert sim.wait_for("remote read: " if call == "read" else "device open: not acknowledged")
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            child.wait(3)
            took = time.monotonic() - sent
        finally:
            if child.poll() is None:
                child.kill()
        output, errors = child.communicate()
    assert took < 1
    # Python ends a process that KeyboardInterrupt left by SIGINT (status 130).
    assert child.returncode == -signal.SIGINT and "KeyboardInterrupt" in errors, errors
    if call == "read":
        # The interrupted call failed the link, and the Link knows it.
        assert "failure told\n" in output and output.endswith("closed=True failed=True\n")
