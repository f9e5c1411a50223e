"""Bad input and broken targets: one clear line, the right status, a
bounded wait."""
import json
import signal
import subprocess
import time

import pytest

from conftest import FERRYCTL, closed_port, ferryctl

LINE = r"ferryctl: [^\n]+\n"


@pytest.mark.parametrize("args", [
    ["read", "0", "0"],
    ["read", "0", "0x100000001"],
    ["read", "0xffffff00", "0x101"],
    ["read", "0x100000000", "1"],
    ["read", "0", "-1"],
    ["read", "0", "12abc"],
    ["write", "0", "0x100000000"],
    ["write", "0xfffffffc", "1", "2"],
    ["write", "16"],
    ["load", "0"],
    ["ping", "-n", "0"],
    ["ping", "extra"],
    ["monitor", "--count", "0"],
    ["write", "0", "1", "--verify"],
    ["send", "0x10000"],
    ["send", "1", "abc"],
    ["send", "1", "00" * 2044],
    ["frobnicate"],
    ["--bogus", "ping"],
    [],
])
def test_usage_errors_open_nothing(args):
    # The link is a closed port: had anything been opened, the status would be 1.
    r = ferryctl(*args, link="tcp:127.0.0.1:%d" % closed_port())
    assert r.status == 64, r.err
    assert r.out == "" and r.err.count("\n") == 1 and r.err.startswith("ferryctl: ")


@pytest.mark.parametrize("link, says", [
    ("tcp:localhost", "must be dotted-decimal IPv4"),
    ("tcp:127.1:2800", "must be dotted-decimal IPv4"),
    ("tcp:127.0.0.1:65526", "the TCP port must be a number from 1 to 65525"),
    ("tcp:127.0.0.1:", "the TCP port must be"),
    ("serial:/dev/null:12345", "the baud rate must be one of"),
    ("udp:127.0.0.1", "the link must be tcp:"),
])
def test_bad_links_are_usage_errors(link, says):
    r = ferryctl("ping", link=link)
    assert r.status == 64 and says in r.err and r.err.count("\n") == 1


def test_link_from_the_environment_and_none_at_all():
    port = closed_port()
    r = ferryctl("ping", env={"FERRYCTL_LINK": "tcp:127.0.0.1:%d" % port})
    assert (r.status, r.err) == (1, "ferryctl: cannot connect to 127.0.0.1:%d: connection refused\n" % port)
    r = ferryctl("ping")
    assert r.status == 64 and "no link" in r.err


def test_files_that_cannot_be_read_or_written(start_target, tmp_path):
    target = start_target()
    r = ferryctl("load", 0, tmp_path / "missing.bin", link=target.link)
    assert (r.status, r.err) == (1, "ferryctl: cannot read %s: no such file or directory\n" % (tmp_path / "missing.bin"))
    (tmp_path / "empty.bin").write_bytes(b"")
    r = ferryctl("load", 0, tmp_path / "empty.bin", link=target.link)
    assert r.status == 1 and "is empty" in r.err
    r = ferryctl("read", 0, 4, "-o", tmp_path / "no" / "dir.bin", link=target.link)
    assert r.status == 1 and r.err.startswith("ferryctl: cannot write ")


def test_unreachable_and_broken_targets(start_target):
    r = ferryctl("read", 0, 4, link="serial:/dev/nonexistent-ferry-line")
    assert (r.status, r.err) == (1, "ferryctl: cannot open serial:/dev/nonexistent-ferry-line:115200: "
                                    "no such file or directory\n")
    r = ferryctl("ping", link="serial:/dev/null")
    assert r.status == 1 and r.err.endswith("/dev/null is not a terminal\n")
    wrong = start_target("tcp", "wrong-ack")
    r = ferryctl("ping", link=wrong.link)
    assert r.status == 1 and "the device open was not acknowledged" in r.err and r.seconds < 5
    dropped = start_target("tcp", "drop")
    r = ferryctl("read", 0, 64, link=dropped.link)
    assert r.status == 1 and r.err == "ferryctl: no valid reply from the target to a read at 0x00000000 " \
                                      "(the link ended or the reply was malformed)\n"


def test_silent_target_times_out_and_leaves_no_file(start_target, tmp_path):
    target = start_target("tcp", "silent")
    out = tmp_path / "dump.bin"
    r = ferryctl("read", 0, 16, "-o", out, link=target.link)
    assert (r.status, r.err) == (1, "ferryctl: no reply from the target within 10 s\n")
    assert not out.exists()
    # An existing file is left as it was, and no temporary file stays.
    out.write_bytes(b"yesterday")
    r = ferryctl("read", 0, 16, "-o", out, link="tcp:127.0.0.1:%d" % closed_port())
    assert r.status == 1 and out.read_bytes() == b"yesterday"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dump.bin"]


@pytest.mark.parametrize("transport, limit", [("tcp", 10), ("serial", 5)])
def test_unacknowledged_open_times_out(start_target, transport, limit):
    target = start_target(transport, "no-ack")
    r = ferryctl("ping", link=target.link)
    assert r.status == 1
    assert r.err.endswith(": no acknowledgement of the device open within %d s\n" % limit)
    assert limit - 1 < r.seconds


def test_results_stay_clean_of_the_library_lines_and_unwritten_results_fail(start_target):
    # Packets with a wrong signature make the library print on standard
    # output: they go to standard error, and --json stays JSON.
    target = start_target("tcp", "bad-signature", ["--rate", "20"])
    r = ferryctl("--json", "monitor", "--timeout", "1", link=target.link)
    assert all(json.loads(line) for line in r.out.splitlines())
    assert "uiSignature" in r.err
    good = start_target()
    with open("/dev/full", "wb") as full:
        r = ferryctl("read", 0, 16, link=good.link, stdout=full)
    assert r.status == 1 and r.err.startswith("ferryctl: cannot write standard output")


def test_a_second_signal_ends_at_once_even_during_the_open(start_target):
    target = start_target("tcp", "no-ack")
    proc = subprocess.Popen([FERRYCTL, "--link", target.link, "read", "0", "16"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    start = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    time.sleep(0.1)
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=15) == 143
    assert time.monotonic() - start < 5
