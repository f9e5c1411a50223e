"""Malformed link texts, arguments out of range, and the library's result
codes surfacing as FerrylinkError: refused opens, a closed port, a target
that stops answering or goes away."""
import time

import pytest

import ferrylink
from conftest import free_port_pair, wait_for


@pytest.mark.parametrize("text, complaint", [
    ("", "expected tcp:ADDRESS"),
    ("local", "expected tcp:ADDRESS"),
    ("tcp", "expected tcp:ADDRESS"),
    ("TCP:127.0.0.1", "expected tcp:ADDRESS"),
    ("udp:127.0.0.1:5000", "expected tcp:ADDRESS"),
    ("tcp:", "address is missing"),
    ("tcp::5000", "address is missing"),
    ("tcp:localhost:5000", "dotted-decimal"),
    ("tcp:127.0.0.256", "dotted-decimal"),
    ("tcp:127.1", "dotted-decimal"),
    ("tcp:127.0.0.01", "dotted-decimal"),
    ("tcp:127.0.0.1:", "TCP port must be a number from 1 to 65525"),
    ("tcp:127.0.0.1:0", "TCP port"),
    ("tcp:127.0.0.1:65526", "TCP port"),
    ("tcp:127.0.0.1:+80", "TCP port"),
    ("tcp:127.0.0.1:5000:1", "TCP port"),
    ("serial:", "serial device is missing"),
    ("serial::9600", "serial device is missing"),
    ("serial:/dev/ttyS0:", "baud rate must be a number"),
    ("serial:/dev/ttyS0:12345", "not one the library can set"),
    ("serial:/dev/" + "x" * 59, "longer than 63"),
])
def test_malformed_link_texts(text, complaint):
    with pytest.raises(ValueError, match=complaint) as caught:
        ferrylink.Link(text)
    assert repr(text) in str(caught.value)


@pytest.mark.parametrize("text, parts", [
    ("tcp:127.0.0.1", ("tcp", "127.0.0.1", 2800)),
    ("tcp:10.1.2.3:65525", ("tcp", "10.1.2.3", 65525)),
    ("serial:/dev/ttyUSB0", ("serial", "/dev/ttyUSB0", 115200)),
    ("serial:/dev/ttyUSB0:9600", ("serial", "/dev/ttyUSB0", 9600)),
    # A name may hold colons; only trailing digits are a baud rate.
    ("serial:/dev/serial/by-path/pci-0:0:9600", ("serial", "/dev/serial/by-path/pci-0:0", 9600)),
    ("serial:/dev/by-id/usb-A:B", ("serial", "/dev/by-id/usb-A:B", 115200)),
    ("serial:/dev/" + "x" * 58, ("serial", "/dev/" + "x" * 58, 115200)),
])
def test_link_texts_parsed(text, parts):
    assert ferrylink.parse_link(text) == ferrylink.Endpoint(*parts)


def test_arguments_out_of_range(peer):
    with ferrylink.Link(peer.text) as link:
        for call, complaint in [
                (lambda: link.read(0, 0), "count"),
                (lambda: link.read(0, 2**32 + 1), "count"),
                (lambda: link.read(-1, 4), "address"),
                (lambda: link.read(2**32, 4), "address"),
                (lambda: link.read(0xFFFFFFFE, 4), "32-bit address space"),
                (lambda: link.write(2**32, 0), "address"),
                (lambda: link.write(0, 2**32), "value"),
                (lambda: link.write(0, -1), "value"),
                (lambda: link.send(0x10000), "message type"),
                (lambda: link.send(1, b"", subtype=-1), "subtype"),
                (lambda: link.send(1, bytes(2040)), "at most 2039")]:
            with pytest.raises(ValueError, match=complaint):
                call()
        with pytest.raises(TypeError):
            link.read(1.5, 4)
        # None of them reached the target, and the link is still fine.
        assert link.read(0x10, 2) == b"\x10\x11"
    assert [kind for kind, _ in peer.packets][:2] == [6, 1]


def test_a_closed_port_refuses_at_once():
    port = free_port_pair()  # nobody listens there
    start = time.monotonic()
    with pytest.raises(ferrylink.FerrylinkError) as caught:
        ferrylink.Link(f"tcp:127.0.0.1:{port}")
    assert caught.value.code == -1 and "cannot open" in str(caught.value)
    assert time.monotonic() - start < 5
    # A refused open leaves no link behind: the next one may open.
    with pytest.raises(ferrylink.FerrylinkError):
        ferrylink.Link(f"tcp:127.0.0.1:{port}")


@pytest.mark.parametrize("kind", ["tcp", "serial"])
def test_a_wrong_acknowledgement_refuses_the_open(docksim, kind):
    text, _ = docksim(kind, "--mode", "wrong-ack")
    with pytest.raises(ferrylink.FerrylinkError) as caught:
        ferrylink.Link(text)
    assert caught.value.code == -1


def test_a_silent_target_fails_the_link(docksim):
    text, _ = docksim("tcp", "--mode", "silent")
    got = []
    with ferrylink.Link(text, on_message=lambda *message: got.append(message)) as link:
        link.write(0, 1)  # no reply awaited: goes out fine
        start = time.monotonic()
        with pytest.raises(ferrylink.FerrylinkError) as caught:
            link.read(0, 4)
        assert caught.value.code == -4
        assert 9 < time.monotonic() - start < 15  # the library's reply limit
        assert wait_for(lambda: got == [(12, 2, b"")], 5)
        # The library closed the port: later calls say so.
        with pytest.raises(ferrylink.FerrylinkError) as caught:
            link.read(0, 4)
        assert caught.value.code == -1
        assert not link.closed
    assert link.closed


def test_a_target_that_goes_away(docksim):
    text, sim = docksim("tcp")
    got = []
    with ferrylink.Link(text, on_message=lambda *message: got.append(message)) as link:
        assert len(link.read(0, 4)) == 4
        sim.command("drop")
        deadline = time.monotonic() + 5
        with pytest.raises(ferrylink.FerrylinkError) as caught:
            while time.monotonic() < deadline:  # until docksim has dropped it
                link.read(0, 4)
                time.sleep(0.02)
        assert caught.value.code in (-4, -5)
        assert wait_for(lambda: (12, 2, b"") in got, 5)
    # After a failure the next open makes a fresh link.
    with ferrylink.Link(text) as link:
        assert len(link.read(0, 4)) == 4


def test_a_library_that_cannot_be_loaded(tmp_path):
    with pytest.raises(OSError, match="cannot load the ferrylink library"):
        ferrylink.Link("tcp:127.0.0.1:5000", library=str(tmp_path / "libnothing.so.1"))
