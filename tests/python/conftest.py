"""Shared pieces of the tests of the Python module ferrylink.

CTest passes the library (FERRYLINK_LIBRARY, which the module reads), docksim
(DOCKSIM), the example (FERRYLINK_EXAMPLE) and the module's folder on
PYTHONPATH. Targets are a real docksim (tests/pylib/docksim_process.py) on
the loopback port pair it picks or a pty, or the small recording peer
below. Every wait is bounded: each test is ended with a traceback if it
runs past TEST_LIMIT seconds.
"""
import faulthandler
import os
import socket
import struct
import threading
import time

import pytest

from docksim_process import DocksimSet, listen_port_pair

LIBRARY = os.environ.get("FERRYLINK_LIBRARY", "")
TEST_LIMIT = 60  # seconds; the library's longest wait is 10 s


@pytest.fixture(autouse=True)
def bounded():
    """Ends the whole run with every thread's traceback if a test hangs."""
    faulthandler.dump_traceback_later(TEST_LIMIT, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def docksim():
    """Starts docksim: docksim("tcp", "--mode", "silent") returns (the link
    text, the DocksimProcess). All are stopped after the test."""
    sims = DocksimSet()

    def start(kind, *options):
        sim = sims.start(kind, *options)
        return sim.link, sim

    yield start
    sims.close()


def wait_for(predicate, seconds=10.0):
    """Polls predicate until it is true or seconds pass; returns its last value."""
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


SIGNATURE = 0xBABEFACE
SHORT_ADDRESS = 0x54000000  # where RecordingPeer answers one byte short


def packet(command_type, payload=b""):
    """A whole packet as the wire carries it."""
    return struct.pack("<IIHH", SIGNATURE, len(payload) + 5, command_type, len(payload)) + payload + b"\0"


class RecordingPeer:
    """A target on loopback that acknowledges the device open, answers remote
    reads with memory[i] = (address + i) & 0xFF (one byte fewer than asked
    for at SHORT_ADDRESS), and records every packet the host sends as
    (command type, payload)."""

    def __init__(self):
        self.port, self._listeners = listen_port_pair()
        self.packets = []
        for listener in self._listeners:
            listener.settimeout(10)
        self._connections = []
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @property
    def text(self):
        """The link text that reaches this peer."""
        return f"tcp:127.0.0.1:{self.port}"

    def _serve(self):
        try:
            command, _ = self._listeners[0].accept()
            notify, _ = self._listeners[1].accept()
        except OSError:
            return
        self._connections += [command, notify]
        command.settimeout(15)
        stream = b""
        while True:
            try:
                chunk = command.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            stream += chunk
            while len(stream) >= 8:
                length = struct.unpack_from("<I", stream, 4)[0]
                if len(stream) < 8 + length:
                    break
                kind, size = struct.unpack_from("<HH", stream, 8)
                payload = stream[12:12 + size]
                stream = stream[8 + length:]
                self.packets.append((kind, payload))
                if kind == 6:
                    command.sendall(packet(6))
                elif kind == 1:
                    address, count = struct.unpack("<II", payload)
                    if address == SHORT_ADDRESS:
                        count -= 1
                    command.sendall(packet(1, bytes((address + i) & 0xFF for i in range(count))))

    def close(self):
        """Ends the connections and the listeners."""
        for sock in self._connections + self._listeners:
            try:
                sock.shutdown(socket.SHUT_RDWR)  # wakes an accept or recv under way
            except OSError:
                pass
            sock.close()
        self._thread.join(5)


@pytest.fixture
def peer():
    """A RecordingPeer, closed after the test."""
    target = RecordingPeer()
    yield target
    target.close()
