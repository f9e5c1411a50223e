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
import subprocess
import time

import pytest

FERRYCTL = os.environ.get("FERRYCTL", "")
DOCKSIM = os.environ.get("DOCKSIM", "")

# The library waits 10 s at most for anything; a few more for the rest.
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

    def __init__(self, transport, mode, extra=()):
        for _ in range(5):
            args = [DOCKSIM, transport]
            if transport == "tcp":
                args += ["--port", str(free_port_pair())]
            if mode:
                args += ["--mode", mode]
            args += list(extra)
            self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, text=True)
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
    """start_target(transport="tcp", mode=None, extra=()) gives a running Target."""
    started = []

    def start(transport="tcp", mode=None, extra=()):
        target = Target(transport, mode, extra)
        started.append(target)
        return target

    yield start
    for target in started:
        target.stop()


@pytest.fixture(params=["tcp", "serial"])
def target(request, start_target):
    return start_target(request.param)


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
