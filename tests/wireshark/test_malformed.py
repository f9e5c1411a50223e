"""Hand-made captures: broken packets are marked (expert info, malformed)
and never stop the dissection of what follows; packets split across TCP
segments are put back together. The streams are built on the session's
base port, and asked about with its options (the dissector's ports moved
there, checksums checked), beside the other files' questions."""
import struct

import pytest

from conftest import LINKTYPE_RAW, LINKTYPE_USER0, TcpStream, packet

READ = packet(1, struct.pack("<II", 0x1234, 8))
WRITE = packet(2, struct.pack("<II", 0xCAFE0000, 0x01020304))
MESSAGE = packet(4, struct.pack("<HH", 7, 9) + bytes(range(100)))


PORTS_ONLY = ["--disable-heuristic", "ferrylink_tcp"]  # the heuristic would find a packet on any port


def tcp_frames(batch, segments, port=None):
    """The frames of one connection to port (the base port by default), from
    a host port of its own: a handshake, then segments (from_target, bytes),
    frames 4 on."""
    stream = TcpStream(batch.host_port(), port or batch.base_port())
    stream.handshake()
    for from_target, data in segments:
        stream.segment(from_target, data)
    return stream.frames


def serial_frames(records):
    return [bytes([d]) + data for d, data in records]


def numbers(query):
    return [int(row[0][0]) for row in query.rows]


BROKEN = [
    (False, packet(1, struct.pack("<II", 1, 2), signature=0xDEADBEEF) + WRITE),
    (False, struct.pack("<II", 0xBABEFACE, 0xFFFFFFF0) + READ),
    (True, packet(1, b"", length=2)[:10]),
    (False, packet(2, struct.pack("<II", 5, 6), length=40) + bytes(27)),
    (False, READ),
]
SPLIT_STREAM = READ + WRITE + MESSAGE
SPLIT_CUTS = [3, 10, len(READ) + 5, len(READ) + len(WRITE) + 60]


def ask(batch, _):
    """Every test's questions; each test checks its answers."""
    on_base = batch.port_options()
    q = {}
    for name, display_filter in [("bad_signature", "ferrylink.bad_signature"), ("bad_length", "ferrylink.bad_length"),
                                 ("length_mismatch", "ferrylink.length_mismatch"),
                                 ("errors", "_ws.expert.group == 0x07000000 && ferrylink")]:
        q["broken " + name] = batch.query(LINKTYPE_RAW, tcp_frames(batch, BROKEN), display_filter, ["frame.number"],
                                          on_base)
    q["broken addresses"] = batch.query(LINKTYPE_RAW, tcp_frames(batch, BROKEN), "ferrylink.address",
                                        ["frame.number", "ferrylink.address"], on_base)
    noise = serial_frames([(0, b"\x01\xff\xce\xfa" + READ), (1, b"\xce\xfa\xbe" + WRITE)])
    q["noise"] = batch.query(LINKTYPE_USER0, noise, None,
                             ["ferrylink.junk", "ferrylink.address", "ferrylink.bad_signature"], on_base)
    cut = serial_frames([(1, MESSAGE[:50]), (1, READ[:6]), (0, READ[:11]), (0, READ)])
    q["cut truncated"] = batch.query(LINKTYPE_USER0, cut, "ferrylink.truncated", ["frame.number"], on_base)
    q["cut fields"] = batch.query(LINKTYPE_USER0, cut, None, ["ferrylink.msg_type", "ferrylink.msg_subtype",
                                                              "ferrylink.count", "ferrylink.direction"], on_base)
    pieces = [SPLIT_STREAM[a:b] for a, b in zip([0] + SPLIT_CUTS, SPLIT_CUTS + [len(SPLIT_STREAM)])]
    q["split fields"] = batch.query(LINKTYPE_RAW, tcp_frames(batch, [(False, piece) for piece in pieces]), None, [
        "frame.number", "ferrylink.address", "ferrylink.count", "ferrylink.value", "ferrylink.msg_type",
        "ferrylink.msg_subtype", "ferrylink.msg_data"], on_base)
    q["split problems"] = batch.query(LINKTYPE_RAW, tcp_frames(batch, [(False, piece) for piece in pieces]),
                                      "_ws.expert.severity >= 0x00600000 || _ws.malformed",
                                      ["frame.number"], on_base)
    q["port unknown"] = batch.query(LINKTYPE_RAW, tcp_frames(batch, [(False, READ)], port=40010), "ferrylink",
                                    ["frame.number"], PORTS_ONLY)
    q["port preferred"] = batch.query(LINKTYPE_RAW, tcp_frames(batch, [(False, READ)], port=40010),
                                      "ferrylink.count == 8", ["frame.number"],
                                      [*PORTS_ONLY, "-o", "ferrylink.base_port:40000"])
    q["port default"] = batch.query(LINKTYPE_RAW, tcp_frames(batch, [(False, READ)], port=5000),
                                    "ferrylink.count == 8", ["frame.number"], PORTS_ONLY)
    q["port default base"] = batch.query(LINKTYPE_RAW, tcp_frames(batch, [(False, READ)], port=2800),
                                         "ferrylink.count == 8", ["frame.number"], PORTS_ONLY)
    return q


