"""Shared pieces of the dissector tests.

CTest passes the programs in the environment: DOCKSIM (started through
tests/pylib/docksim_process.py), FERRY_CLIENT (a ferrylink host that runs
requests named on its command line), TSHARK and FERRYLINK_DISSECTOR (the Lua
file).
"""
import os
import random
import socket
import struct
import subprocess

import pytest

from docksim_process import DocksimProcess

FERRY_CLIENT = os.environ.get("FERRY_CLIENT", "")
TSHARK = os.environ.get("TSHARK", "tshark")
DISSECTOR = os.environ.get("FERRYLINK_DISSECTOR", "")

LINKTYPE_RAW = 101
LINKTYPE_USER0 = 147
SIGNATURE = 0xBABEFACE


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


def internet_checksum(data):
    """The ones' complement sum IP and TCP carry."""
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f">{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class TcpStream:
    """Builds IPv4/TCP frames of one connection between a host port and a
    target port, with sequence numbers that follow the bytes and checksums
    that hold (so that they pass where tshark is told to check them)."""

    def __init__(self, host_port, target_port):
        self.ports = {False: (host_port, target_port), True: (target_port, host_port)}
        self.seq = {False: 1000, True: 5000}
        self.frames = []

    def segment(self, from_target, data, flags=0x18):
        src, dst = self.ports[from_target]
        loopback = bytes([127, 0, 0, 1])
        tcp = struct.pack(">HHIIBBHHH", src, dst, self.seq[from_target], self.seq[not from_target], 5 << 4, flags,
                          65535, 0, 0) + data
        pseudo = loopback + loopback + struct.pack(">BBH", 0, 6, len(tcp))
        tcp = tcp[:16] + struct.pack(">H", internet_checksum(pseudo + tcp)) + tcp[18:]
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 0, 0x4000, 64, 6, 0, loopback, loopback)
        ip = ip[:10] + struct.pack(">H", internet_checksum(ip)) + ip[12:]
        self.seq[from_target] += len(data) + (1 if flags & 0x03 else 0)
        self.frames.append(ip + tcp)

    def handshake(self):
        self.segment(False, b"", 0x02)
        self.segment(True, b"", 0x12)
        self.segment(False, b"", 0x10)


def read_capture(path):
    """(linktype, [(microseconds, frame)]) of a classic pcap file."""
    with open(path, "rb") as capture:
        data = capture.read()
    linktype = struct.unpack_from("<I", data, 20)[0]
    frames, at = [], 24
    while at + 16 <= len(data):
        seconds, micro, caplen, _ = struct.unpack_from("<IIII", data, at)
        frames.append((seconds * 1000000 + micro, data[at + 16:at + 16 + caplen]))
        at += 16 + caplen
    return linktype, frames


def write_pcapng(path, frames):
    """A pcapng file of (linktype, frame, microseconds) triples, one
    interface per link type, in the order given."""
    def block(kind, body):
        body += bytes(-len(body) % 4)
        return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)

    interfaces = {}
    for linktype, _, _ in frames:
        interfaces.setdefault(linktype, len(interfaces))
    with open(path, "wb") as out:
        out.write(block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)))
        for linktype in interfaces:
            out.write(block(1, struct.pack("<HHI", linktype, 0, 262144)))
        for linktype, frame, stamp in frames:
            out.write(block(6, struct.pack("<IIIII", interfaces[linktype], stamp >> 32, stamp & 0xFFFFFFFF,
                                           len(frame), len(frame)) + frame))


# Fields that hold a frame number: counted in the query's own frames.
FRAME_FIELDS = ("frame.number", "ferrylink.begins_in")


class Query:
    """One question to tshark about frames of its own; answered by
    TsharkBatch.run(). rows: like field_rows() of a run over these frames
    alone (frame.number counted from 1 in them); text: the lines a run
    without fields printed for them; stderr: what tshark said."""

    def __init__(self, linktype, frames, display_filter, fields):
        self.linktype, self.frames, self.display_filter, self.fields = linktype, frames, display_filter, fields
        self.first = 0  # the number of the frame before this query's first, once placed
        self.rows, self.text, self.stderr = [], "", ""


