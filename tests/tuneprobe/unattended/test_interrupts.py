"""SIGINT and SIGTERM, in an unattended run and at the interactive console:
the device is disconnected and the interface closed, the report ends with
testRunEnd ERROR, and the exit status is 128 plus the signal's number."""
import os
import select
import signal
import subprocess
import time
import xml.etree.ElementTree as ElementTree

from conftest import TUNEPROBE, program_env, read_report, traced_calls


class Console:
    """tuneprobe with its standard input open (nothing typed yet)."""

    def __init__(self, args, trace, virtual_time=True, env=None):
        self.proc = subprocess.Popen([TUNEPROBE, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=program_env(env, virtual_time, trace))
        self.output = b""

    def wait_for(self, marker, count=1, timeout=30):
        deadline = time.monotonic() + timeout
        while self.output.count(marker) < count:
            left = deadline - time.monotonic()
            assert left > 0, f"no {marker!r} in {self.output[-300:]!r}"
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = self.proc.stdout.read1(4096)
                assert chunk, f"output ended before {marker!r}: {self.output[-300:]!r}"
                self.output += chunk

    def type(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def finish(self, timeout=30):
        rest, _ = self.proc.communicate(timeout=timeout)
        self.output += rest
        return self.proc.returncode


def test_ctrl_c_in_the_automated_test_closes_everything_and_ends_the_report(tmp_path):
    trace, report = tmp_path / "calls", tmp_path / "r.jsonl"
    console = Console(["--interface", "local", "--run", "9.2", "--load-mode", "1", "--report", str(report)], trace)
    # Through four groups to the pause in the middle of the fifth.
    for pause in range(1, 5):
        console.wait_for(b"Press Enter to continue", pause)
        console.type("\n")
    console.wait_for(b"Press Enter to continue", 5)
    console.proc.send_signal(signal.SIGINT)
    assert console.finish() == 130
    assert console.output.endswith(b"\nClosing application...\n")
    assert traced_calls(trace)[-2:] == ["DisconnectDevice ok", "CloseCalInterface"]
    lines = read_report(report)
    ends = [line["testStepArtifact"]["testStepEnd"]["status"] for line in lines
            if "testStepEnd" in line.get("testStepArtifact", {})]
    assert ends == ["COMPLETE"] * 4 + ["ERROR"]
    errors = [line["testRunArtifact"]["error"] for line in lines if "error" in line.get("testRunArtifact", {})]
    assert errors == [{"symptom": "interrupted", "message": "Interrupted (SIGINT)"}]
    assert lines[-1]["testRunArtifact"]["testRunEnd"] == {"status": "ERROR", "result": "NOT_APPLICABLE"}


def test_sigterm_ends_with_143(tmp_path):
    trace, junit = tmp_path / "calls", tmp_path / "r.xml"
    console = Console(["--interface", "local", "--run", "9.2", "--junit", str(junit)], trace)
    console.wait_for(b"Press Enter to continue")
    console.proc.send_signal(signal.SIGTERM)
    assert console.finish() == 143
    assert traced_calls(trace)[-2:] == ["DisconnectDevice ok", "CloseCalInterface"]
    # Stopped at the pause after the first group: one whole suite, and the
    # run's end as an error of its own that says why.
    suites = ElementTree.parse(junit).getroot().findall("testsuite")
    assert [(s.get("name"), s.get("tests"), s.get("failures"), s.get("errors")) for s in suites] == [
        ("Configuration", "6", "0", "0"), ("tuneprobe", "1", "0", "1")]
    error = suites[1].find("testcase/error")
    assert (error.get("type"), error.get("message")) == ("terminated", "Terminated (SIGTERM)")


def test_ctrl_c_at_the_interactive_console(tmp_path):
    trace = tmp_path / "calls"
    console = Console([], trace)
    console.wait_for(b"INTERFACE TYPE : ")
    console.proc.send_signal(signal.SIGINT)
    assert console.finish() == 130
    assert traced_calls(trace) == []  # nothing was open yet

    console = Console([], trace)
    console.wait_for(b"INTERFACE TYPE : ")
    console.type("0\n")
    console.wait_for(b"ENTER OPTION : ")
    console.proc.send_signal(signal.SIGINT)
    assert console.finish() == 130
    assert console.output.endswith(b"ENTER OPTION : \nClosing application...\n")
    assert traced_calls(trace) == ["GetCalInterface handle", "ConnectDevice ok", "DisconnectDevice ok",
                                   "CloseCalInterface"]


def test_a_closed_output_or_a_hang_up_ends_like_an_interrupt(tmp_path):
    for sig, status in ((None, 141), (signal.SIGHUP, 129)):
        trace, report = tmp_path / f"calls{status}", tmp_path / f"r{status}.jsonl"
        console = Console(["--interface", "local", "--run", "9.2", "--report", str(report)], trace)
        console.wait_for(b"Press Enter to continue")
        if sig is None:
            console.proc.stdout.close()  # the reader goes away
            console.type("\n")
            assert console.proc.wait(timeout=30) == status
        else:
            console.proc.send_signal(sig)
            assert console.finish() == status
        assert traced_calls(trace)[-2:] == ["DisconnectDevice ok", "CloseCalInterface"]
        assert read_report(report)[-1]["testRunArtifact"]["testRunEnd"]["status"] == "ERROR"


def test_ctrl_c_while_connecting_closes_the_interface(tmp_path):
    trace = tmp_path / "calls"
    console = Console(["--interface", "local", "--run", "9.2"], trace, virtual_time=False,
                      env={"CALSIM_FAULTS": "ConnectDevice=No device"})
    console.wait_for(b"Trying to open handle to Device...")
    console.proc.send_signal(signal.SIGINT)
    assert console.finish() == 130
    assert traced_calls(trace) == ["GetCalInterface handle", "ConnectDevice failed", "CloseCalInterface"]


def test_a_second_ctrl_c_ends_at_once(tmp_path):
    # Real time: the program sleeps a second between connection attempts and
    # acts on the first signal only after that sleep.
    trace = tmp_path / "calls"
    console = Console(["--interface", "local", "--run", "9.2"], trace, virtual_time=False,
                      env={"CALSIM_FAULTS": "ConnectDevice=No device"})
    console.wait_for(b"Trying to open handle to Device...")
    started = time.monotonic()
    console.proc.send_signal(signal.SIGINT)
    time.sleep(0.1)
    console.proc.send_signal(signal.SIGINT)
    assert console.finish() == 130
    assert time.monotonic() - started < 0.9
    assert b"Closing application" not in console.output


def test_a_second_ctrl_c_leaves_no_temporary_file(tmp_path):
    console = Console(["--interface", "local", "--run", "9.2", "--junit", str(tmp_path / "r.xml")], None,
                      virtual_time=False, env={"CALSIM_FAULTS": "ConnectDevice=No device"})
    console.wait_for(b"Trying to open handle to Device...")
    console.proc.send_signal(signal.SIGINT)
    time.sleep(0.1)
    console.proc.send_signal(signal.SIGINT)
    assert console.finish() == 130
    # The JUnit file says the run never ended; nothing else is left.
    assert os.listdir(tmp_path) == ["r.xml"]
    assert ElementTree.parse(tmp_path / "r.xml").getroot().find(".//error").get("type") == "in-progress"
