"""The console through ferrylink to docksim --modem, over TCP and over a pty:
every recorded session gives the local transcript and leaves the target's
Device Data memory as the local run leaves it; and the link's failures reach
the operator as library errors, with nothing left hanging."""
import difflib
import os
import pathlib
import re
import signal
import socket
import subprocess
import time

import pytest

from conftest import TUNEPROBE, program_env, read_report, run_tuneprobe

DOCKSIM = os.environ.get("DOCKSIM", "")
ANSWERS = pathlib.Path(__file__).resolve().parents[1] / "data" / "answers"
SEED = "11"
# The console seeds its data patterns from the time of day: both runs of a
# comparison start at the same one (see virtual_time.c).
PINNED = {"VIRTUAL_TIME_EPOCH": "1800000000"}


class Target:
    """docksim --modem on a free loopback port pair or a new pty, with its
    -v log in a file."""

    def __init__(self, link, tmp_path, *options, env=None):
        self.log_path = tmp_path / f"docksim-{time.monotonic_ns()}.log"
        args = [DOCKSIM, "tcp", "--port", "0"] if link == "tcp" else [DOCKSIM, "serial"]
        run_env = {k: v for k, v in os.environ.items() if not k.startswith("CALSIM_")}
        run_env.update(env or {})
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([*args, "--modem", "-v", *options], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=log, env=run_env)
        first = self.proc.stdout.readline().decode()
        if link == "tcp":
            port = re.search(r"ports (\d+) and", first).group(1)
            self.answers = ["1", "127.0.0.1", port]
            self.option = f"tcp:127.0.0.1:{port}"
        else:
            tty = re.search(r"serial line (\S+)", first).group(1)
            self.answers = ["2", tty, "115200"]
            self.option = f"serial:{tty}:115200"

    def log(self):
        return self.log_path.read_text()

    def close(self):
        self.proc.stdin.close()
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)


@pytest.fixture
def target(tmp_path):
    started = []

    def start(link, *options, env=None):
        started.append(Target(link, tmp_path, *options, env=env))
        return started[-1]

    yield start
    for t in started:
        t.close()


def answer_lines(name, interface=None):
    """The answer file without its comments; its first answer (the interface)
    replaced by the given answers."""
    lines = [line.split("#", 1)[0].strip() for line in (ANSWERS / name).read_text().splitlines()]
    return "\n".join((interface or lines[:1]) + lines[1:]) + "\n"


def after_interface(output):
    """The transcript from the first connection attempt on: what is the same
    whichever interface was chosen."""
    text = output.decode()
    assert "Trying to open handle to Device..." in text, text[-500:]
    return text.split("Trying to open handle to Device...", 1)[1]


@pytest.mark.parametrize("link", ["tcp", "pty"])
@pytest.mark.parametrize("session", sorted(p.name for p in ANSWERS.glob("*.txt")))
def test_every_session_matches_the_local_run(target, tmp_path, link, session):
    local_dump, remote_dump = tmp_path / "local.bin", tmp_path / "remote.bin"
    local = run_tuneprobe([], answer_lines(session),
                          env={**PINNED, "CALSIM_SEED": SEED, "CALSIM_DEVDATA_DUMP": str(local_dump)})
    t = target(link, env={"CALSIM_SEED": SEED, "CALSIM_DEVDATA_DUMP": str(remote_dump)})
    remote = run_tuneprobe([], answer_lines(session, t.answers), env={**PINNED, "CALSIM_PROXY": "1"})
    assert local.returncode == remote.returncode == 0, remote.stdout.decode()[-800:]
    expected, got = after_interface(local.stdout), after_interface(remote.stdout)
    assert got == expected, "".join(difflib.unified_diff(expected.splitlines(True), got.splitlines(True), n=2))
    assert remote.stderr == b""
    if session == "automated_test.txt":
        text = remote.stdout.decode()
        assert text.count("PASS") == 22 and "FAIL" not in text
    # Written by the target when the console closed the interface.
    assert local_dump.stat().st_size > 0
    assert remote_dump.read_bytes() == local_dump.read_bytes()


def menu_items():
    """Every menu item's number, from the program itself; the sleep test
    makes no library call and measures the machine, not the link."""
    listing = subprocess.run([TUNEPROBE, "--list-items"], capture_output=True, text=True, check=True).stdout
    return [number for number, name in re.findall(r"^\s+(\d+\.\d+)\s+(\S+)", listing, re.M)
            if name != "sleep-function-accuracy-test"]


@pytest.mark.parametrize("link", ["tcp", "pty"])
@pytest.mark.parametrize("item", menu_items() if TUNEPROBE else [])
def test_every_command_answers_as_locally(target, link, item):
    """Each item with "1" for every answer (a group menu that reads one runs
    its first item again), then back out: the same output either way."""
    group, number = item.split(".")
    answers = [group, number] + ["1"] * 12 + ["-1", "-1", "-1"]
    local = run_tuneprobe([], "\n".join(["0"] + answers) + "\n", env={**PINNED, "CALSIM_SEED": SEED})
    t = target(link, env={"CALSIM_SEED": SEED})
    remote = run_tuneprobe([], "\n".join(t.answers + answers) + "\n", env={**PINNED, "CALSIM_PROXY": "1"})
    assert remote.returncode == local.returncode
    expected, got = after_interface(local.stdout), after_interface(remote.stdout)
    assert got == expected, "".join(difflib.unified_diff(expected.splitlines(True), got.splitlines(True), n=2))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_no_target_listening_is_the_connection_error(tmp_path):
    port = free_port()
    report = tmp_path / "r.jsonl"
    run = run_tuneprobe(["--interface", f"tcp:127.0.0.1:{port}", "--run", "9.2", "--report", str(report)], None,
                        env={"CALSIM_PROXY": "1"})
    assert run.returncode == 1
    text = run.stdout.decode()
    assert f"Failed because: No proxy link to the target at 127.0.0.1 port {port}\n" in text
    assert "ERROR: Unable to open a Host Proxy Cal API interface" in text
    logs = [line["testRunArtifact"]["log"]["message"] for line in read_report(report)
            if "log" in line.get("testRunArtifact", {})]
    assert f"No proxy link to the target at 127.0.0.1 port {port}" in logs