class TsharkBatch:
    """Several tshark questions in one tshark run per set of options (its
    start costs most of the time): every query gets a copy of its frames in
    one capture, and the display filters become one, each restricted to its
    query's frames. Frames of TCP streams need a host port no other query
    uses (host_port()), so that the copies are streams apart. With -2 a
    packet the capture ends inside is marked: only the last query's frames
    end where the capture does.

    The questions about TCP on ferrylink's ports share one base port
    (base_port()): docksim's captures are made on it where it is free
    (capture_docksim()), hand-made streams are built on it, and all are
    asked with the same options (port_options()), checksums checked."""

    def __init__(self, directory):
        self.directory = directory
        self.groups = {}
        # Below the kernel's ports (32768 on), which docksim's captured
        # connections come from: the same ports on both ends would be one
        # stream to tshark.
        self._port = 31000
        self._base = None

    def host_port(self):
        self._port += 1
        return self._port

    def base_port(self):
        """A base port whose pair was free when first asked for, below the
        host ports and the kernel's."""
        rng = random.Random()
        while self._base is None:
            base = rng.randrange(20000, 29990)
            try:
                with socket.create_server(("127.0.0.1", base)), socket.create_server(("127.0.0.1", base + 10)):
                    self._base = base
            except OSError:
                pass
        return self._base

    def port_options(self, base=None):
        """tshark's options for TCP on base (by default the shared base port)
        and base + 10, checksums checked."""
        return ["-o", f"ferrylink.base_port:{base or self.base_port()}", "-o", "tcp.check_checksum:TRUE",
                "-o", "ip.check_checksum:TRUE"]

    def capture_docksim(self, kind, *options):
        """docksim for a capture, over TCP on the shared base port while it
        is free (taken meanwhile, on a pair of its own: its questions then
        need a run of their own)."""
        if kind == "tcp":
            try:
                return DocksimProcess(kind, "--port", self.base_port(), *options)
            except RuntimeError:
                pass
        return DocksimProcess(kind, *options)

    def query(self, linktype, frames, display_filter=None, fields=None, options=()):
        """frames: bytes each, or (microseconds, bytes) as read_capture() gives them."""
        found = Query(linktype, [f if isinstance(f, tuple) else (None, f) for f in frames], display_filter,
                      list(fields or []))
        self.groups.setdefault(tuple(options), []).append(found)
        return found

    def run(self):
        for number, (options, queries) in enumerate(self.groups.items()):
            capture, frames, terms = self.directory / f"batch{number}.pcapng", [], []
            for query in queries:
                query.first = len(frames)
                frames += [(query.linktype, frame, (1700000000 + len(frames) + i) * 1000000 if stamp is None else stamp)
                           for i, (stamp, frame) in enumerate(query.frames)]
                where = f"frame.number >= {query.first + 1} && frame.number <= {len(frames)}"
                terms.append(f"({where} && ({query.display_filter}))" if query.display_filter else f"({where})")
            write_pcapng(capture, frames)
            fields = ["frame.number"] + sorted({f for q in queries for f in q.fields} - {"frame.number"})
            with_fields = any(q.fields for q in queries)
            out, err = tshark(capture, [*options, "-Y", " || ".join(terms)], fields if with_fields else None,
                              aggregator="|")
            for query in queries:
                query.stderr = err
            if with_fields:
                self._share_rows(queries, fields, out)
            else:
                self._share_text(queries, out)

    @staticmethod
    def _owner(queries, frame):
        return next(q for q in reversed(queries) if q.first < frame)

    def _share_rows(self, queries, fields, out):
        for row in field_rows(out, aggregator="|"):
            frame = int(row[0][0])
            query = self._owner(queries, frame)
            values = dict(zip(fields, row))
            for field in FRAME_FIELDS:
                values[field] = [str(int(n) - query.first) for n in values.get(field, [])]
            query.rows.append([values[f] for f in (query.fields or ["frame.number"])])

    def _share_text(self, queries, out):
        # -V starts each frame's tree with "Frame N: ".
        owner, parts = None, {id(q): [] for q in queries}
        for line in out.splitlines(True):
            words = line.split(maxsplit=2)
            if line.startswith("Frame ") and len(words) > 1 and words[1].rstrip(":").isdigit():
                owner = self._owner(queries, int(words[1].rstrip(":")))
            if owner is not None:
                parts[id(owner)].append(line)
        for query in queries:
            query.text = "".join(parts[id(query)])


@pytest.fixture(scope="session")
def answered(request, tmp_path_factory):
    """Every test module's questions to tshark, asked together: each module
    that has tests in this session registers its queries (making its
    captures first) in ask(batch, folder), which returns what its tests look
    at; then tshark runs once per set of options for all of them. Module
    name -> what its ask() returned (a test takes its own module's as
    asked)."""
    batch = TsharkBatch(tmp_path_factory.mktemp("tshark"))
    modules = []
    for item in request.session.items:
        if hasattr(item.module, "ask") and item.module not in modules:
            modules.append(item.module)
    answers = {module.__name__: module.ask(batch, tmp_path_factory.mktemp(module.__name__)) for module in modules}
    batch.run()
    return answers


@pytest.fixture
def asked(answered, request):
    """What the test's own module's ask() returned."""
    return answered[request.module.__name__]
