"""A Link against docksim over TCP and over a pty, and against a recording
peer that shows what goes on the wire."""
import ctypes
import gc
import pathlib
import re
import struct
import threading
import time
import weakref

import pytest

import ferrylink
from conftest import LIBRARY, wait_for

ROOT = pathlib.Path(__file__).resolve().parents[2]


def initial_byte(address):
    """What docksim holds at an address nothing was written to."""
    return ((address * 2654435761) & 0xFFFFFFFF) >> 24


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_memory_round_trip(docksim, kind):
    text, _ = docksim(kind)
    with ferrylink.Link(text) as link:
        words = {0x100: 0x12345678, 0x104: 0xFFFFFFFF, 0xFFFFFFFC: 0xA5A5A55A, 0x2000: 0}
        for address, value in words.items():
            link.write(address, value)
        for address, value in words.items():
            assert link.read(address, 4) == value.to_bytes(4, "little")
        # Unaligned and partial: a word's bytes are separate cells.
        assert link.read(0x102, 4) == bytes([0x34, 0x12, 0xFF, 0xFF])
        assert link.read(0xFFFFFFFF, 1) == b"\xa5"

        # Several requests, joined in order, with writes at both seams.
        base = 0x10000
        link.write(base + 2043 - 2, 0x04030201)
        link.write(base + 2 * 2043 - 1, 0x08070605)
        expected = bytearray(initial_byte(base + i) for i in range(5000))
        expected[2041:2045] = b"\x01\x02\x03\x04"
        expected[4085:4089] = b"\x05\x06\x07\x08"
        assert link.read(base, 5000) == bytes(expected)


def test_read_is_split_into_requests_of_at_most_2043_bytes(peer):
    with ferrylink.Link(peer.text) as link:
        data = link.read(0x1000, 2 * 2043 + 10)
    assert data == bytes((0x1000 + i) & 0xFF for i in range(2 * 2043 + 10))
    reads = [struct.unpack("<II", payload) for kind, payload in peer.packets if kind == 1]
    assert reads == [(0x1000, 2043), (0x1000 + 2043, 2043), (0x1000 + 2 * 2043, 10)]


def test_send_write_and_close_on_the_wire(peer):
    with ferrylink.Link(peer.text) as link:
        link.send(0x0203, b"hello", subtype=0x0405)
        link.send(7)
        link.send(0xFFFF, bytes(range(256)) * 7 + bytes(2039 - 7 * 256), subtype=0xFFFF)
        link.write(0x80000000, 0xDEADBEEF)
        link.read(0, 1)  # the peer has seen everything before its answer
    assert wait_for(lambda: any(kind == 5 for kind, _ in peer.packets), 5)
    kinds = [kind for kind, _ in peer.packets]
    assert kinds == [6, 4, 4, 4, 2, 1, 5]
    sent = [payload for kind, payload in peer.packets if kind == 4]
    assert sent[0] == b"\x03\x02\x05\x04hello"
    assert sent[1] == b"\x07\x00\x00\x00"
    assert len(sent[2]) == 2043 and sent[2][:4] == b"\xff\xff\xff\xff"
    assert peer.packets[4][1] == struct.pack("<II", 0x80000000, 0xDEADBEEF)


def expected_messages():
    """What the docksim commands of the delivery tests send, in order: "send
    40" (bytes 0, 1, 2, ...), "burst 300 50" (type 1/1, then 11, 12, ...),
    "send 3" (too short for a type and subtype)."""
    send40 = bytes(range(40))
    burst = (1, 1, bytes((7 + i) & 0xFF for i in range(4, 300)))
    return [(0x0100, 0x0302, send40[4:])] + [burst] * 50 + [(None, None, b"\x00\x01\x02")]


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_messages_arrive_intact_and_in_order(docksim, kind):
    text, sim = docksim(kind)
    got = []
    with ferrylink.Link(text, on_message=lambda *message: got.append(message)) as link:
        for line in ("send 40", "burst 300 50", "send 3"):
            sim.command(line)
            # One after the other: the burst starts only after the first message.
            wait_for(lambda: len(got) >= {"send 40": 1, "burst 300 50": 51, "send 3": 52}[line])
        assert link.dropped == 0
    # Checked long after the library's buffer held other messages: copies.
    assert got == expected_messages()
    assert all(type(payload) is bytes for _, _, payload in got)


def test_messages_without_a_handler_wait_for_one(docksim):
    text, sim = docksim("tcp")
    got = []
    with ferrylink.Link(text) as link:
        sim.command("burst 8 5")
        time.sleep(0.2)  # they come before a handler (or they would not be missed)
        link.on_message(lambda *message: got.append(message))
        assert wait_for(lambda: len(got) == 5)
        link.on_message(None)
        sim.command("send 6")
        time.sleep(0.2)
        link.on_message(lambda *message: got.append(message))
        assert wait_for(lambda: len(got) == 6)
        assert link.dropped == 0
    burst = (1, 1, bytes((7 + i) & 0xFF for i in range(4, 8)))
    assert got == [burst] * 5 + [(0x0100, 0x0302, b"\x04\x05")]


