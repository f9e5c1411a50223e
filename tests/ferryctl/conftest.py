"""Runs the real ferryctl against a real docksim.

CTest passes both binaries in the environment (FERRYCTL, DOCKSIM). A target
listens on a free loopback port pair (base and base + 10) or serves a pty it
creates; lines written to its standard input make it send data messages.
"""
import os
import random
import select
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

FERRYCTL = os.environ.get("FERRYCTL", "")
DOCKSIM = os.environ.get("DOCKSIM", "")

# The library waits 10 s at most for anything; a few more for the rest.
# Tests that expect a wait give --timeout, so that none waits that long.
BOUND = 15


def free_port_pair():
    """A base port whose base + 10 is free too, on loopback."""
    for _ in range(200):
        base = random.randint(30000, 60000)
        held = []
        try:
            for port in (base, base + 10):
                s = socket.socket()
                held.append(s)
                s.bind(("127.0.0.1", port))
            return base
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no free loopback port pair")


def closed_port():
    """A loopback port nobody listens on (bound and closed again)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Target:
    """A docksim process; link is what --link takes to reach it."""

    def __init__(self, transport, mode, extra=(), log=None):
        self.log = log
        for _ in range(5):
            args = [DOCKSIM, transport]
            if transport == "tcp":
                args += ["--port", str(free_port_pair())]
            if mode:
                args += ["--mode", mode]
            args += list(extra)
            if log:
                args.append("-v")
            with open(log, "w") if log else open(os.devnull, "w") as errors:
                self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                             stderr=errors, text=True)
            ready, _, _ = select.select([self.proc.stdout], [], [], 5)
            first = self.proc.stdout.readline() if ready else ""
            if first.startswith("docksim: listening on 127.0.0.1 ports "):
                self.link = "tcp:127.0.0.1:" + first.split()[5]
                return
            if first.startswith("docksim: serial line "):
                self.link = "serial:" + first.split()[3]
                return
            self.stop()  # the port was taken meanwhile: another pair
        raise RuntimeError("docksim did not start")

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout):
            if f:
                f.close()


@pytest.fixture
def start_target():
    """start_target(transport="tcp", mode=None, extra=(), log=None) gives a
    running Target; with log, docksim -v writes its log there."""
    started = []

    def start(transport="tcp", mode=None, extra=(), log=None):
        target = Target(transport, mode, extra, log)
        started.append(target)
        return target

    yield start
    for target in started:
        target.stop()


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
        for _ in range(200):
            base = random.randint(30000, 60000)
            self.listeners = []
            try:
                for port in (base, base + 10):
                    s = socket.socket()
                    self.listeners.append(s)
                    s.bind(("127.0.0.1", port))
                    s.listen()
                break
            except OSError:
                self.close()
        else:
            raise RuntimeError("no free loopback port pair")
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
