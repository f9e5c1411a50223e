"""docksim's command line: help, usage errors, the reasons of a failed
start, port checks, -v log lines, and a capture that stays whole when
docksim is killed."""
import os
import random
import re
import signal
import socket
import subprocess
import time

import pytest

from conftest import FERRY_CLIENT, LINKTYPE_RAW, LINKTYPE_USER0, read_pcap, wait_for
from docksim_process import DocksimProcess, run_docksim

LOG_LINE = re.compile(r"^docksim: \d\d:\d\d:\d\d\.\d{3} ")


def test_help_lists_every_mode_option_and_command():
    done = run_docksim(["--help"])
    assert done.returncode == 0 and done.stderr == ""
    for word in ["tcp", "serial", "--port", "--tty", "--mode", "--rate", "--size", "--capture", "-v", "send",
                 "burst", "drop", "quit", "default 5000", "none", "bad-signature", "huge-length", "short-length",
                 "truncated", "silent", "no-ack", "wrong-ack", "8187", "--modem", "--modem-version", "--at"]:
        assert word in done.stdout, word
    assert run_docksim(["tcp", "-h"]).stdout == done.stdout


@pytest.mark.parametrize("args, text", [
    ([], "no link given"),
    (["udp"], "unknown link 'udp'"),
    (["tcp", "--colour"], "unknown option '--colour'"),
    (["tcp", "--port"], "--port needs a value"),
    (["tcp", "--port", "65526"], "not a base port from 1 to 65525"),
    (["tcp", "--port", "-1"], "not a base port"),
    (["tcp", "--mode", "rude"], "unknown mode 'rude'"),
    (["tcp", "--rate", "100001"], "--rate"),
    (["serial", "--size", "8188"], "ferrylink drops longer data messages"),
    (["tcp", "--modem-version", "0"], "not a version from 1 to 65535"),
    (["tcp", "--modem-version", "2"], "need --modem"),
    (["tcp", "--modem", "--at", "GetDeviceMode"], "--at needs --mode silent or --mode drop"),
    (["tcp", "--modem", "--mode", "drop", "--at", "Reboot"], "not OPERATION[/SKIP]"),
    (["tcp", "--modem", "--mode", "drop", "--at", "GetDeviceMode/x"], "not OPERATION[/SKIP]"),
])
def test_usage_errors_are_one_line_and_status_2(args, text):
    done = run_docksim(args)
    assert done.returncode == 2 and done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and text in done.stderr


def listening_below_the_kernels_ports():
    """A listening socket on a port whose port - 10 was free when picked,
    both below the kernel's own ports (32768 on), which other tests'
    connections take from at any moment."""
    rng = random.Random()
    while True:
        taken = socket.socket()
        try:
            taken.bind(("127.0.0.1", rng.randrange(20010, 30000)))
            with socket.socket() as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind(("127.0.0.1", taken.getsockname()[1] - 10))
            taken.listen()
            return taken
        except OSError:
            taken.close()


def test_a_port_in_use_gives_the_real_reason(tmp_path):
    old = tmp_path / "old.pcap"
    old.write_bytes(b"yesterday's capture")
    with listening_below_the_kernels_ports() as taken:
        port = taken.getsockname()[1]
        done = run_docksim(["tcp", "--port", str(port), "--capture", str(old)])
        assert done.returncode == 1
        # A start that failed leaves the old capture and nothing else.
        assert old.read_bytes() == b"yesterday's capture" and os.listdir(tmp_path) == ["old.pcap"]
        assert done.stderr == "docksim: cannot start: cannot listen on 127.0.0.1:%d: Address already in use\n" % port
        # The notification port is checked as well.
        done = run_docksim(["tcp", "--port", str(port - 10)])
        assert "cannot listen on 127.0.0.1:%d: Address already in use" % port in done.stderr


def test_port_0_picks_a_free_pair_and_says_which():
    with DocksimProcess("tcp") as sim:
        base, notify = sim.ports()
        assert sim.first_line == "docksim: listening on 127.0.0.1 ports %d and %d\n" % (base, base + 10)
        assert 0 < base <= 65525 and notify == base + 10
        for port in (base, notify):
            socket.create_connection(("127.0.0.1", port), 2).close()