def test_what_waits_for_a_handler_is_bounded(docksim):
    text, sim = docksim("tcp")
    got = []
    with ferrylink.Link(text) as link:
        # 1 MiB of payload waits: 128 messages of 8187 bytes; the other 72 go.
        sim.command("burst 8187 200")
        assert wait_for(lambda: link.dropped == 72)
        link.on_message(lambda *message: got.append(message))
        assert wait_for(lambda: len(got) == 128)
        # Room again for the next ones.
        sim.command("burst 8187 3")
        assert wait_for(lambda: len(got) == 131)
        assert link.dropped == 72


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_a_handler_may_use_the_link(docksim, kind):
    # On a serial line the library refuses reads from its own thread; the
    # handler runs on the module's thread instead.
    text, sim = docksim(kind)
    answers = []
    failures = []
    done = threading.Event()

    def handler(_kind, _subtype, _payload):
        try:
            answers.append(link.read(0x300, 4))
        except ferrylink.FerrylinkError as error:
            failures.append(error)
        done.set()

    with ferrylink.Link(text, on_message=handler) as link:
        link.write(0x300, 0x01020304)
        sim.command("send 8")
        assert done.wait(10)
    assert failures == [] and answers == [b"\x04\x03\x02\x01"]


def test_context_manager_closes_the_port(docksim):
    text, _ = docksim("tcp")
    with ferrylink.Link(text) as link:
        assert not link.closed
        # The library keeps one link per process.
        with pytest.raises(RuntimeError, match="one link per process"):
            ferrylink.Link(text)
        link.read(0, 4)
    assert link.closed
    for call in (lambda: link.read(0, 4), lambda: link.write(0, 1), lambda: link.send(1)):
        with pytest.raises(ferrylink.FerrylinkError) as caught:
            call()
        assert caught.value.code == -1
    link.close()  # again: nothing happens
    # The port is free for the next Link, in the same process.
    with ferrylink.Link(text) as again:
        assert again.read(0x40, 2) == bytes([initial_byte(0x40), initial_byte(0x41)])


def test_a_read_of_no_bytes_asks_the_target_nothing(peer):
    with ferrylink.Link(peer.text) as link:
        assert link.read(0x20, 0) == b""
        assert link.read(0xFFFFFFFF, 0) == b""
        assert link.read(0x20, 1) == b"\x20"
    assert [payload for kind, payload in peer.packets if kind == 1] == [struct.pack("<II", 0x20, 1)]


def test_a_link_nobody_refers_to_closes_itself(docksim):
    text, _ = docksim("tcp")
    link = ferrylink.Link(text, on_message=lambda *message: None)
    link.read(0, 4)
    gone = weakref.ref(link)
    del link
    # Neither the module, nor its threads, nor the library's callback hold it.
    assert gone() is None
    with ferrylink.Link(text) as again:
        assert len(again.read(0, 4)) == 4


def test_a_link_only_cycles_refer_to_is_collected_for_the_next_one(docksim):
    text, _ = docksim("tcp")
    gc.disable()  # the next Link, not the collector's own schedule, must find it
    try:
        link = ferrylink.Link(text)
        link.on_failure(link.close)
        del link
        with ferrylink.Link(text) as again:
            assert len(again.read(0, 4)) == 4
    finally:
        gc.enable()


def read_limits():
    """The library's limits as it reports them, asked without the module."""
    limits = (ctypes.c_uint32 * 4)()
    ctypes.CDLL(LIBRARY).FerryGetLimits(limits)
    return tuple(limits)


def test_a_timeout_holds_for_its_own_link_only(docksim):
    text, _ = docksim("tcp", "--mode", "silent")
    with ferrylink.Link(text, timeout=0.25) as link:
        assert read_limits() == (250, 250, 250, 250)
        start = time.monotonic()
        with pytest.raises(ferrylink.ReplyTimeoutError):
            link.read(0, 4)
        assert 0.2 < time.monotonic() - start < 2
    with ferrylink.Link(text):
        assert read_limits() == (10000, 10000, 10000, 5000)  # the library's own


def test_state_and_versions(docksim):
    text, _ = docksim("tcp")
    header = (ROOT / "proxy" / "include" / "ferrylink.h").read_text(encoding="utf-8")
    numbers = [re.search(rf"FERRYLINK_VERSION_{part} (\d+)", header).group(1) for part in ("MAJOR", "MINOR", "PATCH")]
    assert ferrylink.library_version() == ".".join(numbers)
    project = re.search(r"project\(\w+ VERSION ([\d.]+)", (ROOT / "CMakeLists.txt").read_text(encoding="utf-8"))
    assert ferrylink.__version__ == project.group(1)
    with ferrylink.Link(text) as link:
        assert link.state == ferrylink.LinkState.OPEN and not link.closed and not link.failed
    assert link.state == ferrylink.LinkState.CLOSED and link.closed and not link.failed
