"""Runs the real ferryctl against a real docksim.

CTest passes both binaries in the environment (FERRYCTL, DOCKSIM). A target
(tests/pylib/docksim_process.py) listens on the loopback port pair it picks
(base and base + 10) or serves a pty it creates; lines written to its
standard input make it send data messages.
"""
import os
import socket
import struct
import subprocess
import threading
import time

import pytest

from docksim_process import DocksimProcess, DocksimSet, listen_port_pair

FERRYCTL = os.environ.get("FERRYCTL", "")

# The library waits 10 s at most for anything; a few more for the rest.
# Tests that expect a wait give --timeout, so that none waits that long.
BOUND = 15


@pytest.fixture
def start_target():
    """start_target(transport="tcp", mode=None, extra=(), log=None) gives a
    running DocksimProcess (its link is what --link takes); with log,
    docksim -v writes its log there."""
    sims = DocksimSet()

    def start(transport="tcp", mode=None, extra=(), log=None):
        options = (["--mode", mode] if mode else []) + list(extra) + (["-v"] if log else [])
        sim = DocksimProcess(transport, *options, log=log)
        sims.started.append(sim)
        return sim

    yield start
    sims.close()


@pytest.fixture(params=["tcp", "serial"])
def target(request, start_target):
    return start_target(request.param)


def packet(command_type, payload=b""):
    """A packet as the wire carries it: header, TLV and the trailing byte."""
    return struct.pack("<IIHH", 0xBABEFACE, len(payload) + 5, command_type, len(payload)) + payload + b"\0"


class ForgetfulTarget:
    """A loopback target whose memory does not take writes: it acknowledges
    the open and answers every remote read with zeros. One host at a time."""

    def __init__(self):
        base, self.listeners = listen_port_pair()
        self.link = "tcp:127.0.0.1:%d" % base
        for listener, serve in zip(self.listeners, (self.serve_commands, self.hold)):
            threading.Thread(target=self.accept, args=(listener, serve), daemon=True).start()

    def accept(self, listener, serve):
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return  # closed
            with conn:
                serve(conn)

    @staticmethod
    def read_exactly(conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def serve_commands(self, conn):
        try:
            while True:
                _, length = struct.unpack("<II", self.read_exactly(conn, 8))
                tlv = self.read_exactly(conn, length)
                command_type, _ = struct.unpack("<HH", tlv[:4])
                if command_type == 6:
                    conn.sendall(packet(6))
                elif command_type == 1:
                    _, count = struct.unpack("<II", tlv[4:12])
                    conn.sendall(packet(1, bytes(count)))
        except (EOFError, OSError):
            pass

    @staticmethod
    def hold(conn):
        while conn.recv(4096):
            pass

    def close(self):
        for s in self.listeners:
            try:
                s.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
            except OSError:
                pass
            s.close()


@pytest.fixture
def forgetful_target():
    target = ForgetfulTarget()
    yield target
    target.close()


class Result:
    def __init__(self, proc, seconds):
        self.status = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr
        self.seconds = seconds


def ferryctl(*args, link=None, env=None, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, stdout=subprocess.PIPE):
    """Runs ferryctl with --link link (when given); checks the time bound."""
    full = [FERRYCTL] + (["--link", link] if link else []) + [str(a) for a in args]
    environment = {k: v for k, v in os.environ.items() if k != "FERRYCTL_LINK"}
    environment.update(env or {})
    start = time.monotonic()
    proc = subprocess.run(full, stdin=stdin, stdout=stdout, stderr=stderr, env=environment,
                          timeout=BOUND + 15, check=False)
    seconds = time.monotonic() - start
    assert seconds < BOUND, "%s took %.1f s" % (full, seconds)
    proc.stdout = proc.stdout.decode(errors="replace") if proc.stdout is not None else ""
    proc.stderr = proc.stderr.decode(errors="replace") if proc.stderr is not None else ""
    return Result(proc, seconds)