@pytest.fixture
def asked(asked):
    for query in asked.values():
        assert "Lua" not in query.stderr
    return asked


def test_broken_headers_are_marked_and_the_stream_goes_on(asked):
    bad_signature, huge, short, mismatch, good = range(4, 4 + len(BROKEN))
    assert numbers(asked["broken bad_signature"]) == [bad_signature]
    assert numbers(asked["broken bad_length"]) == [huge, short]
    assert numbers(asked["broken length_mismatch"]) == [mismatch]
    assert numbers(asked["broken errors"]) == [bad_signature, huge, short]
    # What follows a broken packet in the same segment is still decoded.
    decoded = {int(r[0][0]): [int(a, 16) for a in r[1]] for r in asked["broken addresses"].rows}
    assert decoded == {bad_signature: [1, 0xCAFE0000], huge: [0x1234], mismatch: [5], good: [0x1234]}


def test_random_bytes_before_a_packet_are_skipped_to_its_signature(asked):
    rows = asked["noise"].rows
    assert [r[0] for r in rows] == [["01:ff:ce:fa"], ["ce:fa:be"]] or \
        [[c.replace(":", "") for c in r[0]] for r in rows] == [["01ffcefa"], ["cefabe"]]
    assert [r[1] for r in rows] == [["0x00001234"], ["0xcafe0000"]]


def test_packets_cut_short_on_a_serial_line_are_marked(asked):
    assert numbers(asked["cut truncated"]) == [1, 2, 3]
    rows = asked["cut fields"].rows
    assert rows[0][3] == ["1"] and rows[2][3] == ["0"]
    assert rows[3][2] == ["8"]  # the whole one after them decodes


def test_packets_split_across_segments_are_reassembled(asked):
    numbers_of = list(range(4, 4 + len(SPLIT_CUTS) + 1))
    rows = {int(r[0][0]): r[1:] for r in asked["split fields"].rows}
    assert rows[numbers_of[0]] == [[]] * 6 and rows[numbers_of[1]] == [[]] * 6
    assert rows[numbers_of[2]][:2] == [["0x00001234"], ["8"]]
    assert rows[numbers_of[3]][0] == ["0xcafe0000"] and rows[numbers_of[3]][2] == ["0x01020304"]
    assert rows[numbers_of[4]][3:5] == [["7"], ["9"]]
    assert rows[numbers_of[4]][5][0].replace(":", "") == bytes(range(100)).hex()
    assert numbers(asked["split problems"]) == []


def test_the_base_port_preference_moves_the_ports(asked):
    # Without the heuristic, only the base port preference finds the packet.
    assert numbers(asked["port unknown"]) == []
    assert numbers(asked["port preferred"]) == [4]
    # The default base port and docksim's are known without a preference.
    assert numbers(asked["port default base"]) == [4]
    assert numbers(asked["port default"]) == [4]