def test_tty_must_be_a_terminal(tmp_path):
    plain = tmp_path / "plain"
    plain.write_bytes(b"")
    done = run_docksim(["serial", "--tty", str(plain)])
    assert done.returncode == 1
    assert done.stderr == "docksim: cannot start: %s is not a terminal device\n" % plain
    assert plain.read_bytes() == b""
    done = run_docksim(["serial", "--tty", str(tmp_path / "missing")])
    assert done.returncode == 1 and "No such file or directory" in done.stderr


def test_oversized_messages_are_refused_with_a_reason():
    with DocksimProcess("tcp") as sim:
        sim.command("send 8188")
        sim.command("burst 9000 2")
        sim.command("send 8187")
        err = sim.stop()
    assert "docksim: send: at most 8187 payload bytes (ferrylink drops longer data messages)" in err
    assert "docksim: burst: at most 8187 payload bytes" in err


def test_verbose_logs_connections_handshake_requests_and_messages():
    with DocksimProcess("tcp", "-v") as sim:
        base, _ = sim.ports()
        client = subprocess.Popen([FERRY_CLIENT, "tcp", str(base), "read", "0x40", "12", "write", "0x44", "7",
                                   "send", "4", "0500060001", "expect", "1"], stdout=subprocess.PIPE, text=True)
        for line in client.stdout:
            if line.startswith("send"):
                sim.command("send 10")
        assert client.wait(10) == 0
        client.stdout.close()
        err = sim.stop()
    lines = err.splitlines()
    assert all(LOG_LINE.match(line) for line in lines), err
    text = "\n".join(line[len("docksim: 00:00:00.000 "):] for line in lines)
    assert re.search(r"command connection from 127\.0\.0\.1:\d+ on port %d" % base, text)
    assert re.search(r"notification connection from 127\.0\.0\.1:\d+ on port %d" % (base + 10), text)
    assert "device open: acknowledged with command type 6" in text
    assert "remote read: address 0x00000040 count 12" in text
    assert "remote write: address 0x00000044 value 0x00000007" in text
    assert "data message from the host: 5 bytes, type 5 subtype 6, ignored" in text
    assert "data message sent: 10 bytes, type 256 subtype 770" in text
    assert "command connection closed by the host" in text


def test_quiet_without_v():
    with DocksimProcess("tcp") as sim:
        socket.create_connection(("127.0.0.1", sim.ports()[0]), 2).close()
        assert sim.stop() == ""


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_capture_is_whole_after_sigkill(kind, tmp_path):
    capture = tmp_path / "killed.pcap"
    with DocksimProcess(kind, "--capture", capture, "--rate", "2000", "--size", "300") as sim:
        target = str(sim.ports()[0]) if kind == "tcp" else sim.tty()
        # A host that opens the link and stays while the messages flow.
        client = subprocess.Popen([FERRY_CLIENT, kind, target, "expect", "1000000"], stdout=subprocess.DEVNULL)
        assert wait_for(lambda: os.path.getsize(capture) > 50000)
        sim.proc.send_signal(signal.SIGKILL)
        sim.proc.wait()
        client.kill()
        client.wait()
    linktype, records = read_pcap(capture)
    assert linktype == (LINKTYPE_RAW if kind == "tcp" else LINKTYPE_USER0)
    assert len(records) > 20


def test_commands_take_whole_numbers_only():
    done = run_docksim(["tcp", "--port", "0"], stdin_text="send 12junk\nburst 10 -1\nsend -3\nquit\n")
    assert done.returncode == 0
    assert done.stderr.splitlines() == [
        "docksim: send: BYTES must be a number of bytes",
        "docksim: burst: COUNT must be a number of messages up to 100000000",
        "docksim: send: BYTES must be a number of bytes"]


def test_rate_messages_a_stalled_host_cannot_take_are_counted_at_the_end():
    with DocksimProcess("tcp", "--rate", "100000", "--size", "8187") as sim:
        host = socket.socket()
        host.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        host.connect(("127.0.0.1", sim.ports()[1]))
        time.sleep(0.5)  # 400 MB due: far beyond what the queue and the sockets hold
        err = sim.stop()
        host.close()
    found = re.fullmatch(r"docksim: --rate: (\d+) of (\d+) data messages dropped: the host did not take them in time\n",
                         err)
    assert found, err
    assert 0 < int(found.group(1)) < int(found.group(2))
