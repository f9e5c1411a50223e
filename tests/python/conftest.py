"""Shared pieces of the tests of the Python module ferrylink.

CTest passes the library (FERRYLINK_LIBRARY, which the module reads), docksim
(DOCKSIM), the example (FERRYLINK_EXAMPLE) and the module's folder on
PYTHONPATH. Targets are a real docksim on a free loopback port or a pty, or
the small recording peer below. Every wait is bounded: each test is ended
with a traceback if it runs past TEST_LIMIT seconds.
"""
import faulthandler
import os
import select
import socket
import struct
import subprocess
import threading
import time

import pytest

DOCKSIM = os.environ.get("DOCKSIM", "")
LIBRARY = os.environ.get("FERRYLINK_LIBRARY", "")
TEST_LIMIT = 60  # seconds; the library's longest wait is 10 s


@pytest.fixture(autouse=True)
def bounded():
    """Ends the whole run with every thread's traceback if a test hangs."""
    faulthandler.dump_traceback_later(TEST_LIMIT, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def free_port_pair():
    """A base port with the port 10 above it free as well, on loopback."""
    for _ in range(100):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port > 65525:
            continue
        with socket.socket() as other:
            try:
                other.bind(("127.0.0.1", port + 10))
            except OSError:
                continue
        return port
    raise RuntimeError("no free pair of loopback ports")


class Docksim:
    """A docksim process; command() types a line on its standard input."""

    def __init__(self, args):
        self.process = subprocess.Popen([DOCKSIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        self.banner = self.process.stdout.readline().decode().strip() if ready else ""
        if not self.banner.startswith("docksim:"):
            self.stop()
            raise RuntimeError(f"docksim did not start: {self.banner!r}")

    def command(self, line):
        """Sends one command line (send, burst, drop)."""
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def stop(self):
        """Quits docksim, killing it if it does not go within 5 s."""
        if self.process.poll() is None:
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.close()
                self.process.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait(5)
        self.process.stdout.close()
        self.process.stderr.close()


@pytest.fixture
def docksim():
    """Starts docksim: docksim("tcp", "--mode", "silent") returns (the link
    text, the Docksim). All are stopped after the test."""
    started = []

    def start(kind, *options):
        if kind == "tcp":
            port = free_port_pair()
            sim = Docksim(["tcp", "--port", str(port), *options])
            text = f"tcp:127.0.0.1:{port}"
        else:
            sim = Docksim(["serial", *options])
            text = "serial:" + sim.banner.split("serial line ", 1)[1] + ":115200"
        started.append(sim)
        return text, sim

    yield start
    for sim in started:
        sim.stop()


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
        self.port = free_port_pair()
        self.packets = []
        self._listeners = []
        for port in (self.port, self.port + 10):
            listener = socket.create_server(("127.0.0.1", port))
            listener.settimeout(10)
            self._listeners.append(listener)
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
