"""Bad input and broken targets: one clear line, the right status, a
bounded wait."""
import json
import signal
import subprocess
import time

import pytest

from conftest import FERRYCTL, ferryctl
from docksim_process import unused_port as closed_port

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
    ["monitor", "--duration", "0"],
    ["ping", "--duration", "1"],
    ["--timeout", "0", "ping"],
    ["--timeout", "0.0005", "ping"],
    ["--timeout", "600.001", "ping"],
    ["--timeout", "1e3", "ping"],
    ["--timeout", ".5", "ping"],
    ["--timeout", "1.", "ping"],
    ["ping", "--timeout"],
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


# The link's rules are the shared table's (tests/data/link_texts.tsv); here,
# that each kind of break is a usage error saying where the text came from.
@pytest.mark.parametrize("link, says", [
    ("tcp:127.1:2800", "the address must be an IPv4 address in dotted-decimal form"),
    ("tcp:127.0.0.1:0x50", "the TCP port must be a number from 1 to 65525"),
    ("serial:/dev/null:12345", "the baud rate must be one of"),
    ("tcp", "tcp alone names no address"),
    ("serial", "serial alone names no device"),
    ("udp:127.0.0.1", "expected tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD]"),
])
def test_bad_links_are_usage_errors(link, says):
    r = ferryctl("ping", link=link)
    assert (r.status, r.out) == (64, "") and r.err.startswith(f"ferryctl: --link {link}: ")
    assert says in r.err and r.err.count("\n") == 1
    r = ferryctl("ping", env={"FERRYCTL_LINK": link})
    assert r.status == 64 and r.err.startswith(f"ferryctl: FERRYCTL_LINK={link}: ") and says in r.err


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


NO_REPLY = "No whole reply came in time, or a packet of another type came in its place (the link has failed); " \
           "or the reply was larger than the buffer."
REFUSED = "The port is not open or the link has failed, or the call was refused: an argument it cannot take, " \
          "a call it cannot make from the callback, or an open that found no target or no acknowledgement."


def test_unreachable_and_broken_targets(start_target):
    r = ferryctl("read", 0, 4, link="serial:/dev/nonexistent-ferry-line")
    assert (r.status, r.err) == (1, "ferryctl: cannot open serial:/dev/nonexistent-ferry-line:115200: "
                                    "no such file or directory\n")
    r = ferryctl("ping", link="serial:/dev/null")
    assert r.status == 1 and r.err.endswith("/dev/null is not a terminal\n")
    wrong = start_target("tcp", "wrong-ack")
    r = ferryctl("--timeout", 1, "ping", link=wrong.link)
    assert r.status == 1 and "the device open was not acknowledged" in r.err and r.seconds < 1
    assert r.err.endswith(" [ferrylink -1: %s]\n" % REFUSED)
    # The target hangs up after its acknowledgement: the library may see it
    # go before the open returns, before the read, during it, or as its
    # request goes out.
    dropped = start_target("tcp", "drop")
    r = ferryctl("--timeout", 1, "read", 0, 64, link=dropped.link)
    assert r.status == 1 and r.err.count("\n") == 1, r.err
    read_failed = r.err.startswith("ferryctl: read of 64 bytes at 0x00000000: ") and "the link to the target" in r.err
    open_failed = r.err.startswith("ferryctl: cannot open %s: the device open was not acknowledged (a wrong "
                                   "answer, or the link ended)" % dropped.link)
    assert read_failed or open_failed, r.err


def test_silent_target_times_out_and_leaves_no_file(start_target, tmp_path):
    target = start_target("tcp", "silent")
    out = tmp_path / "dump.bin"
    r = ferryctl("read", 0, 16, "-o", out, "--timeout", 0.3, link=target.link)
    assert (r.status, r.err) == (1, "ferryctl: read of 16 bytes at 0x00000000: no reply within 0.3 s "
                                    "[ferrylink -4: %s]\n" % NO_REPLY)
    assert 0.28 < r.seconds < 3
    assert not out.exists()
    # An existing file is left as it was, and no temporary file stays.
    out.write_bytes(b"yesterday")
    r = ferryctl("read", 0, 16, "-o", out, link="tcp:127.0.0.1:%d" % closed_port())
    assert r.status == 1 and out.read_bytes() == b"yesterday"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dump.bin"]


