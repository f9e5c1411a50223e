"""The files an unattended run writes: what kind of file a name holds decides
how it is written, two names of one file and a file another run holds are
refused, the report exists from the first moment, and every write failure
(standard output included) fails the run."""
import datetime
import fcntl
import os
import signal
import stat
import subprocess
import threading
import time
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import TUNEPROBE, program_env, read_report, run_tuneprobe

QUICK = ["--interface", "local", "--run", "1.3"]


def make_device(path):
    """A /dev/null-like node inside the test's folder; None where mknod is not allowed."""
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        return None
    return path


def fifo_reader(path):
    """Reads everything a writer sends through the FIFO at path."""
    got = {}

    def read():
        with open(path, "rb") as fifo:
            got["data"] = fifo.read()

    thread = threading.Thread(target=read)
    thread.start()
    return thread, got


@pytest.mark.parametrize("kind", ["regular", "symlink", "fifo", "device"])
def test_the_junit_file_is_replaced_or_written_through_by_kind(tmp_path, kind):
    junit = tmp_path / "r.xml"
    reader = None
    if kind == "regular":
        junit.write_text("yesterday")
    elif kind == "symlink":
        (tmp_path / "target.xml").write_text("yesterday")
        junit.symlink_to("target.xml")
    elif kind == "fifo":
        os.mkfifo(junit)
        reader = fifo_reader(junit)
    elif make_device(junit) is None:
        pytest.skip("mknod is not permitted here")
    result = run_tuneprobe([*QUICK, "--junit", str(junit)], None)
    assert result.returncode == 0, result.stderr
    if reader is not None:
        reader[0].join(timeout=30)
        assert ElementTree.fromstring(reader[1]["data"]).get("tests") == "0"
    mode = os.lstat(junit).st_mode
    expected = {"regular": stat.S_ISREG, "symlink": stat.S_ISLNK, "fifo": stat.S_ISFIFO, "device": stat.S_ISCHR}
    assert expected[kind](mode), "the name must keep its kind"
    if kind in ("regular", "symlink"):
        assert ElementTree.parse(junit).getroot().tag == "testsuites"
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_one_file_named_twice_or_held_by_another_run_is_refused(tmp_path):
    (tmp_path / "held.jsonl").write_text("the other station's report\n")
    os.link(tmp_path / "held.jsonl", tmp_path / "hard.jsonl")
    cases = [
        (["--report", f"{tmp_path}/./y.jsonl", "--junit", str(tmp_path / "y.jsonl")], "name the same file"),
        (["--report", str(tmp_path / "hard.jsonl"), "--log", str(tmp_path / "held.jsonl")], "name the same file"),
        (["--report", str(tmp_path / "held.jsonl")], "is being written by another run"),
        (["--junit", str(tmp_path / "held.jsonl")], "is being written by another run"),
    ]
    with open(tmp_path / "held.jsonl", "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # as a running tuneprobe holds its report
        for arguments, message in cases:
            result = run_tuneprobe([*QUICK, *arguments], None)
            assert result.returncode == 64 and message in result.stderr.decode(), arguments
    assert (tmp_path / "held.jsonl").read_text() == "the other station's report\n"
    assert sorted(os.listdir(tmp_path)) == ["hard.jsonl", "held.jsonl"]
    # /dev/null may take everything at once.
    assert run_tuneprobe([*QUICK, "--report", "/dev/null", "--log", "/dev/null"], None).returncode == 0


def test_a_run_killed_while_connecting_leaves_a_report_and_no_temporary_file(tmp_path):
    report, junit = tmp_path / "r.jsonl", tmp_path / "r.xml"
    proc = subprocess.Popen([TUNEPROBE, *QUICK[:2], "--run", "9.2", "--report", str(report), "--junit", str(junit)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            env=program_env({"CALSIM_FAULTS": "ConnectDevice=No device"}, virtual_time=False))
    try:
        proc.stdout.read1(100)  # the banner: the files exist by now
        time.sleep(0.5)
        proc.kill()
    finally:
        proc.communicate()
    assert [list(line)[2] for line in read_report(report)] == ["schemaVersion"]
    suites = ElementTree.parse(junit).getroot()
    assert suites.find("testsuite/testcase/error").get("type") == "in-progress"
    assert sorted(os.listdir(tmp_path)) == ["r.jsonl", "r.xml"]


def test_each_artifact_carries_the_time_it_happened(tmp_path):
    report = tmp_path / "r.jsonl"
    before = datetime.datetime.now(datetime.timezone.utc)
    result = run_tuneprobe([*QUICK, "--connect-attempts", "3", "--report", str(report)], None,
                           env={"CALSIM_FAULTS": "ConnectDevice=No device"})
    assert result.returncode == 1
    assert result.stderr.decode() == "tuneprobe: The device did not connect in 3 attempts: No device\n"
    lines = read_report(report)

    def stamp(line):
        return datetime.datetime.fromisoformat(line["timestamp"].replace("Z", "+00:00"))

    start = next(line for line in lines if "testRunStart" in line.get("testRunArtifact", {}))
    attempts = [line for line in lines if "log" in line.get("testRunArtifact", {})]
    assert [a["testRunArtifact"]["log"] for a in attempts] == [{"severity": "WARNING", "message": "No device"}] * 3
    assert abs((stamp(start) - before).total_seconds()) < 1
    gaps = [(stamp(b) - stamp(a)).total_seconds() for a, b in zip(attempts, attempts[1:])]
    assert all(0.9 < gap < 1.5 for gap in gaps), gaps  # one second apart (virtual time)
    error = lines[-2]["testRunArtifact"]["error"]
    assert error == {"symptom": "start-failed", "message": "The device did not connect in 3 attempts: No device"}


def test_output_that_cannot_be_written_fails_the_run(tmp_path):
    for arguments, message in [
        (["--report", "/dev/full"], "cannot write the report /dev/full: No space left on device"),
        (["--junit", "/dev/full"], "cannot write the JUnit file /dev/full: No space left on device"),
        ([], "cannot write standard output: No space left on device"),
    ]:
        with open("/dev/full", "wb") as full:
            proc = subprocess.run([TUNEPROBE, *QUICK, *arguments], stdin=subprocess.DEVNULL, stdout=full,
                                  stderr=subprocess.PIPE, env=program_env(), timeout=60, check=False)
        assert proc.returncode == 3 and message in proc.stderr.decode(), arguments
