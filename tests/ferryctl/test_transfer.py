"""Memory transfers and round trips against docksim, over TCP and a pty."""
import json
import os
import pty
import re

import pytest

from conftest import ferryctl

SHORT_REPLY_TEXT = "The remote read reply carried fewer bytes than were asked for."


def dumped_bytes(text):
    """The bytes of a hex dump, checking that its addresses run on."""
    data = bytearray()
    start = None
    for line in text.splitlines():
        m = re.match(r"^([0-9a-f]{8})  ((?:[0-9a-f]{2} ? ?)+)\s*\|.*\|$", line)
        assert m, line
        address = int(m.group(1), 16)
        start = address if start is None else start
        assert address == start + len(data)
        data += bytes.fromhex(m.group(2))
    return start, bytes(data)


def test_ping_reports_ordered_round_trips(target):
    r = ferryctl("ping", "-n", 20, link=target.link)
    assert r.status == 0, r.err
    m = re.search(r"20 reads of 4 bytes: min ([\d.]+) ms, median ([\d.]+) ms, p99 ([\d.]+) ms$", r.out.strip())
    assert m, r.out
    low, median, p99 = (float(v) for v in m.groups())
    assert low <= median <= p99
    report = json.loads(ferryctl("--json", "ping", link=target.link).out)
    assert (report["command"], report["reads"]) == ("ping", 10)
    assert report["link"] in (target.link, target.link + ":115200")  # a serial link shows its baud rate
    assert report["min_ms"] <= report["median_ms"] <= report["p99_ms"]


def test_written_words_read_back_little_endian(target):
    r = ferryctl("write", "0x1000", "0x11223344", "0xdeadbeef", 7, link=target.link)
    assert (r.status, r.out) == (0, "wrote 3 words at 0x00001000\n")
    r = ferryctl("read", "4096", "12", link=target.link)
    assert r.status == 0
    assert dumped_bytes(r.out) == (0x1000, bytes.fromhex("44332211efbeadde07000000"))
    lines = [json.loads(line) for line in ferryctl("--json", "read", "0x1000", 12, link=target.link).out.splitlines()]
    assert lines == [{"address": 4096, "data": "44332211efbeadde07000000"}]
    # The last word of the address space is still in it.
    r = ferryctl("write", "0xfffffffc", "0xa5a5a5a5", link=target.link)
    assert r.status == 0
    assert dumped_bytes(ferryctl("read", "0xfffffff0", 16, link=target.link).out)[1][-4:] == b"\xa5" * 4


def test_load_verifies_and_long_reads_come_back_whole(target, tmp_path):
    # Longer than two requests carry, and not a multiple of 4.
    data = os.urandom(5001)
    source = tmp_path / "image.bin"
    source.write_bytes(data)
    r = ferryctl("load", "0x2000", source, "--verify", link=target.link)
    assert r.status == 0, r.err
    assert r.out == "loaded 5001 bytes at 0x00002000, verified\n"
    assert "padded with 3 zero bytes" in r.err
    back = tmp_path / "back.bin"
    r = ferryctl("read", "0x2000", 5004, "-o", back, link=target.link)
    assert r.status == 0 and r.err == ""
    assert back.read_bytes() == data + b"\0\0\0"
    assert dumped_bytes(ferryctl("read", "0x2000", 5001, link=target.link).out) == (0x2000, data)
    r = ferryctl("--json", "--quiet", "load", "0x2000", source, link=target.link)
    assert (r.status, r.err) == (0, "")
    assert json.loads(r.out) == {"command": "load", "address": 0x2000, "bytes": 5001, "padding": 3,
                                 "verified": None}


def test_read_into_a_symlink_fills_the_file_it_names(start_target, tmp_path):
    target = start_target()
    assert ferryctl("write", "0x4000", "0x04030201", link=target.link).status == 0
    (tmp_path / "real.bin").write_bytes(b"yesterday")
    link = tmp_path / "dump.bin"
    link.symlink_to("real.bin")
    r = ferryctl("read", "0x4000", 4, "-o", link, link=target.link)
    assert (r.status, r.err) == (0, "")
    assert r.out == "read 4 bytes from 0x00004000 into %s\n" % link
    assert link.is_symlink() and os.readlink(link) == "real.bin"
    assert (tmp_path / "real.bin").read_bytes() == b"\x01\x02\x03\x04"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dump.bin", "real.bin"]


def test_send_takes_type_and_hex_payload(target):
    r = ferryctl("send", "0x0102", "de", "ad", "beef", link=target.link)
    assert (r.status, r.out) == (0, "sent command type 0x0102 with 4 payload bytes\n")
    r = ferryctl("--json", "send", 4, link=target.link)
    assert json.loads(r.out) == {"command": "send", "type": 4, "length": 0}


def test_verify_reports_the_first_differing_address(forgetful_target, tmp_path):
    # The target's memory keeps none of the words: everything reads back as zeros.
    source = tmp_path / "image.bin"
    source.write_bytes(bytes(6) + b"\xab\xcd")
    r = ferryctl("load", "0x3000", source, "--verify", link=forgetful_target.link)
    assert r.status == 1
    assert r.err == "ferryctl: verify: 0x00003006 differs: 0xab written, 0x00 read back\n"
    r = ferryctl("--json", "load", "0x3000", source, "--verify", link=forgetful_target.link)
    assert r.status == 1
    assert json.loads(r.out)["mismatch"] == 0x3006


@pytest.mark.parametrize("args", [
    ["read", "0x1000", 16],
    ["read", "0x1000", 16, "-o", "{tmp}/dump.bin"],
    ["load", "0x1000", "{tmp}/image.bin", "--verify"],
])
def test_a_short_read_reply_is_an_error_not_zeros(start_target, tmp_path, args):
    # Replies that carry only their command type: nothing of them is data.
    target = start_target("tcp", "short-length")
    (tmp_path / "image.bin").write_bytes(bytes(16))
    r = ferryctl(*(a.format(tmp=tmp_path) if isinstance(a, str) else a for a in args), link=target.link)
    assert (r.status, r.out) == (2, "")
    assert r.err == "ferryctl: read of 16 bytes at 0x00001000: the reply was short [ferrylink -7: %s]\n" % (
        SHORT_REPLY_TEXT)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["image.bin"]


def test_progress_only_on_a_terminal(start_target, tmp_path):
    target = start_target()
    out = tmp_path / "dump.bin"
    piped = ferryctl("read", 0, 10000, "-o", out, link=target.link)
    assert piped.status == 0 and piped.err == ""
    for quiet, shown in ((False, True), (True, False)):
        master, slave = pty.openpty()
        try:
            r = ferryctl(*(["--quiet"] if quiet else []), "read", 0, 10000, "-o", out, link=target.link,
                         stderr=slave)
            os.close(slave)
            slave = -1
            screen = b""
            try:
                while chunk := os.read(master, 4096):
                    screen += chunk
            except OSError:
                pass  # the pty's other side is closed: all read
        finally:
            os.close(master)
            if slave >= 0:
                os.close(slave)
        assert r.status == 0
        assert (b"read [" in screen and b"100% 10000/10000 bytes" in screen) == shown, screen


def test_help_and_version():
    r = ferryctl("--help")
    assert r.status == 0 and r.out.startswith("usage: ferryctl ") and r.err == ""
    r = ferryctl("--version")
    assert r.status == 0 and re.fullmatch(r"ferryctl (\d+\.\d+\.\d+) \(libferrylink \1\)\n", r.out), r.out