def test_a_target_of_another_version_is_refused(target):
    t = target("tcp", "--modem-version", "2")
    run = run_tuneprobe(["--interface", t.option, "--run", "9.2"], None, env={"CALSIM_PROXY": "1"})
    assert run.returncode == 1
    assert ("Failed because: The target speaks calibration link version 2, this library version 1; "
            "the proxy link is closed\n") in run.stdout.decode()
    assert "refused: this target speaks 2" in t.log()


def test_a_target_that_stops_answering_fails_each_call_and_the_session_ends(target):
    t = target("tcp", "--mode", "silent", "--at", "GetTemperature")
    run = run_tuneprobe([], answer_lines("automated_test.txt", t.answers),
                        env={"CALSIM_PROXY": "1", "CALSIM_PROXY_TIMEOUT_MS": "500"}, timeout=60)
    text = run.stdout.decode()
    assert run.returncode == 0
    # The call that met the silence waited for it; every later one fails at once.
    assert text.count("ERROR: The target did not answer within 0.5 s; the proxy link is closed\n") == 1
    assert "ERROR: The proxy link to the target is closed: the target did not answer within 0.5 s" in text
    assert text.endswith("Closing application...\n")


@pytest.mark.parametrize("link", ["tcp", "pty"])
def test_a_link_dropped_in_a_device_data_write_fails_the_write(target, link):
    t = target(link, "--mode", "drop", "--at", "WriteDevDataBytes")
    # The answer limit is never waited out: the waiting call's probes find
    # the connection or the line gone.
    run = run_tuneprobe([], answer_lines("devdata_read_write_group.txt", t.answers),
                        env={"CALSIM_PROXY": "1", "CALSIM_PROXY_TIMEOUT_MS": "120000"}, timeout=60)
    text = run.stdout.decode()
    assert run.returncode == 0
    assert "WriteDevDataBytes, the link ends here" in t.log()
    before, after = text.split("ERROR: ", 1)
    assert "ERROR" not in before
    assert after.startswith("The proxy link to the target failed; the proxy link is closed\n"), after[:200]
    assert "ERROR: The proxy link to the target is closed: the proxy link to the target failed\n" in after
    assert text.endswith("Closing application...\n")


def test_ctrl_c_while_a_call_waits_ends_the_wait_and_the_run(target, tmp_path):
    t = target("tcp", "--mode", "silent", "--at", "GetTemperature")
    report = tmp_path / "r.jsonl"
    args = ["--interface", t.option, "--run", "9.2", "--no-pause", "--load-mode", "1", "--report", str(report)]
    proc = subprocess.Popen([TUNEPROBE, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            env=program_env({"CALSIM_PROXY": "1", "CALSIM_PROXY_TIMEOUT_MS": "120000"}))
    deadline = time.monotonic() + 30
    while "silent from here on" not in t.log():
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)
    proc.send_signal(signal.SIGINT)
    # Long before the two-minute answer limit: the signal ends the wait.
    out, _ = proc.communicate(timeout=30)
    assert proc.returncode == 130
    assert out.endswith(b"\nClosing application...\n")
    lines = read_report(report)
    errors = [line["testRunArtifact"]["error"] for line in lines if "error" in line.get("testRunArtifact", {})]
    assert errors == [{"symptom": "interrupted", "message": "Interrupted (SIGINT)"}]
    assert lines[-1]["testRunArtifact"]["testRunEnd"] == {"status": "ERROR", "result": "NOT_APPLICABLE"}


def test_a_link_lost_mid_run_records_no_stale_value(target, tmp_path):
    t = target("tcp", "--mode", "drop", "--at", "GetCWOffset")
    report = tmp_path / "r.jsonl"
    run = run_tuneprobe(["--interface", t.option, "--run", "9.2", "--no-pause", "--load-mode", "1",
                         "--report", str(report)], None, env={"CALSIM_PROXY": "1"}, timeout=60)
    assert run.returncode == 2  # the verdicts after the loss were never measured
    artifacts = [line.get("testStepArtifact", line.get("testRunArtifact")) for line in read_report(report)[1:]]
    lost = next(i for i, a in enumerate(artifacts) if a.get("log", {}).get("severity") == "ERROR")
    assert "measurement" in str(artifacts[:lost])
    assert not [a for a in artifacts[lost:] if "measurement" in a or "measurementSeriesStart" in a]
    verdicts = [a["diagnosis"]["verdict"] for a in artifacts[lost:] if "diagnosis" in a]
    assert verdicts and all(v.endswith("-not-measured") for v in verdicts)
    assert any(a.get("log", {}).get("message", "").startswith("DisconnectDevice: ") for a in artifacts)
