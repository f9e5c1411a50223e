"""Shared pieces of the dissector and docksim command-line tests.

CTest passes the programs in the environment: DOCKSIM, FERRY_CLIENT (a
ferrylink host that runs requests named on its command line), TSHARK and
FERRYLINK_DISSECTOR (the Lua file).
"""
import os
import select
import struct
import subprocess
import time

DOCKSIM = os.environ.get("DOCKSIM", "")
FERRY_CLIENT = os.environ.get("FERRY_CLIENT", "")
TSHARK = os.environ.get("TSHARK", "tshark")
DISSECTOR = os.environ.get("FERRYLINK_DISSECTOR", "")

LINKTYPE_RAW = 101
LINKTYPE_USER0 = 147
SIGNATURE = 0xBABEFACE


class Docksim:
    """A docksim process with standard input and output as pipes; stopped
    (quit, then killed if need be) at the end of a with block."""

    def __init__(self, args):
        self.proc = subprocess.Popen([DOCKSIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.first_line = self.read_line(self.proc.stdout, 5)

    @staticmethod
    def read_line(stream, timeout):
        ready, _, _ = select.select([stream], [], [], timeout)
        return stream.readline().decode() if ready else ""

    def ports(self):
        words = self.first_line.split()
        return int(words[-3]), int(words[-1])

    def tty(self):
        return self.first_line.split()[-1]

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        return self.proc.stderr.read().decode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()


def run_docksim(args, timeout=10):
    return subprocess.run([DOCKSIM, *args], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, check=False)


def tshark(capture, extra=(), fields=None, aggregator=","):
    """Runs tshark with the dissector over capture; returns (stdout, stderr).
    With fields, -T fields with every occurrence, separated by aggregator."""
    args = [TSHARK, "-n", "-X", "lua_script:" + DISSECTOR, "-r", str(capture), *extra]
    if fields:
        args += ["-T", "fields", "-E", "occurrence=a", "-E", "aggregator=" + aggregator]
        for field in fields:
            args += ["-e", field]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


def field_rows(stdout, aggregator=","):
    """Rows of -T fields output, each a list of per-field lists."""
    return [[cell.split(aggregator) if cell else [] for cell in line.split("\t")] for line in stdout.splitlines()]


# Hand-made captures.

def packet(command_type, payload, signature=SIGNATURE, length=None, payload_length=None):
    """A ferrylink packet; the header fields can be given wrong on purpose."""
    n = len(payload) if payload_length is None else payload_length
    body = struct.pack("<HH", command_type, n) + payload + b"\0"
    return struct.pack("<II", signature, len(body) if length is None else length) + body


def write_pcap(path, linktype, frames):
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, linktype))
        for i, frame in enumerate(frames):
            out.write(struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)))
            out.write(frame)


class TcpStream:
    """Builds IPv4/TCP frames of one connection between a host port and a
    target port, with sequence numbers that follow the bytes."""

    def __init__(self, host_port, target_port):
        self.ports = {False: (host_port, target_port), True: (target_port, host_port)}
        self.seq = {False: 1000, True: 5000}
        self.frames = []

    def segment(self, from_target, data, flags=0x18):
        src, dst = self.ports[from_target]
        tcp = struct.pack(">HHIIBBHHH", src, dst, self.seq[from_target], self.seq[not from_target], 5 << 4, flags,
                          65535, 0, 0) + data
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 0, 0x4000, 64, 6, 0, bytes([127, 0, 0, 1]),
                         bytes([127, 0, 0, 1]))
        self.seq[from_target] += len(data) + (1 if flags & 0x03 else 0)
        self.frames.append(ip + tcp)

    def handshake(self):
        self.segment(False, b"", 0x02)
        self.segment(True, b"", 0x12)
        self.segment(False, b"", 0x10)


def read_pcap(path):
    """(linktype, [(caplen, frame)]) of a classic pcap file; asserts that it
    is whole: a header, then records that end exactly at the end."""
    data = open(path, "rb").read()
    assert len(data) >= 24, "no pcap header"
    magic, major, minor, _, _, _, linktype = struct.unpack("<IHHiIII", data[:24])
    assert (magic, major, minor) == (0xA1B2C3D4, 2, 4)
    records, at = [], 24
    while at < len(data):
        assert len(data) - at >= 16, "record header cut short"
        _, _, caplen, origlen = struct.unpack("<IIII", data[at:at + 16])
        assert caplen == origlen and len(data) - at - 16 >= caplen, "record cut short"
        records.append(data[at + 16:at + 16 + caplen])
        at += 16 + caplen
    return linktype, records


def wait_for(predicate, timeout=5.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()
