"""docksim for the Python tests: started on a port pair it picks itself
(tcp --port 0) or on a new pty (serial), its first line read with a time
limit, commands typed on its standard input, stopped with quit (killed if it
stays) and its standard error handed back.

CTest gives the binary as DOCKSIM. Standard error goes to a file (the
caller's, or an anonymous one), never to a pipe: a -v log could fill a pipe
nobody reads and stall docksim.
"""
import os
import re
import select
import socket
import subprocess
import tempfile
import time

DOCKSIM = os.environ.get("DOCKSIM", "")
START_LIMIT = 10  # seconds for the first line
STOP_LIMIT = 5  # seconds for quit before the kill

_TCP_LINE = re.compile(r"docksim: listening on 127\.0\.0\.1 ports (\d+) and (\d+)$")
_SERIAL_LINE = re.compile(r"docksim: serial line (\S+)$")


class DocksimProcess:
    """One running docksim. kind is "tcp" or "serial"; options follow the
    link on the command line (give --port or --tty to override the free
    pair or the new pty). env adds to the environment, which never carries
    the caller's CALSIM_ settings; log names the file for standard error."""

    def __init__(self, kind, *options, env=None, log=None):
        self.kind = kind
        args = [DOCKSIM, kind, *map(str, options)]
        if kind == "tcp" and "--port" not in options:
            args += ["--port", "0"]
        run_env = {k: v for k, v in os.environ.items() if not k.startswith("CALSIM_")}
        run_env.update(env or {})
        self._log = open(log, "w+b") if log else tempfile.TemporaryFile()
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log,
                                     env=run_env)
        ready, _, _ = select.select([self.proc.stdout], [], [], START_LIMIT)
        self.first_line = self.proc.stdout.readline().decode(errors="replace") if ready else ""
        self.base_port = self.notify_port = self.tty_path = None
        if found := _TCP_LINE.match(self.first_line.rstrip("\n")):
            self.base_port, self.notify_port = int(found.group(1)), int(found.group(2))
        elif found := _SERIAL_LINE.match(self.first_line.rstrip("\n")):
            self.tty_path = found.group(1)
        else:
            err = self.stop()
            raise RuntimeError(f"docksim {' '.join(args[1:])} did not start: first line {self.first_line!r}, "
                               f"standard error {err!r}")

    def ports(self):
        """(base port, notification port) of a TCP docksim."""
        return self.base_port, self.notify_port

    def tty(self):
        """The pty a serial docksim serves."""
        return self.tty_path

    @property
    def link(self):
        """The link text that reaches it: tcp:127.0.0.1:PORT or serial:TTY:115200."""
        if self.kind == "tcp":
            return f"tcp:127.0.0.1:{self.base_port}"
        return f"serial:{self.tty_path}:115200"

    @property
    def answers(self):
        """tuneprobe's interface dialogue answers that reach it."""
        if self.kind == "tcp":
            return ["1", "127.0.0.1", str(self.base_port)]
        return ["2", self.tty_path, "115200"]

    def command(self, line):
        """Types one command line (send, burst, drop, quit)."""
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def stderr(self):
        """Everything docksim wrote to standard error so far."""
        chunks, offset = [], 0
        while chunk := os.pread(self._log.fileno(), 1 << 16, offset):
            chunks.append(chunk)
            offset += len(chunk)
        return b"".join(chunks).decode(errors="replace")

    def wait_for(self, text, limit=START_LIMIT):
        """Whether text shows in standard error within limit seconds: with
        -v, that the host got so far."""
        deadline = time.monotonic() + limit
        while text not in self.stderr():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                return text in self.stderr()
            time.sleep(0.005)
        return True

    def stop(self):
        """Quits docksim (kills it if it stays longer than STOP_LIMIT) and
        returns its standard error. Stopping again returns it again."""
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.stdin.close()
                self.proc.wait(STOP_LIMIT)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            if not stream.closed:
                try:
                    stream.close()
                except OSError:
                    pass
        return self.stderr()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self._log.close()


class DocksimSet:
    """Starts docksims and stops every one of them at close(): the body of
    the tests' docksim fixtures."""

    def __init__(self, log_dir=None):
        self._log_dir = log_dir
        self.started = []

    def start(self, kind, *options, env=None):
        log = None
        if self._log_dir is not None:
            log = os.path.join(self._log_dir, f"docksim-{len(self.started)}.log")
        sim = DocksimProcess(kind, *options, env=env, log=log)
        self.started.append(sim)
        return sim

    def close(self):
        for sim in self.started:
            sim.__exit__(None, None, None)


def run_docksim(args, timeout=10, stdin_text=None):
    """docksim run to its end (usage errors, failed starts): the
    CompletedProcess with text output."""
    return subprocess.run([DOCKSIM, *map(str, args)], input=stdin_text,
                          stdin=subprocess.DEVNULL if stdin_text is None else None, capture_output=True, text=True,
                          timeout=timeout, check=False)


def listen_port_pair():
    """Two listening loopback sockets on a base port and base + 10, for the
    tests' own fake targets: (base, [base socket, notification socket]).
    The kernel picks the base; a taken base + 10 means another try."""
    for _ in range(100):
        first = socket.create_server(("127.0.0.1", 0))
        base = first.getsockname()[1]
        if base <= 65525:
            try:
                return base, [first, socket.create_server(("127.0.0.1", base + 10))]
            except OSError:
                pass
        first.close()
    raise RuntimeError("no free pair of loopback ports")


def unused_port():
    """A loopback port nobody listens on (bound and closed again)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