# The acknowledgement has a limit of its own (shorter by default); --timeout
# bounds it too.
@pytest.mark.parametrize("transport", ["tcp", "serial"])
def test_unacknowledged_open_times_out(start_target, transport):
    target = start_target(transport, "no-ack")
    r = ferryctl("--timeout", 0.3, "ping", link=target.link)
    assert r.status == 1
    assert r.err.endswith(": no acknowledgement of the device open within 0.3 s [ferrylink -1: %s]\n" % REFUSED)
    assert 0.28 < r.seconds < 3


def test_results_stay_clean_of_the_library_lines_and_unwritten_results_fail(start_target):
    # Packets with a wrong signature make the library print on standard
    # output: they go to standard error, and --json stays JSON.
    target = start_target("tcp", "bad-signature", ["--rate", "20"])
    r = ferryctl("--json", "monitor", "--duration", "0.5", link=target.link)
    assert all(json.loads(line) for line in r.out.splitlines())
    assert "uiSignature" in r.err
    good = start_target()
    with open("/dev/full", "wb") as full:
        r = ferryctl("read", 0, 16, link=good.link, stdout=full)
    assert r.status == 1 and r.err.startswith("ferryctl: cannot write standard output")


def test_a_second_signal_ends_at_once_even_during_the_open(start_target, tmp_path):
    target = start_target("tcp", "no-ack", log=tmp_path / "docksim.log")
    proc = subprocess.Popen([FERRYCTL, "--link", target.link, "read", "0", "16"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert target.wait_for("device open: not acknowledged")
    start = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    time.sleep(0.1)
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=15) == 143
    assert time.monotonic() - start < 5


# A target that never answers: the call would wait the library's whole
# limit (10 s here); one signal ends it at once.
@pytest.mark.parametrize("mode, sig, status", [
    ("silent", signal.SIGINT, 130),
    ("silent", signal.SIGTERM, 143),
    ("no-ack", signal.SIGINT, 130),
])
def test_one_signal_ends_a_waiting_call_at_once(start_target, tmp_path, mode, sig, status):
    target = start_target("tcp", mode, log=tmp_path.parent / f"{tmp_path.name}-docksim.log")
    out = tmp_path / "dump.bin"
    proc = subprocess.Popen([FERRYCTL, "--link", target.link, "read", "0", "16", "-o", str(out)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert target.wait_for("remote read: " if mode == "silent" else "device open: not acknowledged")
    start = time.monotonic()
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=15)
    assert (proc.returncode, err) == (status, "ferryctl: interrupted\n")
    assert time.monotonic() - start < 1
    assert list(tmp_path.iterdir()) == []
    # The port was closed: the target serves the next host.
    target.stop()


# Closed standard descriptors are taken by /dev/null before anything opens,
# so that no socket or file becomes standard output and results never go
# to the target.
def test_closed_standard_output_stays_closed(start_target, tmp_path):
    log = tmp_path / "docksim.log"
    target = start_target(log=log)
    proc = subprocess.run(["sh", "-c", '"$@" <&- >&-', "sh", FERRYCTL, "--link", target.link, "read", "0x1000", "16"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=15)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == "ferryctl: cannot write standard output: bad file descriptor\n"
    # ferryctl has gone; docksim may not have read all it sent yet.
    assert target.wait_for("connection closed by the host")
    target.stop()
    requests = [line.split(" ", 2)[2] for line in log.read_text().splitlines()
                if "connection" not in line and line.startswith("docksim: ")]
    assert requests == ["device open: acknowledged with command type 6",
                        "remote read: address 0x00001000 count 16", "close"]
