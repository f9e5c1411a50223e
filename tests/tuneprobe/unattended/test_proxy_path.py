"""The console through ferrylink to docksim --modem, over TCP and over a pty:
every recorded session gives the local transcript and leaves the target's
Device Data memory as the local run leaves it; and the link's failures reach
the operator as library errors, with nothing left hanging."""
import difflib
import functools
import pathlib
import re
import signal
import subprocess
import time

import pytest

from conftest import TUNEPROBE, program_env, read_report, run_tuneprobe
from docksim_process import DocksimSet, unused_port

ANSWERS = pathlib.Path(__file__).resolve().parents[2] / "data" / "answers"
SEED = "11"
# The console seeds its data patterns from the time of day: both runs of a
# comparison start at the same one (see virtual_time.c).
PINNED = {"VIRTUAL_TIME_EPOCH": "1800000000"}


@pytest.fixture
def target(tmp_path):
    """target(link, *options, env=None): docksim --modem -v on the loopback
    port pair it picks ("tcp") or a new pty ("pty"); its answers reach it
    from the interface dialogue, its link from --interface, its stderr()
    is the log."""
    sims = DocksimSet(tmp_path)

    def start(link, *options, env=None):
        return sims.start("tcp" if link == "tcp" else "serial", "--modem", "-v", *options, env=env)

    yield start
    sims.close()


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


@functools.lru_cache(maxsize=None)
def local_session(session, dump):
    """The local run of an answer file, once for both links."""
    return run_tuneprobe([], answer_lines(session),
                         env={**PINNED, "CALSIM_SEED": SEED, "CALSIM_DEVDATA_DUMP": dump})


@pytest.mark.parametrize("link", ["tcp", "pty"])
@pytest.mark.parametrize("session", sorted(p.name for p in ANSWERS.glob("*.txt")))
def test_every_session_matches_the_local_run(target, tmp_path_factory, tmp_path, link, session):
    local_dump = tmp_path_factory.getbasetemp() / f"local-{session}.bin"
    remote_dump = tmp_path / "remote.bin"
    local = local_session(session, str(local_dump))
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


@functools.lru_cache(maxsize=None)
def every_item():
    """One session's items and answers: each item twice, with the device
    disconnected (1.2 before it) and connected (1.1), "1" for every answer
    and -1 to end a list that asks on; the same answers go to both runs,
    so whatever they feed, the outputs must match."""
    runs = []
    for item in menu_items():
        runs += ["--run", "1.2", "--run", item, "--run", "1.1", "--run", item]
    return runs, ("1\n" * 12 + "-1\n") * (len(runs) // 2)


@functools.lru_cache(maxsize=None)
def local_items():
    runs, answers = every_item()
    return run_tuneprobe(["--interface", "local", *runs], answers, env={**PINNED, "CALSIM_SEED": SEED})


@pytest.mark.parametrize("link", ["tcp", "pty"])
def test_every_command_answers_as_locally(target, link):
    """Every item in one session per link: the same output either way."""
    runs, answers = every_item()
    local = local_items()
    t = target(link, env={"CALSIM_SEED": SEED})
    remote = run_tuneprobe(["--interface", t.link, *runs], answers, env={**PINNED, "CALSIM_PROXY": "1"})
    assert remote.returncode == local.returncode
    expected, got = after_interface(local.stdout), after_interface(remote.stdout)
    # The answers lasted to the last item: each connect before an item ran.
    assert expected.count("ConnectDevice:") >= len(runs) // 8, expected[-500:]
    assert got == expected, "".join(difflib.unified_diff(expected.splitlines(True), got.splitlines(True), n=2))


def test_no_target_listening_is_the_connection_error(tmp_path):
    port = unused_port()
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
    run = run_tuneprobe(["--interface", t.link, "--run", "9.2"], None, env={"CALSIM_PROXY": "1"})
    assert run.returncode == 1
    assert ("Failed because: The target speaks calibration link version 2, this library version 1; "
            "the proxy link is closed\n") in run.stdout.decode()
    assert "refused: this target speaks 2" in t.stderr()


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
    assert "WriteDevDataBytes, the link ends here" in t.stderr()
    before, after = text.split("ERROR: ", 1)
    assert "ERROR" not in before
    assert after.startswith("The proxy link to the target failed; the proxy link is closed\n"), after[:200]
    assert "ERROR: The proxy link to the target is closed: the proxy link to the target failed\n" in after
    assert text.endswith("Closing application...\n")


def test_ctrl_c_while_a_call_waits_ends_the_wait_and_the_run(target, tmp_path):
    t = target("tcp", "--mode", "silent", "--at", "GetTemperature")
    report = tmp_path / "r.jsonl"
    args = ["--interface", t.link, "--run", "9.2", "--no-pause", "--load-mode", "1", "--report", str(report)]
    proc = subprocess.Popen([TUNEPROBE, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            env=program_env({"CALSIM_PROXY": "1", "CALSIM_PROXY_TIMEOUT_MS": "120000"}))
    deadline = time.monotonic() + 30
    while "silent from here on" not in t.stderr():
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
    run = run_tuneprobe(["--interface", t.link, "--run", "9.2", "--no-pause", "--load-mode", "1",
                         "--report", str(report)], None, env={"CALSIM_PROXY": "1"}, timeout=60)
    assert run.returncode == 2  # the verdicts after the loss were never measured
    artifacts = [line.get("testStepArtifact", line.get("testRunArtifact")) for line in read_report(report)[1:]]
    lost = next(i for i, a in enumerate(artifacts) if a.get("log", {}).get("severity") == "ERROR")
    assert "measurement" in str(artifacts[:lost])
    assert not [a for a in artifacts[lost:] if "measurement" in a or "measurementSeriesStart" in a]
    verdicts = [a["diagnosis"]["verdict"] for a in artifacts[lost:] if "diagnosis" in a]
    assert verdicts and all(v.endswith("-not-measured") for v in verdicts)
    assert any(a.get("log", {}).get("message", "").startswith("DisconnectDevice: ") for a in artifacts)
