"""Random bytes through the dissector: whatever arrives, it never raises a
Lua error. Random TCP payloads on both ports and on one found by content,
in both directions (as whole streams, so reassembly runs too, with FINs and
resets among them, read in one pass and in two) and random serial records.
Seeded, so a failure repeats."""
import random
import struct

from conftest import LINKTYPE_RAW, LINKTYPE_USER0, TcpStream, packet

PACKETS = 300


def random_payload(rng):
    """Mostly garbage; sometimes something close to a packet, so that the
    header checks, not only the signature search, see bad input."""
    choice = rng.random()
    if choice < 0.4:
        return rng.randbytes(rng.randrange(0, 200))
    if choice < 0.7:
        body = rng.randbytes(rng.randrange(0, 40))
        return struct.pack("<II", 0xBABEFACE, rng.choice([0, 1, 2, 3, 4, 5, len(body), 65540, 65541,
                                                          rng.getrandbits(32)])) + body
    payload = rng.randbytes(rng.randrange(0, 30))
    if rng.random() < 0.3:  # a calibration link message, its header short or whole
        payload = struct.pack("<H", 0x0CA1) + payload
    real = packet(rng.choice([1, 2, 4, 4, 5, 6, rng.getrandbits(16)]), payload,
                  payload_length=rng.choice([None, 0, 65535, rng.getrandbits(16)]))
    cut = rng.randrange(0, len(real) + 1)
    return real[:cut] if rng.random() < 0.3 else real


def tcp_frames():
    rng = random.Random(2800)
    streams = [TcpStream(42000 + i, rng.choice([2800, 2810, 5000, 5010, 45123])) for i in range(8)]
    frames = []
    for stream in streams:
        stream.handshake()
    for _ in range(PACKETS):
        stream = rng.choice(streams)
        stream.segment(rng.random() < 0.5, random_payload(rng), rng.choice([0x18] * 12 + [0x19, 0x14]))
        frames.append(stream.frames[-1])
    return [f for s in streams for f in s.frames[:3]] + frames


def serial_frames():
    rng = random.Random(147)
    records = [bytes([rng.choice([0, 1, 2, 255])]) + random_payload(rng) for _ in range(PACKETS)]
    records.append(b"")
    return records


def ask(batch, _):
    """Both captures through tshark -V; the TCP one in two passes as well,
    which shows the packets the capture ends inside."""
    return {"tcp": batch.query(LINKTYPE_RAW, tcp_frames(), options=["-V"]),
            "serial": batch.query(LINKTYPE_USER0, serial_frames(), options=["-V"]),
            "tcp, second pass": batch.query(LINKTYPE_RAW, tcp_frames(), "frame", options=["-V", "-2"])}


def check_no_lua_error(query):
    assert query.text.count("Frame ") >= PACKETS, query.text[-3000:]
    out, err = query.text, query.stderr
    assert "Lua Error" not in out and "Lua Error" not in err, (out + err)[-3000:]
    assert "attempt to" not in out and "attempt to" not in err


def test_random_tcp_payloads(asked):
    check_no_lua_error(asked["tcp"])
    check_no_lua_error(asked["tcp, second pass"])


def test_random_serial_records(asked):
    check_no_lua_error(asked["serial"])
